#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace platform {

class Registry;

// The operating-system version facts the engine decides by. On Linux they default to the newest
// generation; the values "CurrentBuildNumber" (REG_SZ) and "CurrentMajorVersionNumber" /
// "CurrentMinorVersionNumber" (REG_DWORD) under HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion
// override them, so the older branches can be exercised.
class OsVersion {
 public:
  virtual ~OsVersion() = default;
  // Whether the system is at least version 6.2.
  virtual bool AtLeastWindows8() = 0;
  // The build number text (at most 16 characters); throws std::runtime_error "Invalid version"
  // when it cannot be read.
  virtual std::string CurrentBuildNumber() = 0;
};

// Reads the facts from the given registry at each call.
std::unique_ptr<OsVersion> CreateOsVersion(Registry& registry);

// Operating-system generations.
inline constexpr uint16_t kWin7 = 1;
inline constexpr uint16_t kWin10Rs1 = 2;
inline constexpr uint16_t kWin10Rs2 = 3;
inline constexpr uint16_t kWin10Rs3 = 4;
inline constexpr uint16_t kWin10Later = 16;

// The generation: 1 before version 6.2, else by build number (below 14394: 2; up to 15063: 3;
// up to 16299: 4; above: 16). Throws "Invalid version", "invalid stol argument" or
// "stol argument out of range" (std::exception subclasses) when the build number is unusable.
uint16_t GetWindowsVersionClass(OsVersion& version);

// "WIN_7", "WIN_10_RS1", "WIN_10_RS2", "WIN_10_RS3", "WIN_10_LATER" or "UNKNOWN".
const char* OsGenerationName(uint16_t generation);

}  // namespace platform
