#pragma once

#include <cstdint>
#include <string>
#include <span>
#include <string_view>
#include <vector>

#include "common/hex.h"

namespace keystonectl {

using keystone::ParseHex;
using keystone::ToHex;
inline std::string ToHex(const uint8_t* data, size_t size) {
  return keystone::ToHex(std::span<const uint8_t>(data, size));
}

// The argument's bytes: "-" reads hex from standard input, anything else is hex itself.
std::vector<uint8_t> HexArgument(const std::string& argument);

}  // namespace keystonectl
