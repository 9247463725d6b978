#pragma once

// The smart card's own enrollment, run from the client's enrollment (within its 40 s limit):
//
//   GetCertificateStep          open the card storage; find the certificate the policy trusts
//                               (its reader, container, chain, bundle, PIN need)
//   GetPinStep                  (AllowPinReplay and a PIN is needed, or the card refused one)
//                               the PIN from the client
//   AppletVerifyChainStep       0xABBA007F: the applet checks the chain; non-zero:
//                               EnrollmentError
//   CreateChallengeStep         0xABBA007D: the applet's nonce
//   SendChallengeStep           the nonce signed by the card, in the engine (no PIN needed, or
//                               the PIN collected here) or by the client; a refused PIN goes
//                               back to GetPinStep; other failures: EnrollmentError "Challenge
//                               response failed"
//   VerifyChallengeCompleteStep 0xABBA007E: 0 sets the result to 0, else EnrollmentError
//                               "Challenge response failed"
//   SaveDataInRegistryStep      the bundle as p7bBlob under the user's key
//
// The result starts as 0xA0000031; an MfaException that ends the chain leaves its code there.
// The PIN lives only as long as the flow.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "flows/base_flow.h"
#include "smartcard/certificates.h"
#include "smartcard/smart_card_controller.h"
#include "smartcard/smart_card_exchange.h"
#include "smartcard/smart_card_policy.h"

namespace SmartCardFactor {

class SmartCardEnrollmentFlow final : public Flows::FactorFlow<SmartCardEnrollmentFlow> {
 public:
  static constexpr char kClassName[] = "SmartCardFactor::SmartCardEnrollmentFlow";

  SmartCardEnrollmentFlow(uint32_t flowIdValue, uint32_t ownerIdValue, std::string userSid,
                          SmartCardPolicy smartCardPolicy,
                          std::shared_ptr<SmartCardController> smartCardController,
                          const SmartCardServices& smartCardServices);
  ~SmartCardEnrollmentFlow() override;

  uint32_t Result() const override { return result; }
  void RecordFailure(const mfab::MfaException& e);

  class GetCertificateStep;
  class GetPinStep;
  class AppletVerifyChainStep;
  class CreateChallengeStep;
  class SendChallengeStep;
  class VerifyChallengeCompleteStep;
  class SaveDataInRegistryStep;

 private:
  std::unique_ptr<Flows::Step<SmartCardEnrollmentFlow>> CreateFirstStep() override;

  const std::shared_ptr<SmartCardController> controller;
  const SmartCardServices services;
  CertificateStore::EnrollmentData card;
  std::string certificateSha1;
  const SmartCardPolicy policy;
  const std::string user;
  SmartCardChallengeResponse challenge;
  std::optional<std::string> pin;
  int32_t pinAttempts = 0;
  mfab::Bytes signature;
  uint32_t result;
};

}  // namespace SmartCardFactor
