#include "flows/authenticate_factor_flow.h"

#include <stop_token>
#include <utility>

#include "common/exceptions.h"
#include "flows/factor_registry.h"
#include "tlv/client_messages.h"
#include "tlv/host_messages.h"
#include "tlv/message_types.h"

namespace AuthenticateFlows {

class AuthenticateFactorFlow::GetFactorData final : public Flows::Step<AuthenticateFactorFlow> {
 public:
  using Step::Step;
  const char* ClassName() const override {
    return "AuthenticateFlows::AuthenticateFactorFlow::GetFactorData";
  }

  void Run() override {
    flow.factor = flow.services.factors.GetFactor(flow.factorId);
    if (!flow.factor) throw mfab::InvalidInputException("Invalid factor");
  }

  std::unique_ptr<Flows::Step<AuthenticateFactorFlow>> NextStep() override;
};

class AuthenticateFactorFlow::RunSpecificFactorFlow final
    : public Flows::Step<AuthenticateFactorFlow> {
 public:
  using Step::Step;
  const char* ClassName() const override {
    return "AuthenticateFlows::AuthenticateFactorFlow::RunSpecificFactorFlow";
  }

  void Run() override {
    Flows::FlowPtr factorFlow =
        flow.factor->CreateAuthenticateFlow(flow.flowId, flow.ownerId, flow.user);
    uint32_t executed = Flows::kExecuteNotStarted;
    if (factorFlow) {
      std::stop_callback cancelFactor(flow.StopToken(), [&factorFlow] { factorFlow->Cancel(); });
      executed = factorFlow->Execute(flow.services.options.factorAuthenticationLimit);
    }
    if (executed == Flows::kExecuteFinished && factorFlow->Result() != 0) {
      throw mfab::AuthenticationErrorException("");
    }
    flow.SetAnswer(0);
    if (executed == Flows::kExecuteNotStarted) throw mfab::GeneralException("");
    if (executed == Flows::kExecuteTimedOut) {
      throw mfab::AuthenticationErrorException("Factor timed out ");
    }
  }

  std::unique_ptr<Flows::Step<AuthenticateFactorFlow>> NextStep() override { return nullptr; }
};

std::unique_ptr<Flows::Step<AuthenticateFactorFlow>>
AuthenticateFactorFlow::GetFactorData::NextStep() {
  return std::make_unique<RunSpecificFactorFlow>(flow);
}

AuthenticateFactorFlow::AuthenticateFactorFlow(const mfab::Message& request, uint32_t ownerIdValue,
                                               const mfab::FlowServices& flowServices)
    : BaseFlow(request.sessionId, ownerIdValue),
      services(flowServices),
      requestModule(request.moduleId) {
  AuthenticateFactorRequest decoded;
  decoded.Deserialize(request.payload);
  factorId = std::move(decoded.factorId);
  user = std::move(decoded.user);
}

void AuthenticateFactorFlow::SetAnswer(int32_t value) {
  mfab::BooleanResponse response;
  response.result = value;
  answer = mfab::Message();
  answer.moduleId = requestModule;
  answer.messageType = mfab::message_type::kFactorResultResponse;
  answer.category = 0;
  answer.payload = response.Serialize();
  answer.sessionId = flowId;
}

void AuthenticateFactorFlow::RecordFailure(const mfab::MfaException& /*e*/) { SetAnswer(1); }

std::unique_ptr<Flows::Step<AuthenticateFactorFlow>> AuthenticateFactorFlow::CreateFirstStep() {
  return std::make_unique<GetFactorData>(*this);
}

}  // namespace AuthenticateFlows
