#include "tests/fakes/registry_export.h"

#include <memory>
#include <optional>
#include <vector>

#include "common/hex.h"

namespace keystone::testing {
namespace {

std::string Data(const platform::RegValue& value) {
  switch (value.type) {
    case platform::RegType::kSz: return "SZ " + value.AsString();
    case platform::RegType::kDword: return "DWORD " + std::to_string(value.AsDword());
    default: break;
  }
  return std::string(platform::RegTypeName(value.type)) + " " + keystone::ToHex(value.data);
}

void Export(platform::Registry& registry, const std::string& root, const std::string& relative,
            std::string& out) {
  std::unique_ptr<platform::RegistryKey> key = registry.OpenKey(
      relative.empty() ? root : root + "\\" + relative, platform::reg_access::kRead);
  if (!key) return;
  out += "[" + relative + "]\n";
  for (uint32_t i = 0; std::optional<std::string> name = key->EnumValue(i); ++i) {
    out += *name + "=" + Data(*key->QueryValue(*name)) + "\n";
  }
  std::vector<std::string> subkeys;
  for (uint32_t i = 0; std::optional<std::string> name = key->EnumKey(i); ++i) {
    subkeys.push_back(*name);
  }
  for (const std::string& name : subkeys) {
    Export(registry, root, relative.empty() ? name : relative + "\\" + name, out);
  }
}

}  // namespace

std::string ExportTree(platform::Registry& registry, const std::string& path) {
  std::string out;
  Export(registry, path, "", out);
  return out;
}

}  // namespace keystone::testing
