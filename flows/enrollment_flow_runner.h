#pragma once

#include <cstdint>
#include <string>

#include "common/client_identity.h"

namespace mfab {

// Runs a client's enrollment of a factor (RunEnrollmentFlowRpc). Thread-safe.
class IEnrollmentFlowRunner {
 public:
  virtual ~IEnrollmentFlowRunner() = default;

  // Enrolls factorId for user on behalf of client, whose session is sessionId. Returns the
  // enrollment's status: 0, the factor's own code, or the code of what ended the enrollment
  // (docs/flows.md). Blocks until the enrollment ended or its time limit passed. Never throws.
  virtual uint32_t RunEnrollmentFlow(uint32_t sessionId, const keystone::ClientIdentity& client,
                                     const std::string& user, const std::string& factorId) = 0;
};

}  // namespace mfab
