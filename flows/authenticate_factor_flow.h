#pragma once

// The applet asks the engine to authenticate a user with a host-side factor
// (AuthenticateFactorRequest, 0xABBA007B: 0x7B04 factor id, 0x7B01 user, both required). The flow
// runs the factor's own authentication flow and builds the answer for the applet: 0xABBA007C
// with the request's moduleId, category 0, sessionId = flowId and a BooleanResponse, 0 when the
// user was authenticated with the factor and 1 when not.
//
//   GetFactorData          "Invalid factor" when the registry (or the mirrored policy) lacks it
//   RunSpecificFactorFlow  the factor's flow within factorAuthenticationLimit: a non-zero result
//                          raises AuthenticationErrorException (empty text); otherwise the
//                          answer is "authenticated", then a flow that did not start raises
//                          GeneralException (empty text) and one that timed out
//                          AuthenticationErrorException "Factor timed out "
//
// Any MfaException turns the answer into "not authenticated"; another std::exception leaves it
// as it was (the default Message until a step built one).

#include <cstdint>
#include <memory>
#include <string>

#include "flows/base_flow.h"
#include "flows/factor.h"
#include "flows/flow_services.h"
#include "tlv/message.h"

namespace AuthenticateFlows {

class AuthenticateFactorFlow final : public Flows::BaseFlow<AuthenticateFactorFlow> {
 public:
  static constexpr char kClassName[] = "AuthenticateFlows::AuthenticateFactorFlow";

  // flowId is the request's sessionId; ownerId the session value the command handler passes.
  // Throws TlvException when the request's payload is not an AuthenticateFactorRequest.
  AuthenticateFactorFlow(const mfab::Message& request, uint32_t ownerIdValue,
                         const mfab::FlowServices& flowServices);

  // The message to send to the applet; read after Execute answered kExecuteFinished.
  const mfab::Message& Answer() const { return answer; }
  void RecordFailure(const mfab::MfaException& e);

  class GetFactorData;
  class RunSpecificFactorFlow;

 private:
  std::unique_ptr<Flows::Step<AuthenticateFactorFlow>> CreateFirstStep() override;
  // Makes the answer carry value (0 authenticated, 1 not).
  void SetAnswer(int32_t value);

  const mfab::FlowServices services;
  mfab::Message answer;
  std::shared_ptr<Factors::Factor> factor;
  std::string factorId;
  std::string user;
  const uint32_t requestModule;
};

}  // namespace AuthenticateFlows
