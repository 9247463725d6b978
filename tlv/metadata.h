#pragma once

// The envelope's records: the reply metadata (MessageMetadata of LoggingEntry) and the applet's
// error reply (ErrorMessage). Field tables in metadata.cc; wire layout in docs/tlv.md.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tlv/message_types.h"
#include "tlv/record.h"
#include "tlv/tlv.h"

namespace mfab {

// One log record of the applet, carried in the reply metadata; the engine re-logs it at level,
// under component, as scope and text. Text is std::string (LoggingEntry, owns its texts) or
// std::string_view (LoggingEntryView, read in place: its texts view the buffer it was read from,
// which must outlive it). Both share one field table.
template <class Text>
class BasicLoggingEntry final : public record::Base<BasicLoggingEntry<Text>> {
 public:
  Text auxText;         // 0x6A02
  uint8_t level{};      // 0x6A03
  Text component;       // 0x6A04
  uint8_t auxValueA{};  // 0x6A05
  Text scope;           // 0x6A06
  Text text;            // 0x6A07
  uint8_t auxValueB{};  // 0x6A08
  uint64_t fwTime{};    // 0x6A09, optional; firmware time stamp; 0 when absent

  // Provided, so that value-initializing many entries (a list being read) sets each member
  // instead of first clearing the whole object with a slow string instruction.
  BasicLoggingEntry() {}

  static std::span<const record::Field<BasicLoggingEntry>> Fields();
};

// Every reply carries many of these, so the table is a constant expression (see
// record::ConstantFields).
template <class Text>
inline constexpr record::Field<BasicLoggingEntry<Text>> kLoggingEntryFields[] = {
    record::Item<&BasicLoggingEntry<Text>::auxText>(0x6A02, "auxText"),
    record::Item<&BasicLoggingEntry<Text>::level>(0x6A03, "level"),
    record::Item<&BasicLoggingEntry<Text>::component>(0x6A04, "component"),
    record::Item<&BasicLoggingEntry<Text>::auxValueA>(0x6A05, "auxValueA"),
    record::Item<&BasicLoggingEntry<Text>::scope>(0x6A06, "scope"),
    record::Item<&BasicLoggingEntry<Text>::text>(0x6A07, "text"),
    record::Item<&BasicLoggingEntry<Text>::auxValueB>(0x6A08, "auxValueB"),
    record::Item<&BasicLoggingEntry<Text>::fwTime>(0x6A09, "fwTime", record::Presence::kOptional),
};

template <class Text>
std::span<const record::Field<BasicLoggingEntry<Text>>> BasicLoggingEntry<Text>::Fields() {
  return kLoggingEntryFields<Text>;
}

using LoggingEntry = BasicLoggingEntry<std::string>;
using LoggingEntryView = BasicLoggingEntry<std::string_view>;
extern template class BasicLoggingEntry<std::string>;
extern template class BasicLoggingEntry<std::string_view>;

}  // namespace mfab

template <class Text>
struct mfab::record::ConstantFields<mfab::BasicLoggingEntry<Text>> {
  static constexpr const auto& kTable = mfab::kLoggingEntryFields<Text>;
};

namespace mfab {

// The metadata of an applet reply (Message item 0x0004): its log records, one 0x7B38 item each.
// Reading takes every item from the first 0x7B38 on as an entry, whatever its tag.
// MessageMetadataView holds LoggingEntryView records: the buffer read must outlive it.
template <class Entry>
class BasicMessageMetadata final : public record::Base<BasicMessageMetadata<Entry>> {
 public:
  std::vector<Entry> entries;  // top-level 0x7B38 elements

  static std::span<const record::Field<BasicMessageMetadata>> Fields();
};

using MessageMetadata = BasicMessageMetadata<LoggingEntry>;
using MessageMetadataView = BasicMessageMetadata<LoggingEntryView>;
extern template class BasicMessageMetadata<LoggingEntry>;
extern template class BasicMessageMetadata<LoggingEntryView>;

// The applet's failure reply, the payload of a Message of type 0xABBAAAAA.
class ErrorMessage final : public record::Base<ErrorMessage> {
 public:
  uint16_t errorCode = applet_error::kDefault;  // 0x7B0B
  std::string errorText;                        // 0x7B0A

  static std::span<const record::Field<ErrorMessage>> Fields();
};

}  // namespace mfab
