#include "tlv/status_messages.h"

namespace mfab {

std::span<const record::Field<FactorStatusData>> FactorStatusData::Fields() {
  static constexpr record::Field<FactorStatusData> kFields[] = {
      record::Item<&FactorStatusData::factorId>(0x7B14, "factorId"),
      record::Item<&FactorStatusData::status>(0x7B45, "status"),
      record::Item<&FactorStatusData::value5E>(0x7B5E, "value5E"),
  };
  return kFields;
}

std::span<const record::Field<AuthenticationStatusData>> AuthenticationStatusData::Fields() {
  static constexpr record::Field<AuthenticationStatusData> kFields[] = {
      record::Item<&AuthenticationStatusData::authenticationId>(0x7B47, "authenticationId"),
      record::Item<&AuthenticationStatusData::user>(0x7B01, "user"),
      record::Item<&AuthenticationStatusData::actionId>(0x7B02, "actionId"),
      record::Item<&AuthenticationStatusData::state>(0x7B44, "state"),
      record::Item<&AuthenticationStatusData::value42>(0x7B42, "value42"),
      record::Item<&AuthenticationStatusData::value43>(0x7B43, "value43"),
      record::List<&AuthenticationStatusData::factors>(0x7B41, 0x7B4F, "factors",
                                                       record::Presence::kOptional),
      record::Item<&AuthenticationStatusData::value4A>(0x7B4A, "value4A"),
      record::Item<&AuthenticationStatusData::active>(0x7B48, "active",
                                                      record::Presence::kOptional),
      record::Item<&AuthenticationStatusData::errorCode>(0x7B4B, "errorCode",
                                                         record::Presence::kOptional),
  };
  return kFields;
}

}  // namespace mfab
