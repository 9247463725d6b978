#pragma once

// The stored-data block (top-level item 0x0006) that the engine appends to a request or to the
// session-init buffer:
//
//   0x7BAC  categories: 0x7BAD items, each a 4-byte code
//   0x7BAE  files: 0x7BAF items, each 0x7BB0 logical name, 0x7BB1 content (a sealed blob)
//   0x7BB2  user section: [0x7BB3 user SID], [0x7BBA of 0x7BBB factor ids],
//           [0x7BBC of 0x7BBD action ids]

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tlv/piggyback_block.h"

namespace kilnsim {

struct DeliveredFile {
  std::string name;
  std::vector<uint8_t> content;
};

struct PiggyBackBlock {
  std::vector<uint32_t> categories;
  std::vector<DeliveredFile> files;
  std::string user;
  std::vector<std::string> factorIds;
  std::vector<std::string> actionIds;
};

inline constexpr uint16_t kPiggyBackTag = mfab::piggyback_tag::kBlock;
inline constexpr size_t kMaxDeliveredFiles = 256;

// Reads the block's value. Throws AppletError(kMalformedRequest).
PiggyBackBlock ParsePiggyBack(std::span<const uint8_t> value);

// The value of the first top-level 0x0006 item of a request or init buffer, if any. Throws
// AppletError(kMalformedRequest) when the buffer is not a TLV sequence.
std::optional<std::span<const uint8_t>> FindPiggyBack(std::span<const uint8_t> buffer);

}  // namespace kilnsim
