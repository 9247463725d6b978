#include "tlv/discovery_messages.h"

namespace mfab {

using ActionFactorDiscoveryData = GetPolicyActionFactorsDataResponse::ActionFactorDiscoveryData;

std::span<const record::Field<FactorDiscoveryFactorData>> FactorDiscoveryFactorData::Fields() {
  static constexpr record::Field<FactorDiscoveryFactorData> kFields[] = {
      record::Item<&FactorDiscoveryFactorData::factorId>(0x7B14, "factorId"),
      record::Item<&FactorDiscoveryFactorData::text04>(0x7B04, "text04"),
      record::Item<&FactorDiscoveryFactorData::value3E>(0x7B3E, "value3E"),
      record::Item<&FactorDiscoveryFactorData::value3F>(0x7B3F, "value3F"),
      record::Item<&FactorDiscoveryFactorData::text02>(0x7B02, "text02",
                                                       record::Presence::kOptional),
  };
  return kFields;
}

std::span<const record::Field<GetFactorEnrollmentParametersResponse>>
GetFactorEnrollmentParametersResponse::Fields() {
  using C = GetFactorEnrollmentParametersResponse;
  static constexpr record::Field<C> kFields[] = {
      record::Item<&C::text96>(0x7B96, "text96", record::Presence::kRequired,
                               record::Access::kWriteOnly),
      record::Item<&C::text97>(0x7B97, "text97", record::Presence::kRequired,
                               record::Access::kWriteOnly),
      record::Item<&C::parameters>(0x7B91, "parameters", record::Presence::kOptional),
  };
  return kFields;
}

std::span<const record::Field<ActionFactorDiscoveryData::set>>
ActionFactorDiscoveryData::set::Fields() {
  static constexpr record::Field<set> kFields[] = {
      record::Item<&set::factorId>(0x7B14, "factorId", record::Presence::kOptional),
  };
  return kFields;
}

std::span<const record::Field<ActionFactorDiscoveryData::Action>>
ActionFactorDiscoveryData::Action::Fields() {
  static constexpr record::Field<Action> kFields[] = {
      record::List<&Action::sets>(0x7B40, 0x7B4F, "sets"),
      record::Item<&Action::value4C>(0x7B4C, "value4C"),
      record::Item<&Action::value4D>(0x7B4D, "value4D"),
      record::Item<&Action::value55>(0x7B55, "value55"),
      record::Item<&Action::text56>(0x7B56, "text56"),
      record::Item<&Action::text57>(0x7B57, "text57"),
  };
  return kFields;
}

std::span<const record::Field<ActionFactorDiscoveryData>> ActionFactorDiscoveryData::Fields() {
  static constexpr record::Field<ActionFactorDiscoveryData> kFields[] = {
      record::Item<&ActionFactorDiscoveryData::user>(0x7B01, "user"),
      record::Item<&ActionFactorDiscoveryData::action>(0x7B54, "action"),
  };
  return kFields;
}

std::span<const record::Field<ExternalFactorsSupport::Factor>>
ExternalFactorsSupport::Factor::Fields() {
  static constexpr record::Field<Factor> kFields[] = {
      record::Item<&Factor::factorId>(0x7B14, "factorId"),
  };
  return kFields;
}

std::span<const record::Field<ExternalFactorsSupport>> ExternalFactorsSupport::Fields() {
  static constexpr record::Field<ExternalFactorsSupport> kFields[] = {
      record::TopLevelList<&ExternalFactorsSupport::factors>(0x7B4F, "factors"),
  };
  return kFields;
}

}  // namespace mfab

using mfab::Bytes;
namespace record = mfab::record;

std::span<const record::Field<FactorDiscovery>> FactorDiscovery::Fields() {
  static constexpr record::Field<FactorDiscovery> kFields[] = {
      record::Item<&FactorDiscovery::user>(0x7B01, "user"),
      record::List<&FactorDiscovery::factors>(0x7B40, 0x7B4F, "factors",
                                              record::Presence::kOptional),
  };
  return kFields;
}

std::span<const record::Field<UsersDiscovery>> UsersDiscovery::Fields() {
  static constexpr record::Field<UsersDiscovery> kFields[] = {
      record::Item<&UsersDiscovery::users>(0x7B01, "users", record::Presence::kOptional),
  };
  return kFields;
}
