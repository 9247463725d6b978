#include "platform/sid.h"

namespace platform {
namespace {

constexpr size_t kMaxSidText = 256;

// Takes the digits up to the next hyphen (or the end) off text as a number no larger than max.
std::optional<uint64_t> TakeNumber(std::string_view& text, uint64_t max, int base = 10) {
  uint64_t value = 0;
  size_t used = 0;
  for (; used < text.size() && text[used] != '-'; ++used) {
    const char c = text[used];
    uint64_t digit = 0;
    if (c >= '0' && c <= '9') {
      digit = static_cast<uint64_t>(c - '0');
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = static_cast<uint64_t>(c - 'a' + 10);
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = static_cast<uint64_t>(c - 'A' + 10);
    } else {
      return std::nullopt;
    }
    if (value > (max - digit) / static_cast<uint64_t>(base)) return std::nullopt;
    value = value * static_cast<uint64_t>(base) + digit;
  }
  if (used == 0) return std::nullopt;
  text.remove_prefix(used);
  return value;
}

// Takes the hyphen that separates two parts; false at the end or before anything else.
bool TakeHyphen(std::string_view& text) {
  if (text.empty() || text.front() != '-') return false;
  text.remove_prefix(1);
  return true;
}

}  // namespace

std::optional<Sid> ParseSid(std::string_view text) {
  if (text.size() > kMaxSidText || text.size() < 4) return std::nullopt;
  if ((text[0] != 'S' && text[0] != 's') || text.substr(1, 3) != "-1-") return std::nullopt;
  text.remove_prefix(4);

  Sid sid;
  std::optional<uint64_t> authority;
  if (text.starts_with("0x") || text.starts_with("0X")) {
    text.remove_prefix(2);
    const size_t digits = text.find('-') == std::string_view::npos ? text.size() : text.find('-');
    if (digits > 12) return std::nullopt;
    authority = TakeNumber(text, Sid::kMaxAuthority, 16);
  } else {
    authority = TakeNumber(text, Sid::kMaxAuthority);
  }
  if (!authority) return std::nullopt;
  sid.authority = *authority;

  while (!text.empty()) {
    if (!TakeHyphen(text) || sid.subAuthorities.size() == Sid::kMaxSubAuthorities) {
      return std::nullopt;
    }
    const std::optional<uint64_t> sub = TakeNumber(text, UINT32_MAX);
    if (!sub) return std::nullopt;
    sid.subAuthorities.push_back(static_cast<uint32_t>(*sub));
  }
  return sid;
}

}  // namespace platform
