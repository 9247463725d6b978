#include "flows/enrollment_flow.h"

#include <stop_token>
#include <utility>

#include "common/exceptions.h"
#include "engine/flow_host.h"
#include "flows/factor_registry.h"
#include "log/logger.h"
#include "storage/authenticate_data_mirroring.h"
#include "tlv/client_messages.h"
#include "tlv/host_messages.h"
#include "tlv/message.h"
#include "tlv/message_types.h"

namespace AuthenticateFlows {
namespace {

using mfab::kLogInfo;

mfab::AuthenticateLogger& Log() { return mfab::AuthenticateLoggerService::Instance(); }

// The envelope of SaveEnrollmentDataRequest.
constexpr uint32_t kEnrollmentDataModule = 13;
constexpr uint32_t kEnrollmentDataCategory = 2;
// BooleanResponse's value before the reply is read: neither yes nor no.
constexpr int32_t kNoAnswer = 6;
// The texts are the same whatever the factor.
constexpr char kFactorEnrollmentFailed[] = "Smart card enrollment failed";

}  // namespace

class EnrollmentFlow::GetFactorData final : public Flows::Step<EnrollmentFlow> {
 public:
  using Step::Step;
  const char* ClassName() const override {
    return "AuthenticateFlows::EnrollmentFlow::GetFactorData";
  }

  void Run() override {
    std::shared_ptr<Factors::Factor> found = flow.services.factors.GetFactor(flow.factorId);
    if (!found) throw mfab::InvalidInputException("Invalid factor");
    flow.factor = std::move(found);
    if (!flow.factor->controller || flow.factor->controller->IsSupported()[0] == 0) {
      throw mfab::UnsupportedFactorException("factor is not supported!");
    }
    // Read under the policy-mirror lock, for the read only.
    if (flow.services.mirror.GetEnrolledFactors(flow.user).count(flow.factorId) != 0) {
      throw mfab::AlreadyEnrolledException("factor is enrolled");
    }
  }

  std::unique_ptr<Flows::Step<EnrollmentFlow>> NextStep() override;
};

class EnrollmentFlow::RunSpecificFactorFlow final : public Flows::Step<EnrollmentFlow> {
 public:
  using Step::Step;
  const char* ClassName() const override {
    return "AuthenticateFlows::EnrollmentFlow::RunSpecificFactorFlow";
  }

  void Run() override {
    failed = false;
    if (!flow.factor) throw mfab::InvalidInputException("Invalid factor");
    Flows::FlowPtr factorFlow =
        flow.factor->CreateEnrollmentFlow(flow.flowId, flow.ownerId, flow.user);
    uint32_t executed = Flows::kExecuteNotStarted;
    if (factorFlow) {
      // A cancelled enrollment cancels the factor's flow too (a PIN prompt ends with it).
      std::stop_callback cancelFactor(flow.StopToken(), [&factorFlow] { factorFlow->Cancel(); });
      executed = factorFlow->Execute(flow.services.options.factorEnrollmentLimit);
    }
    if (executed == Flows::kExecuteNotStarted)
      throw mfab::GeneralException(kFactorEnrollmentFailed);
    if (executed == Flows::kExecuteTimedOut) throw mfab::EnrollmentError(kFactorEnrollmentFailed);
    const uint32_t factorResult = factorFlow->Result();
    if (factorResult != 0) {
      flow.result = factorResult;
      failed = true;
      KS_LOG(Log(), kLogInfo, "FLOW-STEP", "Enrollment result %X", factorResult);
    }
  }

  std::unique_ptr<Flows::Step<EnrollmentFlow>> NextStep() override;

 private:
  bool failed = true;
};

class EnrollmentFlow::StoreSecureData final : public Flows::Step<EnrollmentFlow> {
 public:
  using Step::Step;
  const char* ClassName() const override {
    return "AuthenticateFlows::EnrollmentFlow::StoreSecureData";
  }

  void Run() override {
    mfab::SaveEnrollmentDataRequest store;
    store.user = flow.user;
    store.factorId = flow.factorId;
    mfab::Message request;
    request.moduleId = kEnrollmentDataModule;
    request.messageType = mfab::message_type::kSaveEnrollmentDataRequest;
    request.category = kEnrollmentDataCategory;
    request.payload = store.Serialize();
    request.sessionId = flow.flowId;
    const mfab::Message reply =
        mfab::Message::Parse(flow.services.host.ExecuteMessageToApplet(request.Serialize()));
    if (reply.messageType != mfab::message_type::kSaveEnrollmentDataResponse) {
      throw mfab::GeneralException("Invalid message ");
    }
    mfab::BooleanResponse stored;
    stored.result = kNoAnswer;
    stored.Deserialize(reply.payload);
    if (stored.result != 0) throw mfab::EnrollmentError("Store secure data failed");
    flow.result = 0;
  }

  std::unique_ptr<Flows::Step<EnrollmentFlow>> NextStep() override { return nullptr; }
};

std::unique_ptr<Flows::Step<EnrollmentFlow>> EnrollmentFlow::GetFactorData::NextStep() {
  return std::make_unique<RunSpecificFactorFlow>(flow);
}

std::unique_ptr<Flows::Step<EnrollmentFlow>> EnrollmentFlow::RunSpecificFactorFlow::NextStep() {
  // A factor that reported its own result ends the enrollment with it.
  if (failed) return nullptr;
  return std::make_unique<StoreSecureData>(flow);
}

EnrollmentFlow::EnrollmentFlow(uint32_t flowIdValue, uint32_t ownerIdValue, std::string userSid,
                               std::string factorIdValue, const mfab::FlowServices& flowServices)
    : ExternalApiFlow(flowIdValue, ownerIdValue, flowServices.clientFlows),
      services(flowServices),
      user(std::move(userSid)),
      factorId(std::move(factorIdValue)) {}

void EnrollmentFlow::RecordFailure(const mfab::MfaException& e) {
  result = static_cast<uint32_t>(e.ErrorCode());
}

std::unique_ptr<Flows::Step<EnrollmentFlow>> EnrollmentFlow::CreateFirstStep() {
  return std::make_unique<GetFactorData>(*this);
}

}  // namespace AuthenticateFlows
