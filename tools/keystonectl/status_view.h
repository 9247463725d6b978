#pragma once

// The engine's health view as the control socket's "status" request answers it: a flat JSON
// object of dotted keys and scalar values (docs/health-view.md), read back for plain text.

#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace keystonectl {

// The reply was not the flat object expected; what() says where.
class StatusFormatError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The pairs in order; strings unescaped, other values as written (numbers, true, false, null).
// Throws StatusFormatError for anything else (nesting, arrays, bad escapes, trailing bytes).
std::vector<std::pair<std::string, std::string>> ParseStatusObject(std::string_view json);

// One "key  value" line per pair, the values lined up.
std::string StatusText(const std::vector<std::pair<std::string, std::string>>& pairs);

}  // namespace keystonectl
