#include "smartcard/smart_card_enrollment_flow.h"

#include <utility>

#include "common/exceptions.h"
#include "common/status.h"
#include "log/logger.h"
#include "smartcard/exceptions.h"
#include "smartcard/smart_card_user_store.h"
#include "tlv/host_messages.h"
#include "tlv/message_types.h"

namespace SmartCardFactor {
namespace {

using Step = Flows::Step<SmartCardEnrollmentFlow>;
using StepPtr = std::unique_ptr<Step>;

mfab::AuthenticateLogger& Log() { return mfab::AuthenticateLoggerService::Instance(); }

constexpr char kChallengeFailed[] = "Challenge response failed";

// Overwrites the PIN's bytes before they are freed.
void Forget(std::optional<std::string>& pin) {
  if (!pin) return;
  volatile char* bytes = pin->data();
  for (size_t i = 0; i < pin->size(); ++i) bytes[i] = 0;
  pin.reset();
}

}  // namespace

class SmartCardEnrollmentFlow::GetCertificateStep final : public Step {
 public:
  using Step::Step;
  const char* ClassName() const override {
    return "SmartCardFactor::SmartCardEnrollmentFlow::GetCertificateStep";
  }
  void Run() override {
    CertificateStore::ISmartCardCertificates& certificates = flow.controller->Certificates();
    certificates.OpenStorageProvider();
    flow.card = certificates.GetEnrollmentData(flow.policy.Inputs());
    flow.certificateSha1 =
        certificates.GetCertificateThumbprint({flow.card.readerName, flow.card.containerName});
  }
  StepPtr NextStep() override;
};

class SmartCardEnrollmentFlow::GetPinStep final : public Step {
 public:
  using Step::Step;
  const char* ClassName() const override {
    return "SmartCardFactor::SmartCardEnrollmentFlow::GetPinStep";
  }
  void Run() override {
    Forget(flow.pin);
    std::string entered = flow.controller->Send(
        PinRequest{TargetOf(flow.flowId, flow.ownerId, flow.user), flow.pinAttempts + 1},
        flow.StopToken());
    if (entered.empty()) throw mfab::EnrollmentError("No PIN was entered");
    flow.pin = std::move(entered);
  }
  StepPtr NextStep() override;
};

class SmartCardEnrollmentFlow::AppletVerifyChainStep final : public Step {
 public:
  using Step::Step;
  const char* ClassName() const override {
    return "SmartCardFactor::SmartCardEnrollmentFlow::AppletVerifyChainStep";
  }
  void Run() override {
    SmartCardDataForEnrollment data;
    data.certificateBundle = flow.card.p7bBundle;
    data.text5B = flow.card.readerName;
    data.text5D = flow.certificateSha1;
    data.user = flow.user;
    data.value5F = flow.card.pinNeeded ? 1 : 0;
    const mfab::Message reply =
        SendToApplet(flow.services.host, mfab::message_type::kSmartCardDataForEnrollment,
                     data.Serialize(), flow.flowId);
    if (reply.messageType != mfab::message_type::kSmartCardDataForEnrollment) return;
    mfab::BooleanResponse verdict;
    verdict.result = kNoAnswer;
    verdict.Deserialize(reply.payload);
    if (verdict.result != 0)
      throw mfab::EnrollmentError("The applet refused the certificate chain");
  }
  StepPtr NextStep() override;
};

class SmartCardEnrollmentFlow::CreateChallengeStep final : public Step {
 public:
  using Step::Step;
  const char* ClassName() const override {
    return "SmartCardFactor::SmartCardEnrollmentFlow::CreateChallengeStep";
  }
  void Run() override {
    flow.challenge = RequestChallenge(flow.services.host, flow.user, flow.flowId);
  }
  StepPtr NextStep() override;
};

class SmartCardEnrollmentFlow::SendChallengeStep final : public Step {
 public:
  using Step::Step;
  const char* ClassName() const override {
    return "SmartCardFactor::SmartCardEnrollmentFlow::SendChallengeStep";
  }
  void Run() override {
    try {
      flow.signature = Sign();
    } catch (const CertificateStore::SmartPinError& e) {
      ++flow.pinAttempts;
      KS_LOG(Log(), mfab::kLogWarning, "FLOW-STEP", "The card refused the PIN (%s), attempt %d",
             e.what(), flow.pinAttempts);
      if (flow.pinAttempts >= flow.services.options.maxPinAttempts) {
        throw mfab::EnrollmentError(kChallengeFailed);
      }
      retry = true;
    } catch (const std::exception& e) {
      KS_LOG(Log(), mfab::kLogError, "FLOW-STEP", "Signing the challenge failed (%s)", e.what());
      throw mfab::EnrollmentError(kChallengeFailed);
    }
  }
  StepPtr NextStep() override;

 private:
  mfab::Bytes Sign() {
    if (flow.card.pinNeeded && (!flow.policy.allowPinReplay || !flow.pin)) {
      return flow.controller->Send(SignRequest{TargetOf(flow.flowId, flow.ownerId, flow.user),
                                               flow.challenge.nonce, flow.certificateSha1},
                                   flow.StopToken());
    }
    return flow.controller->Certificates().SignNonce(
        {flow.card.readerName, flow.card.containerName}, flow.pin, flow.challenge.nonce);
  }

  bool retry = false;
};

class SmartCardEnrollmentFlow::VerifyChallengeCompleteStep final : public Step {
 public:
  using Step::Step;
  const char* ClassName() const override {
    return "SmartCardFactor::SmartCardEnrollmentFlow::VerifyChallengeCompleteStep";
  }
  void Run() override {
    if (ValidateChallenge(flow.services.host, flow.signature, flow.user, flow.flowId) != 0) {
      throw mfab::EnrollmentError(kChallengeFailed);
    }
    flow.result = keystone::kStatusSuccess;
  }
  StepPtr NextStep() override;
};

class SmartCardEnrollmentFlow::SaveDataInRegistryStep final : public Step {
 public:
  using Step::Step;
  const char* ClassName() const override {
    return "SmartCardFactor::SmartCardEnrollmentFlow::SaveDataInRegistryStep";
  }
  void Run() override {
    try {
      SmartCardUserStore(flow.services.registry).WriteP7bBlob(flow.user, flow.card.p7bBundle);
    } catch (const std::system_error& e) {
      // Without the bundle the user could never authenticate: the enrollment must not count.
      KS_LOG(Log(), mfab::kLogError, "FLOW-STEP", "Failed to save p7b blob error %x",
             static_cast<unsigned>(e.code().value()));
      throw mfab::EnrollmentError("Failed to save p7b blob");
    }
  }
  StepPtr NextStep() override { return nullptr; }
};

StepPtr SmartCardEnrollmentFlow::GetCertificateStep::NextStep() {
  if (flow.policy.allowPinReplay && flow.card.pinNeeded) return std::make_unique<GetPinStep>(flow);
  return std::make_unique<AppletVerifyChainStep>(flow);
}

StepPtr SmartCardEnrollmentFlow::GetPinStep::NextStep() {
  return std::make_unique<AppletVerifyChainStep>(flow);
}

StepPtr SmartCardEnrollmentFlow::AppletVerifyChainStep::NextStep() {
  return std::make_unique<CreateChallengeStep>(flow);
}

StepPtr SmartCardEnrollmentFlow::CreateChallengeStep::NextStep() {
  return std::make_unique<SendChallengeStep>(flow);
}

StepPtr SmartCardEnrollmentFlow::SendChallengeStep::NextStep() {
  if (retry) return std::make_unique<GetPinStep>(flow);
  return std::make_unique<VerifyChallengeCompleteStep>(flow);
}

StepPtr SmartCardEnrollmentFlow::VerifyChallengeCompleteStep::NextStep() {
  return std::make_unique<SaveDataInRegistryStep>(flow);
}

SmartCardEnrollmentFlow::SmartCardEnrollmentFlow(
    uint32_t flowIdValue, uint32_t ownerIdValue, std::string userSid,
    SmartCardPolicy smartCardPolicy, std::shared_ptr<SmartCardController> smartCardController,
    const SmartCardServices& smartCardServices)
    : FactorFlow(flowIdValue, ownerIdValue),
      controller(std::move(smartCardController)),
      services(smartCardServices),
      policy(std::move(smartCardPolicy)),
      user(std::move(userSid)),
      result(keystone::kStatusGeneralFailure) {}

SmartCardEnrollmentFlow::~SmartCardEnrollmentFlow() {
  // The steps may still run until the base waits for them; the PIN goes after that.
  WaitForSteps();
  Forget(pin);
}

void SmartCardEnrollmentFlow::RecordFailure(const mfab::MfaException& e) {
  result = static_cast<uint32_t>(e.ErrorCode());
}

std::unique_ptr<Flows::Step<SmartCardEnrollmentFlow>> SmartCardEnrollmentFlow::CreateFirstStep() {
  return std::make_unique<GetCertificateStep>(*this);
}

}  // namespace SmartCardFactor
