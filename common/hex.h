#pragma once

// Hex text of bytes, for logs, tools and tests: the one encoder and parser of the project.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace keystone {

// Lower-case hex without separators.
std::string ToHex(std::span<const uint8_t> bytes);

// Parses hex digits, ignoring white space, ':' and '-' separators and an optional "0x" prefix.
// Throws std::invalid_argument naming the first bad character or an odd digit count.
std::vector<uint8_t> ParseHex(std::string_view text);

}  // namespace keystone
