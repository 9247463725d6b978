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

void SmartCardChallengeRequest::Deserialize(const uint8_t* begin, const uint8_t* end) {
  record::Read(*this, Fields(), begin, end);
}

Bytes SmartCardChallengeRequest::Serialize() const { return record::Write(*this, Fields()); }

std::span<const record::Field<SmartCardChallengeResponse>> SmartCardChallengeResponse::Fields() {
  static constexpr record::Field<SmartCardChallengeResponse> kFields[] = {
      record::Item<&SmartCardChallengeResponse::nonce>(0x7B0E, "nonce"),
      record::Item<&SmartCardChallengeResponse::text5D>(0x7B5D, "text5D"),
      record::Item<&SmartCardChallengeResponse::text5B>(0x7B5B, "text5B"),
      record::Item<&SmartCardChallengeResponse::value5F>(0x7B5F, "value5F"),
  };
  return kFields;
}

void SmartCardChallengeResponse::Deserialize(const uint8_t* begin, const uint8_t* end) {
  record::Read(*this, Fields(), begin, end);
}

Bytes SmartCardChallengeResponse::Serialize() const { return record::Write(*this, Fields()); }

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

void SmartCardDataForEnrollment::Deserialize(const uint8_t* begin, const uint8_t* end) {
  record::Read(*this, Fields(), begin, end);
}

Bytes SmartCardDataForEnrollment::Serialize() const { return record::Write(*this, Fields()); }

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

void ValidateChallengeResponseRequest::Deserialize(const uint8_t* begin, const uint8_t* end) {
  record::Read(*this, Fields(), begin, end);
}

Bytes ValidateChallengeResponseRequest::Serialize() const { return record::Write(*this, Fields()); }
