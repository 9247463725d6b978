#include "platform/account_names.h"

#include <cstdint>
#include <string_view>

namespace platform {
namespace {

constexpr size_t kMaxSubAuthorities = 15;

// Consumes one decimal group from text; false when there is none or it is at least limit.
bool TakeGroup(std::string_view& text, uint64_t limit) {
  size_t digits = 0;
  uint64_t value = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
    value = value * 10 + static_cast<uint64_t>(text[digits] - '0');
    if (value >= limit) return false;
    ++digits;
  }
  if (digits == 0) return false;
  text.remove_prefix(digits);
  return true;
}

}  // namespace

bool IsSidText(const std::string& sidText) {
  std::string_view text = sidText;
  if (!text.starts_with("S-1-")) return false;
  text.remove_prefix(4);
  if (!TakeGroup(text, uint64_t{1} << 48)) return false;
  for (size_t groups = 0; !text.empty(); ++groups) {
    if (groups == kMaxSubAuthorities || text.front() != '-') return false;
    text.remove_prefix(1);
    if (!TakeGroup(text, uint64_t{1} << 32)) return false;
  }
  return true;
}

}  // namespace platform
