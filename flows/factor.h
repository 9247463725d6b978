#pragma once

// The factor abstraction through which the generic flows (enrollment, factor authentication)
// reach a concrete factor such as the smart card. A factor plugs in by deriving from
// Factors::Factor, giving it a controller, and having the composition root put it into the
// FactorRegistry.

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "flows/flow.h"

namespace Flows {

// Creates a factor's own flows. Each returns null when the mirrored policy does not list the
// factor. A returned flow is a FactorFlow: the generic flow runs it with Execute and then reads
// its Result() (0 for success, otherwise the status it ended with). Thread-safe.
class FactorFlowFactory {
 public:
  virtual ~FactorFlowFactory() = default;

  // flowId and ownerId are those of the flow that runs the factor's flow; user is a SID text.
  virtual FlowPtr CreateEnrollmentFlow(uint32_t flowId, uint32_t ownerId,
                                       const std::string& user) = 0;
  virtual FlowPtr CreateAuthenticateFlow(uint32_t flowId, uint32_t ownerId,
                                         const std::string& user) = 0;
};

}  // namespace Flows

namespace Factors {

// What a factor can do on this machine. Thread-safe.
class FactorController {
 public:
  // IsSupported's answer: the first byte is 1 when the factor can run here, 0 otherwise; the
  // second byte is 0.
  using Support = std::array<uint8_t, 2>;

  virtual ~FactorController() = default;

  // The two capability queries; the flows here do not use them (the smart card answers true).
  virtual bool CanEnroll() = 0;
  virtual bool CanAuthenticate() = 0;
  virtual Support IsSupported() = 0;
};

// The base of a concrete controller T.
template <typename T>
class ConcreteFactorController : public FactorController {};

// One authentication factor: its identifier (the policy's factor id, e.g. "PhysicalSmartcard")
// and its controller. Shared by the registry and the flows that run it.
class Factor : public Flows::FactorFlowFactory {
 public:
  Factor(std::string factorId, std::shared_ptr<FactorController> factorController)
      : id(std::move(factorId)), controller(std::move(factorController)) {}

  const std::string id;
  const std::shared_ptr<FactorController> controller;
};

}  // namespace Factors
