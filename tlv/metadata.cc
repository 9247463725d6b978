#include "tlv/metadata.h"

namespace mfab {

template <class Text>
std::span<const record::Field<BasicLoggingEntry<Text>>> BasicLoggingEntry<Text>::Fields() {
  using E = BasicLoggingEntry<Text>;
  static constexpr record::Field<E> kFields[] = {
      record::Item<&E::auxText>(0x6A02, "auxText"),
      record::Item<&E::level>(0x6A03, "level"),
      record::Item<&E::component>(0x6A04, "component"),
      record::Item<&E::auxValueA>(0x6A05, "auxValueA"),
      record::Item<&E::scope>(0x6A06, "scope"),
      record::Item<&E::text>(0x6A07, "text"),
      record::Item<&E::auxValueB>(0x6A08, "auxValueB"),
      record::Item<&E::fwTime>(0x6A09, "fwTime", record::Presence::kOptional),
  };
  return kFields;
}

template <class Entry>
std::span<const record::Field<BasicMessageMetadata<Entry>>> BasicMessageMetadata<Entry>::Fields() {
  using M = BasicMessageMetadata<Entry>;
  static constexpr record::Field<M> kFields[] = {
      record::TopLevelList<&M::entries>(0x7B38, "entries"),
  };
  return kFields;
}

template class BasicLoggingEntry<std::string>;
template class BasicLoggingEntry<std::string_view>;
template class BasicMessageMetadata<LoggingEntry>;
template class BasicMessageMetadata<LoggingEntryView>;

std::span<const record::Field<ErrorMessage>> ErrorMessage::Fields() {
  static constexpr record::Field<ErrorMessage> kFields[] = {
      record::Item<&ErrorMessage::errorCode>(0x7B0B, "errorCode"),
      record::Item<&ErrorMessage::errorText>(0x7B0A, "errorText"),
  };
  return kFields;
}

}  // namespace mfab
