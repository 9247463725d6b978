#include "platform/os_version.h"

#include <stdexcept>

#include "common/config_keys.h"
#include "platform/registry.h"

namespace platform {
namespace {

// What a current system reports when nothing overrides it.
constexpr const char* kDefaultBuildNumber = "22631";
constexpr size_t kMaxBuildNumberLength = 16;

class RegistryOsVersion final : public OsVersion {
 public:
  explicit RegistryOsVersion(Registry& store) : registry(store) {}

  bool AtLeastWindows8() override {
    auto key = registry.OpenKey(keystone::kWindowsCurrentVersionKey, reg_access::kRead);
    if (!key) return true;
    const auto major = key->QueryValue("CurrentMajorVersionNumber");
    const auto minor = key->QueryValue("CurrentMinorVersionNumber");
    if (!major) return true;
    const uint32_t majorNumber = major->AsDword();
    const uint32_t minorNumber = minor ? minor->AsDword() : 0;
    return majorNumber > 6 || (majorNumber == 6 && minorNumber >= 2);
  }

  std::string CurrentBuildNumber() override {
    std::unique_ptr<RegistryKey> key;
    std::optional<RegValue> value;
    try {
      key = registry.OpenKey(keystone::kWindowsCurrentVersionKey, reg_access::kRead);
      if (key) value = key->QueryValue("CurrentBuildNumber");
      if (value) {
        std::string text = value->AsString();
        if (text.size() > kMaxBuildNumberLength) throw std::runtime_error("too long");
        return text;
      }
    } catch (const std::exception&) {
      throw std::runtime_error("Invalid version");
    }
    return kDefaultBuildNumber;
  }

 private:
  Registry& registry;
};

}  // namespace

std::unique_ptr<OsVersion> CreateOsVersion(Registry& registry) {
  return std::make_unique<RegistryOsVersion>(registry);
}

uint16_t GetWindowsVersionClass(OsVersion& version) {
  if (!version.AtLeastWindows8()) return kWin7;
  const std::string text = version.CurrentBuildNumber();
  long build = 0;
  try {
    build = std::stol(text);
  } catch (const std::invalid_argument&) {
    throw std::invalid_argument("invalid stol argument");
  } catch (const std::out_of_range&) {
    throw std::out_of_range("stol argument out of range");
  }
  if (build < 14394) return kWin10Rs1;
  if (build <= 15063) return kWin10Rs2;
  if (build <= 16299) return kWin10Rs3;
  return kWin10Later;
}

const char* OsGenerationName(uint16_t generation) {
  switch (generation) {
    case kWin7: return "WIN_7";
    case kWin10Rs1: return "WIN_10_RS1";
    case kWin10Rs2: return "WIN_10_RS2";
    case kWin10Rs3: return "WIN_10_RS3";
    case kWin10Later: return "WIN_10_LATER";
    default: return "UNKNOWN";
  }
}

}  // namespace platform
