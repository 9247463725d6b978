#pragma once

// The smart-card factor ("PhysicalSmartcard"): makes its enrollment and authentication flows
// with the parameters the mirrored policy gives the factor (smart_card_policy.h). Owned by the
// factor registry (shared with the flows that run it). Thread-safe.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "flows/factor.h"
#include "smartcard/smart_card_controller.h"
#include "smartcard/smart_card_exchange.h"
#include "smartcard/smart_card_policy.h"

namespace mfab {
class AuthenticateDataMirroring;
}  // namespace mfab

namespace SmartCardFactor {

class SmartCardFactor final : public Factors::Factor {
 public:
  // mirror and the services' references are borrowed and outlive the factor.
  SmartCardFactor(std::shared_ptr<SmartCardController> smartCardController,
                  mfab::AuthenticateDataMirroring& mirror, const SmartCardServices& services);

  // Null when the mirrored policy does not list the factor. Throws ReadMirrorDataException when
  // the mirror cannot be read.
  Flows::FlowPtr CreateEnrollmentFlow(uint32_t flowId, uint32_t ownerId,
                                      const std::string& user) override;
  Flows::FlowPtr CreateAuthenticateFlow(uint32_t flowId, uint32_t ownerId,
                                        const std::string& user) override;

 private:
  std::optional<SmartCardPolicy> ReadPolicy();

  const std::shared_ptr<SmartCardController> smartCard;
  mfab::AuthenticateDataMirroring& mirror;
  const SmartCardServices services;
};

}  // namespace SmartCardFactor
