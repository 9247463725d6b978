#include "platform/registry.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace platform {
namespace {

class RegistryErrorCategory final : public std::error_category {
 public:
  const char* name() const noexcept override { return "registry"; }
  std::string message(int code) const override {
    switch (static_cast<RegistryErrc>(code)) {
      case RegistryErrc::kNotFound: return "The system cannot find the file specified";
      case RegistryErrc::kAccessDenied: return "Access is denied";
      case RegistryErrc::kInvalidParameter: return "The parameter is incorrect";
      case RegistryErrc::kKeyDeleted: return "The key has been marked for deletion";
      case RegistryErrc::kIoFailed: return "The registry store failed";
      case RegistryErrc::kKeyHasChildren: return "The key has subkeys";
      case RegistryErrc::kTypeMismatch: return "The value has another type";
      case RegistryErrc::kTransactionFailed: return "The transaction failed";
    }
    return "Unknown registry error " + std::to_string(code);
  }
};

void RequireType(const RegValue& value, std::initializer_list<RegType> types) {
  if (std::find(types.begin(), types.end(), value.type) == types.end()) {
    throw RegistryError(RegistryErrc::kTypeMismatch,
                        std::string("value is ") + RegTypeName(value.type));
  }
}

template <typename T>
T ReadLittleEndian(const RegValue& value) {
  if (value.data.size() != sizeof(T)) {
    throw RegistryError(RegistryErrc::kInvalidParameter,
                        std::string(RegTypeName(value.type)) + " data has " +
                            std::to_string(value.data.size()) + " bytes");
  }
  T result = 0;
  for (size_t i = 0; i < sizeof(T); ++i) result |= static_cast<T>(value.data[i]) << (8 * i);
  return result;
}

template <typename T>
std::vector<uint8_t> WriteLittleEndian(T v) {
  std::vector<uint8_t> bytes(sizeof(T));
  for (size_t i = 0; i < sizeof(T); ++i) bytes[i] = static_cast<uint8_t>(v >> (8 * i));
  return bytes;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

constexpr struct {
  RegType type;
  const char* name;
} kTypeNames[] = {
    {RegType::kNone, "REG_NONE"},         {RegType::kSz, "REG_SZ"},
    {RegType::kExpandSz, "REG_EXPAND_SZ"}, {RegType::kBinary, "REG_BINARY"},
    {RegType::kDword, "REG_DWORD"},       {RegType::kMultiSz, "REG_MULTI_SZ"},
    {RegType::kQword, "REG_QWORD"},
};

}  // namespace

const std::error_category& RegistryCategory() {
  static RegistryErrorCategory category;
  return category;
}

RegValue RegValue::String(std::string_view text, RegType type) {
  RegValue v{type, std::vector<uint8_t>(text.begin(), text.end())};
  v.data.push_back(0);
  return v;
}

RegValue RegValue::MultiString(const std::vector<std::string>& strings) {
  RegValue v{RegType::kMultiSz, {}};
  for (const std::string& s : strings) {
    v.data.insert(v.data.end(), s.begin(), s.end());
    v.data.push_back(0);
  }
  v.data.push_back(0);
  return v;
}

RegValue RegValue::Dword(uint32_t value) { return {RegType::kDword, WriteLittleEndian(value)}; }
RegValue RegValue::Qword(uint64_t value) { return {RegType::kQword, WriteLittleEndian(value)}; }
RegValue RegValue::Binary(std::vector<uint8_t> bytes) { return {RegType::kBinary, std::move(bytes)}; }

std::string RegValue::AsString() const {
  RequireType(*this, {RegType::kSz, RegType::kExpandSz});
  // Like the registry's own readers, stop at the first NUL; data without one is taken whole.
  auto end = std::find(data.begin(), data.end(), uint8_t{0});
  return std::string(data.begin(), end);
}

std::vector<std::string> RegValue::AsMultiString() const {
  RequireType(*this, {RegType::kMultiSz});
  std::vector<std::string> strings;
  auto it = data.begin();
  while (it != data.end()) {
    auto end = std::find(it, data.end(), uint8_t{0});
    if (end == it) break;  // the empty string that ends the list
    strings.emplace_back(it, end);
    it = end == data.end() ? end : end + 1;
  }
  return strings;
}

uint32_t RegValue::AsDword() const {
  RequireType(*this, {RegType::kDword});
  return ReadLittleEndian<uint32_t>(*this);
}

uint64_t RegValue::AsQword() const {
  RequireType(*this, {RegType::kQword});
  return ReadLittleEndian<uint64_t>(*this);
}

const char* RegTypeName(RegType type) {
  for (const auto& entry : kTypeNames) {
    if (entry.type == type) return entry.name;
  }
  return "REG_UNKNOWN";
}

std::optional<RegType> ParseRegType(std::string_view name) {
  for (const auto& entry : kTypeNames) {
    if (EqualsIgnoreCase(name, entry.name)) return entry.type;
  }
  return std::nullopt;
}

std::optional<std::string> ReadRegistryString(Registry& registry, std::string_view keyPath,
                                              std::string_view valueName) {
  auto key = registry.OpenKey(keyPath, reg_access::kRead);
  if (!key) return std::nullopt;
  std::optional<RegValue> value = key->QueryValue(valueName);
  if (!value) return std::nullopt;
  return value->AsString();
}

std::optional<uint32_t> ReadRegistryDword(Registry& registry, std::string_view keyPath,
                                          std::string_view valueName) {
  auto key = registry.OpenKey(keyPath, reg_access::kRead);
  if (!key) return std::nullopt;
  std::optional<RegValue> value = key->QueryValue(valueName);
  if (!value) return std::nullopt;
  return value->AsDword();
}

void WriteRegistryValue(Registry& registry, std::string_view keyPath, std::string_view valueName,
                        const RegValue& value) {
  registry.CreateKey(keyPath, reg_access::kReadWrite)->SetValue(valueName, value);
}

}  // namespace platform
