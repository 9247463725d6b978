#include "tools/keystonectl/status_text.h"

#include "common/status.h"
#include "flows/flow.h"

namespace keystonectl {

const char* StatusName(uint32_t status) {
  switch (status) {
    case keystone::kStatusSuccess: return "success";
    case keystone::kStatusGeneralFailure: return "general failure (see the engine's log)";
    case keystone::kStatusInvalidParameter: return "invalid parameter";
    case keystone::kStatusBufferTooSmall: return "output buffer too small";
    case keystone::kStatusAlreadyEnrolled: return "already enrolled";
    case keystone::kStatusEnrollmentError: return "enrollment error";
    case keystone::kStatusPolicyNotSet: return "no policy is set";
    case keystone::kStatusAuthenticationError: return "authentication error";
    case keystone::kStatusFactorNotSupported: return "factor not supported";
    case keystone::kStatusAttestationFailure: return "attestation client failure";
    case keystone::kStatusSmartCardNotAvailable: return "smart card not available";
    case keystone::kStatusSmartCardReaderNotAvailable:
      return "reader not available or certificate verification failed";
    case keystone::kStatusCertificateUnavailable: return "certificate unavailable";
    case keystone::kStatusSmartCardGeneralError: return "smart-card general error";
    case Flows::kResultUnset: return "unspecified failure (the flow decided nothing)";
    default: return "unknown status";
  }
}

}  // namespace keystonectl
