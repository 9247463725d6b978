#pragma once

#include <memory>
#include <string>

namespace platform {

class Registry;

// What the machine's power management supports.
struct SystemPowerCapabilities {
  // Connected standby (always-on, always-connected): the machine idles with the display off
  // instead of suspending.
  bool aoAc = false;
};

// Reads the power capabilities. Thread-safe.
class PowerCapabilities {
 public:
  virtual ~PowerCapabilities() = default;
  // Fills caps and returns true; false when the facts cannot be read.
  virtual bool Query(SystemPowerCapabilities& caps) = 0;
};

// The registry DWORD under the engine key that overrides the detection: 1 forces connected
// standby on, 0 off.
inline constexpr const char* kConnectedStandbyValue = "ConnectedStandby";

// On Linux connected standby is supported when the kernel's selected mem sleep state (the
// bracketed word of memSleepPath) is s2idle. The registry value above, when present, wins.
// registry may be nullptr (no override).
std::unique_ptr<PowerCapabilities> CreatePowerCapabilities(
    Registry* registry, std::string memSleepPath = "/sys/power/mem_sleep");

}  // namespace platform
