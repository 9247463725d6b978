#include "smartcard/smart_card_factor.h"

#include <utility>

#include "smartcard/smart_card_authenticate_flow.h"
#include "smartcard/smart_card_enrollment_flow.h"
#include "storage/authenticate_data_mirroring.h"

namespace SmartCardFactor {

SmartCardFactor::SmartCardFactor(std::shared_ptr<SmartCardController> smartCardController,
                                 mfab::AuthenticateDataMirroring& mirrorToRead,
                                 const SmartCardServices& smartCardServices)
    : Factor(kFactorId, smartCardController),
      smartCard(std::move(smartCardController)),
      mirror(mirrorToRead),
      services(smartCardServices) {}

std::optional<SmartCardPolicy> SmartCardFactor::ReadPolicy() {
  const mfab::MirrorView view = mirror.ReadView("", false);
  const auto entry = view.factors.factors.find(kFactorId);
  if (entry == view.factors.factors.end()) return std::nullopt;
  return ParseSmartCardPolicy(entry->second.parameters);
}

Flows::FlowPtr SmartCardFactor::CreateEnrollmentFlow(uint32_t flowId, uint32_t ownerId,
                                                     const std::string& user) {
  std::optional<SmartCardPolicy> policy = ReadPolicy();
  if (!policy) return nullptr;
  return Flows::MakeFlow<SmartCardEnrollmentFlow>(flowId, ownerId, user, std::move(*policy),
                                                  smartCard, services);
}

Flows::FlowPtr SmartCardFactor::CreateAuthenticateFlow(uint32_t flowId, uint32_t ownerId,
                                                       const std::string& user) {
  std::optional<SmartCardPolicy> policy = ReadPolicy();
  if (!policy) return nullptr;
  return Flows::MakeFlow<SmartCardAuthenticateFlow>(flowId, ownerId, user, std::move(*policy),
                                                    smartCard, services);
}

}  // namespace SmartCardFactor
