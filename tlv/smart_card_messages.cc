#include "tlv/smart_card_messages.h"

namespace SmartCardFactor {

using mfab::Bytes;
namespace record = mfab::record;

std::span<const record::Field<SmartCardChallengeRequest>> SmartCardChallengeRequest::Fields() {
  static constexpr record::Field<SmartCardChallengeRequest> kFields[] = {
      record::Item<&SmartCardChallengeRequest::user>(0x7B01, "user"),
  };
  return kFields;
}

std::span<const record::Field<SmartCardChallengeResponse>> SmartCardChallengeResponse::Fields() {
  static constexpr record::Field<SmartCardChallengeResponse> kFields[] = {
      record::Item<&SmartCardChallengeResponse::nonce>(0x7B0E, "nonce"),
      record::Item<&SmartCardChallengeResponse::text5D>(0x7B5D, "text5D"),
      record::Item<&SmartCardChallengeResponse::text5B>(0x7B5B, "text5B"),
      record::Item<&SmartCardChallengeResponse::value5F>(0x7B5F, "value5F"),
  };
  return kFields;
}

std::span<const record::Field<SmartCardDataForEnrollment>> SmartCardDataForEnrollment::Fields() {
  static constexpr record::Field<SmartCardDataForEnrollment> kFields[] = {
      record::Item<&SmartCardDataForEnrollment::certificateBundle>(0x7B5C, "certificateBundle",
                                                                   record::Presence::kOptional),
      record::Item<&SmartCardDataForEnrollment::text5B>(0x7B5B, "text5B"),
      record::Item<&SmartCardDataForEnrollment::text5D>(0x7B5D, "text5D"),
      record::Item<&SmartCardDataForEnrollment::user>(0x7B01, "user"),
      record::Item<&SmartCardDataForEnrollment::value5F>(0x7B5F, "value5F"),
  };
  return kFields;
}

}  // namespace SmartCardFactor

using mfab::Bytes;
namespace record = mfab::record;

std::span<const record::Field<ValidateChallengeResponseRequest>>
ValidateChallengeResponseRequest::Fields() {
  static constexpr record::Field<ValidateChallengeResponseRequest> kFields[] = {
      record::Item<&ValidateChallengeResponseRequest::signature>(0x7B0E, "signature"),
      record::Item<&ValidateChallengeResponseRequest::user>(0x7B01, "user"),
  };
  return kFields;
}
