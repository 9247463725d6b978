#pragma once

// The envelope's records: the reply metadata (MessageMetadata of LoggingEntry) and the applet's
// error reply (ErrorMessage). Field tables in metadata.cc; wire layout in docs/tlv.md.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "tlv/message_types.h"
#include "tlv/record.h"
#include "tlv/tlv.h"

namespace mfab {

// One log record of the applet, carried in the reply metadata; the engine re-logs it at level,
// under component, as scope and text.
class LoggingEntry final : public record::Base<LoggingEntry> {
 public:
  std::string auxText;    // 0x6A02
  uint8_t level{};        // 0x6A03
  std::string component;  // 0x6A04
  uint8_t auxValueA{};    // 0x6A05
  std::string scope;      // 0x6A06
  std::string text;       // 0x6A07
  uint8_t auxValueB{};    // 0x6A08
  uint64_t fwTime{};      // 0x6A09, optional; firmware time stamp; 0 when absent

  static std::span<const record::Field<LoggingEntry>> Fields();
};

// The metadata of an applet reply (Message item 0x0004): its log records, one 0x7B38 item each.
// Reading takes every item from the first 0x7B38 on as an entry, whatever its tag.
class MessageMetadata final : public record::Base<MessageMetadata> {
 public:
  std::vector<LoggingEntry> entries;  // top-level 0x7B38 elements

  static std::span<const record::Field<MessageMetadata>> Fields();
};

// The applet's failure reply, the payload of a Message of type 0xABBAAAAA.
class ErrorMessage final : public record::Base<ErrorMessage> {
 public:
  uint16_t errorCode = applet_error::kDefault;  // 0x7B0B
  std::string errorText;                        // 0x7B0A

  static std::span<const record::Field<ErrorMessage>> Fields();
};

}  // namespace mfab
