#include "platform/power_capabilities.h"

#include <fstream>
#include <optional>

#include "common/config_keys.h"
#include "log/logger.h"
#include "platform/registry.h"

namespace platform {
namespace {

// The file is one short line; anything longer is not what we expect.
constexpr std::streamsize kMaxMemSleepLength = 256;

class LinuxPowerCapabilities final : public PowerCapabilities {
 public:
  LinuxPowerCapabilities(Registry* store, std::string path)
      : registry(store), memSleepPath(std::move(path)) {}

  bool Query(SystemPowerCapabilities& caps) override {
    if (std::optional<bool> forced = Override()) {
      caps.aoAc = *forced;
      return true;
    }
    std::ifstream in(memSleepPath);
    if (!in) return false;
    std::string text(static_cast<size_t>(kMaxMemSleepLength), '\0');
    in.read(text.data(), kMaxMemSleepLength);
    text.resize(static_cast<size_t>(in.gcount()));
    // "s2idle [deep]": the bracketed word is the state suspend uses.
    const size_t open = text.find('[');
    const size_t close = text.find(']', open == std::string::npos ? 0 : open);
    if (open == std::string::npos || close == std::string::npos) return false;
    caps.aoAc = text.substr(open + 1, close - open - 1) == "s2idle";
    return true;
  }

 private:
  std::optional<bool> Override() {
    if (!registry) return std::nullopt;
    try {
      std::optional<uint32_t> value =
          ReadRegistryDword(*registry, keystone::kEngineKey, kConnectedStandbyValue);
      if (value) return *value != 0;
    } catch (const std::exception& e) {
      KS_LOG(mfab::AuthenticateLoggerService::Instance(), mfab::kLogWarning, "FLOW",
             "Ignoring the ConnectedStandby registry value (%s)", e.what());
    }
    return std::nullopt;
  }

  Registry* registry;
  std::string memSleepPath;
};

}  // namespace

std::unique_ptr<PowerCapabilities> CreatePowerCapabilities(Registry* registry,
                                                           std::string memSleepPath) {
  return std::make_unique<LinuxPowerCapabilities>(registry, std::move(memSleepPath));
}

}  // namespace platform
