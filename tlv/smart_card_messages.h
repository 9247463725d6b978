#pragma once

// The smart-card factor's applet messages (moduleId 14, category 2). Wire layout in docs/tlv.md.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "tlv/record.h"
#include "tlv/tlv.h"

namespace SmartCardFactor {

// Asks the applet for a challenge (0xABBA007D, moduleId 14, category 2); layout of
// NeedUserDataRequest.
class SmartCardChallengeRequest final : public mfab::record::Base<SmartCardChallengeRequest> {
 public:
  std::string user;  // 0x7B01

  static std::span<const mfab::record::Field<SmartCardChallengeRequest>> Fields();
};

// The applet's challenge. 0x7B5B, 0x7B5D and 0x7B5F identify the card and key; the factor assigns
// them.
class SmartCardChallengeResponse final : public mfab::record::Base<SmartCardChallengeResponse> {
 public:
  mfab::Bytes nonce;   // 0x7B0E
  std::string text5D;  // 0x7B5D
  std::string text5B;  // 0x7B5B
  int32_t value5F{};   // 0x7B5F

  static std::span<const mfab::record::Field<SmartCardChallengeResponse>> Fields();
};

// The card data the applet checks before enrolling (0xABBA007F, moduleId 14, category 2).
class SmartCardDataForEnrollment final : public mfab::record::Base<SmartCardDataForEnrollment> {
 public:
  mfab::Bytes certificateBundle;  // 0x7B5C, optional; PKCS #7 chain
  std::string text5B;             // 0x7B5B
  std::string text5D;             // 0x7B5D
  std::string user;               // 0x7B01
  int32_t value5F{};              // 0x7B5F

  static std::span<const mfab::record::Field<SmartCardDataForEnrollment>> Fields();
};

}  // namespace SmartCardFactor

// The signed challenge (0xABBA007E, moduleId 14, category 2).
class ValidateChallengeResponseRequest final
    : public mfab::record::Base<ValidateChallengeResponseRequest> {
 public:
  mfab::Bytes signature;  // 0x7B0E
  std::string user;       // 0x7B01

  static std::span<const mfab::record::Field<ValidateChallengeResponseRequest>> Fields();
};
