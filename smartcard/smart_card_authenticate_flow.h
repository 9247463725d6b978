#pragma once

// The smart card's own authentication, run when the applet asks for the factor (within the
// factor authentication's 30 s limit):
//
//   CreateChallengeStep          0xABBA007D: the applet's nonce and the enrolled certificate's
//                                SHA-1 thumbprint
//   SendChallengeStep            the user's p7bBlob ("can't find p7b blob" without one); the
//                                chain verified again, with revocation when CrlCheckFrequency
//                                minutes have passed since crlCheck; the nonce signed by the card
//                                holding the certificate, in the engine (no PIN needed, or
//                                AllowPinReplay and the PIN collected for this flow) or by the
//                                client; crlCheck = now after a revocation check passed
//   VerifyChallengeCompleteStep  0xABBA007E: 0 sets the result to 0; otherwise the result is 1
//                                and "challenge validation failed"
//
// The result starts as 0xA0000031; an MfaException that ends the chain leaves its code there.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "flows/base_flow.h"
#include "smartcard/smart_card_controller.h"
#include "smartcard/smart_card_exchange.h"
#include "smartcard/smart_card_policy.h"

namespace SmartCardFactor {

class SmartCardAuthenticateFlow final : public Flows::FactorFlow<SmartCardAuthenticateFlow> {
 public:
  static constexpr char kClassName[] = "SmartCardFactor::SmartCardAuthenticateFlow";

  // crlCheckFrequency in minutes; 0 never checks revocation.
  SmartCardAuthenticateFlow(uint32_t flowIdValue, uint32_t ownerIdValue, std::string userSid,
                            SmartCardPolicy smartCardPolicy,
                            std::shared_ptr<SmartCardController> smartCardController,
                            const SmartCardServices& smartCardServices);

  uint32_t Result() const override { return result; }
  void RecordFailure(const mfab::MfaException& e);

  class CreateChallengeStep;
  class SendChallengeStep;
  class VerifyChallengeCompleteStep;

 private:
  std::unique_ptr<Flows::Step<SmartCardAuthenticateFlow>> CreateFirstStep() override;

  const std::shared_ptr<SmartCardController> controller;
  const SmartCardServices services;
  const std::string user;
  mfab::Bytes bundle;
  const SmartCardPolicy policy;
  const int32_t crlCheckFrequency;
  SmartCardChallengeResponse challenge;
  int32_t pinAttempts = 0;
  mfab::Bytes signature;
  uint32_t result;
};

}  // namespace SmartCardFactor
