#include "tlv/client_messages.h"

namespace mfab {

std::span<const record::Field<ActionAuthenticateRequest>> ActionAuthenticateRequest::Fields() {
  static constexpr record::Field<ActionAuthenticateRequest> kFields[] = {
      record::Item<&ActionAuthenticateRequest::user>(0x7B01, "user"),
      record::Item<&ActionAuthenticateRequest::actionId>(0x7B02, "actionId"),
      record::Item<&ActionAuthenticateRequest::monitorStatus>(0x7B49, "monitorStatus"),
  };
  return kFields;
}

std::span<const record::Field<InitAuthenticateActionRequest>>
InitAuthenticateActionRequest::Fields() {
  static constexpr record::Field<InitAuthenticateActionRequest> kFields[] = {
      record::Item<&InitAuthenticateActionRequest::user>(0x7B01, "user"),
      record::Item<&InitAuthenticateActionRequest::actionId>(0x7B02, "actionId"),
      record::Item<&InitAuthenticateActionRequest::monitorStatus>(0x7B49, "monitorStatus"),
  };
  return kFields;
}

std::span<const record::Field<EnrollFactorRequest>> EnrollFactorRequest::Fields() {
  static constexpr record::Field<EnrollFactorRequest> kFields[] = {
      record::Item<&EnrollFactorRequest::factorName>(0x7B04, "factorName"),
      record::Item<&EnrollFactorRequest::factorId>(0x7B14, "factorId"),
      record::Item<&EnrollFactorRequest::user>(0x7B01, "user"),
      record::Item<&EnrollFactorRequest::data>(0x7B05, "data"),
  };
  return kFields;
}

std::span<const record::Field<UnenrollFactorRequest>> UnenrollFactorRequest::Fields() {
  static constexpr record::Field<UnenrollFactorRequest> kFields[] = {
      record::Item<&UnenrollFactorRequest::factorId>(0x7B14, "factorId"),
      record::Item<&UnenrollFactorRequest::user>(0x7B01, "user"),
      record::Item<&UnenrollFactorRequest::data>(0x7B05, "data"),
  };
  return kFields;
}

std::span<const record::Field<CheckFactorEnrollmentRequest>>
CheckFactorEnrollmentRequest::Fields() {
  static constexpr record::Field<CheckFactorEnrollmentRequest> kFields[] = {
      record::Item<&CheckFactorEnrollmentRequest::factorId>(0x7B14, "factorId"),
      record::Item<&CheckFactorEnrollmentRequest::user>(0x7B01, "user"),
      record::Item<&CheckFactorEnrollmentRequest::data>(0x7B05, "data"),
  };
  return kFields;
}

std::span<const record::Field<AuthenticatedUnenrollFactorRequest>>
AuthenticatedUnenrollFactorRequest::Fields() {
  static constexpr record::Field<AuthenticatedUnenrollFactorRequest> kFields[] = {
      record::Item<&AuthenticatedUnenrollFactorRequest::factorId>(0x7B14, "factorId"),
      record::Item<&AuthenticatedUnenrollFactorRequest::user>(0x7B01, "user"),
  };
  return kFields;
}

std::span<const record::Field<StoreSecureDataRequest>> StoreSecureDataRequest::Fields() {
  static constexpr record::Field<StoreSecureDataRequest> kFields[] = {
      record::Item<&StoreSecureDataRequest::applicationId>(0x7B0C, "applicationId"),
      record::Item<&StoreSecureDataRequest::dataName>(0x7B0D, "dataName"),
      record::Item<&StoreSecureDataRequest::dataScope>(0x7B3A, "dataScope"),
      record::Item<&StoreSecureDataRequest::data>(0x7B05, "data"),
  };
  return kFields;
}

std::span<const record::Field<ActionAuthenticateInterAppRequest>>
ActionAuthenticateInterAppRequest::Fields() {
  static constexpr record::Field<ActionAuthenticateInterAppRequest> kFields[] = {
      record::Item<&ActionAuthenticateInterAppRequest::callerId>(0x7B1F, "callerId"),
      record::Item<&ActionAuthenticateInterAppRequest::data>(0x7B05, "data"),
      record::Item<&ActionAuthenticateInterAppRequest::user>(0x7B01, "user"),
  };
  return kFields;
}

std::span<const record::Field<AuthenticateActionRetrieveDataRequest>>
AuthenticateActionRetrieveDataRequest::Fields() {
  static constexpr record::Field<AuthenticateActionRetrieveDataRequest> kFields[] = {
      record::Item<&AuthenticateActionRetrieveDataRequest::user>(0x7B01, "user"),
      record::Item<&AuthenticateActionRetrieveDataRequest::actionId>(0x7B02, "actionId"),
      record::Item<&AuthenticateActionRetrieveDataRequest::applicationId>(0x7B0C, "applicationId"),
      record::Item<&AuthenticateActionRetrieveDataRequest::dataName>(0x7B0D, "dataName"),
      record::Item<&AuthenticateActionRetrieveDataRequest::dataScope>(0x7B3A, "dataScope"),
      record::Item<&AuthenticateActionRetrieveDataRequest::requestData>(0x7B0E, "requestData"),
      record::Item<&AuthenticateActionRetrieveDataRequest::monitorStatus>(0x7B49, "monitorStatus"),
      record::Item<&AuthenticateActionRetrieveDataRequest::options>(0x7B81, "options"),
  };
  return kFields;
}

std::span<const record::Field<CloseAuthenticateActionRetrieveDataRequest>>
CloseAuthenticateActionRetrieveDataRequest::Fields() {
  static constexpr record::Field<CloseAuthenticateActionRetrieveDataRequest> kFields[] = {
      record::Item<&CloseAuthenticateActionRetrieveDataRequest::authenticationId>(
          0x7B47, "authenticationId"),
      record::Item<&CloseAuthenticateActionRetrieveDataRequest::applicationId>(0x7B0C,
                                                                               "applicationId"),
      record::Item<&CloseAuthenticateActionRetrieveDataRequest::dataName>(0x7B0D, "dataName"),
      record::Item<&CloseAuthenticateActionRetrieveDataRequest::dataScope>(0x7B3A, "dataScope"),
      record::Item<&CloseAuthenticateActionRetrieveDataRequest::requestData>(0x7B0E, "requestData"),
      record::Item<&CloseAuthenticateActionRetrieveDataRequest::options>(0x7B81, "options"),
  };
  return kFields;
}

std::span<const record::Field<CloseAuthenticateActionRequest>>
CloseAuthenticateActionRequest::Fields() {
  static constexpr record::Field<CloseAuthenticateActionRequest> kFields[] = {
      record::Item<&CloseAuthenticateActionRequest::authenticationId>(0x7B47, "authenticationId"),
  };
  return kFields;
}

std::span<const record::Field<UnsetFactorRequest>> UnsetFactorRequest::Fields() {
  static constexpr record::Field<UnsetFactorRequest> kFields[] = {
      record::Item<&UnsetFactorRequest::authenticationId>(0x7B47, "authenticationId"),
  };
  return kFields;
}

std::span<const record::Field<SetNextFactorRequest>> SetNextFactorRequest::Fields() {
  static constexpr record::Field<SetNextFactorRequest> kFields[] = {
      record::Item<&SetNextFactorRequest::authenticationId>(0x7B47, "authenticationId"),
      record::Item<&SetNextFactorRequest::factorId>(0x7B14, "factorId"),
  };
  return kFields;
}

std::span<const record::Field<AuthenticateSetFactorRequest>>
AuthenticateSetFactorRequest::Fields() {
  static constexpr record::Field<AuthenticateSetFactorRequest> kFields[] = {
      record::Item<&AuthenticateSetFactorRequest::authenticationId>(0x7B47, "authenticationId"),
      record::Item<&AuthenticateSetFactorRequest::factorId>(0x7B14, "factorId"),
  };
  return kFields;
}

std::span<const record::Field<GetContAuthDataRequest>> GetContAuthDataRequest::Fields() {
  static constexpr record::Field<GetContAuthDataRequest> kFields[] = {
      record::Item<&GetContAuthDataRequest::user>(0x7B01, "user"),
      record::Item<&GetContAuthDataRequest::actionId>(0x7B02, "actionId"),
  };
  return kFields;
}

std::span<const record::Field<GetPolicyActionFactorsDataRequest>>
GetPolicyActionFactorsDataRequest::Fields() {
  static constexpr record::Field<GetPolicyActionFactorsDataRequest> kFields[] = {
      record::Item<&GetPolicyActionFactorsDataRequest::user>(0x7B01, "user"),
      record::Item<&GetPolicyActionFactorsDataRequest::actionId>(0x7B02, "actionId"),
  };
  return kFields;
}

std::span<const record::Field<SaveEnrollmentDataRequest>> SaveEnrollmentDataRequest::Fields() {
  static constexpr record::Field<SaveEnrollmentDataRequest> kFields[] = {
      record::Item<&SaveEnrollmentDataRequest::user>(0x7B01, "user"),
      record::Item<&SaveEnrollmentDataRequest::factorId>(0x7B14, "factorId"),
      record::Item<&SaveEnrollmentDataRequest::data>(0x7B05, "data"),
  };
  return kFields;
}

}  // namespace mfab

namespace AuthenticateFlows {

using mfab::Bytes;
namespace record = mfab::record;

std::span<const record::Field<AuthenticateFactorRequest>> AuthenticateFactorRequest::Fields() {
  static constexpr record::Field<AuthenticateFactorRequest> kFields[] = {
      record::Item<&AuthenticateFactorRequest::factorId>(0x7B04, "factorId"),
      record::Item<&AuthenticateFactorRequest::user>(0x7B01, "user"),
  };
  return kFields;
}

}  // namespace AuthenticateFlows
