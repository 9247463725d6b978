#include "smartcard/smart_card_policy.h"

#include <charconv>
#include <string_view>

#include "log/logger.h"

namespace SmartCardFactor {
namespace {

mfab::AuthenticateLogger& Log() { return mfab::AuthenticateLoggerService::Instance(); }

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Registry names compare without regard to case.
bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

// Whether name is prefix followed by exactly one digit 0 to 4.
bool IsListKey(std::string_view name, std::string_view prefix) {
  if (name.size() != prefix.size() + 1 || !SameName(name.substr(0, prefix.size()), prefix)) {
    return false;
  }
  return name.back() >= '0' && name.back() < '0' + kMaxPolicyListEntries;
}

int32_t ParseMinutes(const std::string& text) {
  int32_t minutes = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, minutes);
  if (error != std::errc() || stop != end || minutes < 0) {
    KS_LOG(Log(), mfab::kLogWarning, "FLOW", "Ignoring CrlCheckFrequency '%.32s'", text.c_str());
    return 0;
  }
  return minutes;
}

}  // namespace

CertificateStore::PolicyInputs SmartCardPolicy::Inputs() const {
  return {caThumbprints, requiredOids, readerName};
}

SmartCardPolicy ParseSmartCardPolicy(const AuthenticateDataMirroring::NameValues& parameters) {
  SmartCardPolicy policy;
  std::set<std::string> seen;
  for (const AuthenticateDataMirroring::NameValue& parameter : parameters) {
    std::string key;
    for (char c : parameter.name) key += Lower(c);
    if (!seen.insert(key).second) continue;
    if (IsListKey(parameter.name, "CaCertificateThumbprint")) {
      policy.caThumbprints.insert(parameter.value);
    } else if (IsListKey(parameter.name, "OID")) {
      policy.requiredOids.insert(parameter.value);
    } else if (SameName(parameter.name, "ReaderName")) {
      policy.readerName = parameter.value;
    } else if (SameName(parameter.name, "AllowPinReplay")) {
      policy.allowPinReplay = parameter.value == "true";
    } else if (SameName(parameter.name, "CrlCheckFrequency")) {
      policy.crlCheckFrequency = ParseMinutes(parameter.value);
    }
  }
  return policy;
}

}  // namespace SmartCardFactor
