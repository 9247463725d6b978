#pragma once

// Where the composition root builds the smart-card factor ("PhysicalSmartcard") over the
// certificate handling of this machine's readers and module and the RPC layer's client callbacks.

#include <memory>
#include <vector>

#include "flows/factor.h"
#include "service/engine_status.h"

namespace mfab {
class AuthenticateDataMirroring;
class IFlowHost;
}  // namespace mfab

namespace platform {
class Clock;
class OsVersion;
class Registry;
}  // namespace platform

namespace mfab {

// What the factor works with; every reference outlives the factor (the composition root owns
// them all).
struct SmartCardWiringServices {
  platform::Registry& registry;
  AuthenticateDataMirroring& mirror;
  IFlowHost& flowHost;
  const platform::Clock& clock;
  platform::OsVersion& osVersion;
};

struct SmartCardWiring {
  // What the factor registry gets: the smart-card factor, or nothing.
  std::vector<std::shared_ptr<Factors::Factor>> factors;
  // The health view's "smart_card" line.
  ComponentPresence presence;
};

// Builds the smart-card factor; when that fails, logs why and the registry gets no factor.
// Never throws.
SmartCardWiring MakeSmartCardFactor(const SmartCardWiringServices& services);

}  // namespace mfab
