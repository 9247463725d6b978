#pragma once

#include <chrono>
#include <cstdint>

#include "tlv/message.h"
#include "tlv/tlv.h"

namespace mfab {

// Runs the factor-authentication flow the applet asks for.
class IFactorFlowRunner {
 public:
  virtual ~IFactorFlowRunner() = default;
  // Runs the flow on request for at most limit. Returns 0 with answer set to the message the
  // flow built, 1 when it timed out, 2 when it could not start, anything else for no answer.
  virtual int32_t RunFactorFlow(const Message& request, std::chrono::seconds limit,
                                Bytes& answer) = 0;
};

}  // namespace mfab
