#pragma once

#include <chrono>
#include <cstdint>

#include "tlv/message.h"
#include "tlv/tlv.h"

namespace mfab {

// Runs the factor-authentication flow the applet asks for (its request 0xABBA007B). Thread-safe.
class IFactorFlowRunner {
 public:
  virtual ~IFactorFlowRunner() = default;

  // Runs the flow on request for at most limit; ownerId is the value the flow's factor may use to
  // reach the client (the requesting client's process id). Returns 0 with answer set to the
  // message the flow built, 1 when it timed out, 2 when it could not start (or was stopped
  // before it decided), anything else for no answer. Blocks for at most limit, plus the step
  // that still runs at the limit. Never throws.
  virtual int32_t RunFactorFlow(const Message& request, uint32_t ownerId,
                                std::chrono::milliseconds limit, Bytes& answer) = 0;
};

}  // namespace mfab
