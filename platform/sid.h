#pragma once

// Security identifiers in their text form, "S-1-<authority>-<sub-authority>...", the way clients
// name users. Parsing and comparing them needs no operating system.

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace platform {

// A SID as its parts; two SIDs are the same user when their parts are equal, whatever digits
// (leading zeros, hexadecimal authority) their texts used.
struct Sid {
  static constexpr uint64_t kMaxAuthority = (uint64_t{1} << 48) - 1;
  static constexpr size_t kMaxSubAuthorities = 15;

  uint64_t authority = 0;
  std::vector<uint32_t> subAuthorities;

  bool operator==(const Sid&) const = default;
};

// The local system account; on Linux, root.
inline constexpr std::string_view kLocalSystemSid = "S-1-5-18";

// Parses "S-1-" (the S in either case), the identifier authority in decimal (below 2^48) or as
// "0x" with 1 to 12 hexadecimal digits, then 0 to 15 sub-authorities in decimal, each below 2^32,
// all separated by single hyphens. nullopt for anything else, including texts over 256 characters.
std::optional<Sid> ParseSid(std::string_view text);

}  // namespace platform
