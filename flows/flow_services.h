#pragma once

#include <chrono>

namespace Factors {
class FactorRegistry;
}  // namespace Factors

namespace Flows {
class ClientFlowTable;
}  // namespace Flows

namespace mfab {

class AuthenticateDataMirroring;
class IFlowHost;

// The time limits of the enrollment and factor-authentication flows; tests shrink them. (The
// limit of the applet's factor-authentication request is the command handler's.)
struct FlowOptions {
  // A client's enrollment (RunEnrollmentFlowRpc).
  std::chrono::milliseconds enrollmentLimit{std::chrono::seconds(120)};
  // A factor's own enrollment flow, run from the enrollment.
  std::chrono::milliseconds factorEnrollmentLimit{std::chrono::seconds(40)};
  // A factor's own authentication flow, run from the factor authentication.
  std::chrono::milliseconds factorAuthenticationLimit{std::chrono::seconds(30)};
  // How long the flow runner's destruction waits for calls that still run a flow (they were
  // cancelled; each ends after its current step).
  std::chrono::milliseconds drainLimit{std::chrono::seconds(130)};
};

// What the generic flows work with; every reference is borrowed and outlives the flows.
struct FlowServices {
  Factors::FactorRegistry& factors;
  // The registry mirror: the user's enrolled factors.
  AuthenticateDataMirroring& mirror;
  IFlowHost& host;
  Flows::ClientFlowTable& clientFlows;
  FlowOptions options;
};

}  // namespace mfab
