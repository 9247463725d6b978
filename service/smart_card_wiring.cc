#include "service/smart_card_wiring.h"

#include <exception>

#include "log/logger.h"
#include "platform/accounts.h"
#include "rpc/server_to_client.h"
#include "smartcard/certificates.h"
#include "smartcard/smart_card_controller.h"
#include "smartcard/smart_card_exchange.h"
#include "smartcard/smart_card_factor.h"

namespace mfab {

SmartCardWiring MakeSmartCardFactor(const SmartCardWiringServices& services) {
  try {
    // The certificate handling loads its reader service and module on first use, so a machine
    // without either still registers the factor and each flow reports what is missing.
    auto controller = std::make_shared<SmartCardFactor::SmartCardController>(
        CertificateStore::CreateSmartCardCertificates(services.registry),
        std::make_shared<rpc::ClientCallbacks>(platform::SystemAccounts()), services.osVersion);
    std::shared_ptr<Factors::Factor> factor = std::make_shared<SmartCardFactor::SmartCardFactor>(
        controller, services.mirror,
        SmartCardFactor::SmartCardServices{services.flowHost, services.registry, services.clock,
                                           {}});
    return SmartCardWiring{{factor}, ComponentPresence{"smart_card", true, ""}};
  } catch (const std::exception& e) {
    KS_LOG(AuthenticateLoggerService::Instance(), kLogError, "FLOW",
           "Smart-card factor not available: %s", e.what());
    return SmartCardWiring{{}, ComponentPresence{"smart_card", false, e.what()}};
  }
}

}  // namespace mfab
