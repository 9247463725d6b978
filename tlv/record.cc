#include "tlv/record.h"

#include <cinttypes>
#include <cstdio>

#include "common/hex.h"

namespace mfab::record {

std::string IntText(int64_t value, unsigned width) {
  const uint64_t mask = width >= 16 ? ~uint64_t{0} : (uint64_t{1} << (4 * width)) - 1;
  char text[48];
  std::snprintf(text, sizeof(text), "%" PRId64 " (0x%0*" PRIx64 ")", value, static_cast<int>(width),
                static_cast<uint64_t>(value) & mask);
  return text;
}

namespace detail {

InOrderPlan MakeInOrderPlan(std::span<const FieldInfo> fields) {
  InOrderPlan plan;
  if (fields.size() > kMaxInOrderFields) return plan;
  for (size_t i = 0; i < fields.size(); ++i) {
    const FieldInfo& field = fields[i];
    const bool writeOnly = field.access == Access::kWriteOnly;
    if (!writeOnly && field.kind == Kind::kTopLevelList) return plan;
    plan.tags[i] = writeOnly ? -1 : field.tag;
    if (writeOnly || field.presence == Presence::kOptional) plan.skippable |= uint32_t{1} << i;
  }
  plan.count = static_cast<uint8_t>(fields.size());
  plan.usable = true;
  return plan;
}

}  // namespace detail

std::string TimeText(uint64_t value) { return std::to_string(value); }

std::string StringText(std::string_view value) {
  std::string text = "\"";
  for (const char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      text += '\\';
      text += c;
    } else if (byte >= 0x20 && byte < 0x7F) {
      text += c;
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof(escaped), "\\x%02x", byte);
      text += escaped;
    }
  }
  return text + "\"";
}

std::string BytesText(std::span<const uint8_t> value) {
  std::string text = "[" + std::to_string(value.size()) + "]";
  if (!value.empty()) text += ' ' + keystone::ToHex(value);
  return text;
}

}  // namespace mfab::record
