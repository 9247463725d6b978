#include "tlv/metadata.h"

namespace mfab {

std::span<const record::Field<LoggingEntry>> LoggingEntry::Fields() {
  static constexpr record::Field<LoggingEntry> kFields[] = {
      record::Item<&LoggingEntry::auxText>(0x6A02, "auxText"),
      record::Item<&LoggingEntry::level>(0x6A03, "level"),
      record::Item<&LoggingEntry::component>(0x6A04, "component"),
      record::Item<&LoggingEntry::auxValueA>(0x6A05, "auxValueA"),
      record::Item<&LoggingEntry::scope>(0x6A06, "scope"),
      record::Item<&LoggingEntry::text>(0x6A07, "text"),
      record::Item<&LoggingEntry::auxValueB>(0x6A08, "auxValueB"),
      record::Item<&LoggingEntry::fwTime>(0x6A09, "fwTime", record::Presence::kOptional),
  };
  return kFields;
}

std::span<const record::Field<MessageMetadata>> MessageMetadata::Fields() {
  static constexpr record::Field<MessageMetadata> kFields[] = {
      record::TopLevelList<&MessageMetadata::entries>(0x7B38, "entries"),
  };
  return kFields;
}

std::span<const record::Field<ErrorMessage>> ErrorMessage::Fields() {
  static constexpr record::Field<ErrorMessage> kFields[] = {
      record::Item<&ErrorMessage::errorCode>(0x7B0B, "errorCode"),
      record::Item<&ErrorMessage::errorText>(0x7B0A, "errorText"),
  };
  return kFields;
}

}  // namespace mfab
