#include "service/smart_card_wiring.h"

#include "log/logger.h"

namespace mfab {

SmartCardWiring MakeSmartCardFactor(const SmartCardWiringServices& /*services*/) {
  // The factor itself (smartcard/smart_card_factor.h) is complete; the certificate handling over
  // PC/SC and PKCS#11 and the client callbacks over the callback sockets are not in this build.
  KS_LOG(AuthenticateLoggerService::Instance(), kLogWarning, "FLOW",
         "Smart-card factor not built in: no certificate handling or client callbacks");
  return SmartCardWiring{
      {},
      ComponentPresence{"smart_card", false, "no smart-card certificate handling in this build"}};
}

}  // namespace mfab
