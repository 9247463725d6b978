#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace keystonectl {

// Parses hex digits, ignoring white space, ':' and '-' separators and an optional "0x" prefix.
// Throws std::invalid_argument naming the first bad character or an odd digit count.
std::vector<uint8_t> ParseHex(std::string_view text);

// Lower-case hex without separators.
std::string ToHex(const uint8_t* data, size_t size);
inline std::string ToHex(const std::vector<uint8_t>& bytes) { return ToHex(bytes.data(), bytes.size()); }

// The argument's bytes: "-" reads hex from standard input, anything else is hex itself.
std::vector<uint8_t> HexArgument(const std::string& argument);

}  // namespace keystonectl
