#include "storage/policy_mirror.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/config_keys.h"
#include "common/exceptions.h"
#include "log/logger.h"
#include "platform/registry.h"

namespace mfab {

keystone::Mutex& PolicyMirrorMutex() {
  static keystone::Mutex mutex;
  return mutex;
}

RegistryPolicyMirrorReader::RegistryPolicyMirrorReader(platform::Registry& registryToUse)
    : registry(&registryToUse) {}

std::vector<std::string> RegistryPolicyMirrorReader::FactorIds() {
  std::vector<std::string> ids = SubkeyNames(std::string(keystone::kDataMirrorKey) + "\\Factors");
  // The mirror's factor list is keyed by identifier; the registry enumerates without case.
  std::sort(ids.begin(), ids.end());
  return ids;
}

std::vector<std::string> RegistryPolicyMirrorReader::ActionIds() {
  return SubkeyNames(std::string(keystone::kDataMirrorKey) + "\\Actions");
}

std::vector<std::string> RegistryPolicyMirrorReader::SubkeyNames(const std::string& keyPath) {
  keystone::MutexLock lock(PolicyMirrorMutex());
  std::vector<std::string> names;
  try {
    std::unique_ptr<platform::RegistryKey> key =
        registry->OpenKey(keyPath, platform::reg_access::kRead);
    if (!key) return names;
    for (uint32_t index = 0;; ++index) {
      std::optional<std::string> name = key->EnumKey(index);
      if (!name) break;
      names.push_back(std::move(*name));
    }
  } catch (const platform::RegistryError& e) {
    KS_LOG(AuthenticateLoggerService::Instance(), kLogError, "FLOW",
           "Error reading from registry (%d)", e.code().value());
    throw ReadMirrorDataException("Error reading from registry");
  }
  return names;
}

IPolicyMirrorReader& DefaultPolicyMirrorReader() {
  static RegistryPolicyMirrorReader reader(platform::SystemRegistry());
  return reader;
}

}  // namespace mfab
