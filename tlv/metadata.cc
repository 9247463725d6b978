#include "tlv/metadata.h"

namespace mfab {

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
