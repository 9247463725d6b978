#include "platform/trusted_signers.h"

#include <cctype>

#include "common/config_keys.h"
#include "platform/registry.h"

namespace platform {
namespace {

constexpr size_t kThumbprintDigits = 64;

}  // namespace

std::optional<std::string> NormalizeThumbprint(std::string_view entry) {
  std::string digits;
  for (char c : entry) {
    if (c == ':' || c == ' ' || c == '\t') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c)) || digits.size() == kThumbprintDigits) {
      return std::nullopt;
    }
    digits.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
  }
  if (digits.size() != kThumbprintDigits) return std::nullopt;
  return digits;
}

TrustedSigners ReadTrustedSigners(Registry& registry) {
  TrustedSigners signers;
  auto key = registry.OpenKey(keystone::kEngineKey, reg_access::kRead);
  if (!key) return signers;
  const std::optional<RegValue> value = key->QueryValue(keystone::kTrustedSignersValue);
  if (!value) return signers;
  const std::vector<std::string> entries = value->type == RegType::kMultiSz
                                               ? value->AsMultiString()
                                               : std::vector<std::string>{value->AsString()};
  for (const std::string& entry : entries) {
    if (std::optional<std::string> thumbprint = NormalizeThumbprint(entry)) {
      signers.thumbprints.push_back(std::move(*thumbprint));
    } else {
      signers.rejected.push_back(entry);
    }
  }
  return signers;
}

}  // namespace platform
