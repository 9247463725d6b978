#include "smartcard/smart_card_authenticate_flow.h"

#include <algorithm>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "common/exceptions.h"
#include "common/status.h"
#include "log/logger.h"
#include "platform/clock.h"
#include "smartcard/exceptions.h"
#include "smartcard/smart_card_user_store.h"

namespace SmartCardFactor {
namespace {

using Step = Flows::Step<SmartCardAuthenticateFlow>;
using StepPtr = std::unique_ptr<Step>;

mfab::AuthenticateLogger& Log() { return mfab::AuthenticateLoggerService::Instance(); }

// The result that makes the factor authentication answer the applet negatively.
constexpr uint32_t kNotAuthenticated = 1;

// Whether a revocation check is due: never with a frequency of 0; otherwise when none is
// recorded or more than the frequency has passed since the last one.
bool RevocationCheckDue(SmartCardUserStore& store, const std::string& user, int32_t minutes,
                        int64_t now) {
  if (minutes <= 0) return false;
  const std::optional<uint64_t> last = store.ReadCrlCheck(user);
  if (!last) return true;
  return now - static_cast<int64_t>(*last) > static_cast<int64_t>(minutes) * 60;
}

}  // namespace

class SmartCardAuthenticateFlow::CreateChallengeStep final : public Step {
 public:
  using Step::Step;
  const char* ClassName() const override {
    return "SmartCardFactor::SmartCardAuthenticateFlow::CreateChallengeStep";
  }
  void Run() override {
    flow.challenge = RequestChallenge(flow.services.host, flow.user, flow.flowId);
  }
  StepPtr NextStep() override;
};

class SmartCardAuthenticateFlow::SendChallengeStep final : public Step {
 public:
  using Step::Step;
  const char* ClassName() const override {
    return "SmartCardFactor::SmartCardAuthenticateFlow::SendChallengeStep";
  }
  void Run() override {
    SmartCardUserStore store(flow.services.registry);
    std::optional<mfab::Bytes> stored = store.ReadP7bBlob(flow.user);
    if (!stored) {
      KS_LOG(Log(), mfab::kLogError, "FLOW-STEP", "Failed reading p7b blob from registry");
      throw std::runtime_error("can't find p7b blob");
    }
    flow.bundle = std::move(*stored);
    const int64_t now = flow.services.clock.UnixSeconds();
    const bool checkRevocation = RevocationCheckDue(store, flow.user, flow.crlCheckFrequency, now);
    CertificateStore::ISmartCardCertificates& certificates = flow.controller->Certificates();
    certificates.VerifiedCertificateChain(flow.bundle, flow.challenge.text5D, checkRevocation);
    const std::optional<CertificateStore::ContainerLocation> container =
        certificates.FindContainer(flow.policy.readerName, flow.bundle);
    if (!container) {
      throw CertificateStore::SmartCardNotAvailableException(
          "The enrolled smart card is not present");
    }
    flow.signature = Sign(*container);
    if (!checkRevocation) return;
    try {
      store.WriteCrlCheck(flow.user, static_cast<uint64_t>(now));
    } catch (const std::system_error& e) {
      KS_LOG(Log(), mfab::kLogInfo, "FLOW-STEP", "Failed to save crlCheck error %x",
             static_cast<unsigned>(e.code().value()));
    }
  }
  StepPtr NextStep() override;

 private:
  mfab::Bytes Sign(const CertificateStore::ContainerLocation& container) {
    CertificateStore::ISmartCardCertificates& certificates = flow.controller->Certificates();
    const CallbackTarget target = TargetOf(flow.flowId, flow.ownerId, flow.user);
    if (!certificates.IsPinNeeded(container)) {
      return certificates.SignNonce(container, std::nullopt, flow.challenge.nonce);
    }
    if (!flow.policy.allowPinReplay) {
      return flow.controller->Send(SignRequest{target, flow.challenge.nonce, flow.challenge.text5D},
                                   flow.StopToken());
    }
    // The PIN is asked for here and forgotten when this step ends: it never outlives the flow.
    while (true) {
      std::string pin =
          flow.controller->Send(PinRequest{target, flow.pinAttempts + 1}, flow.StopToken());
      try {
        mfab::Bytes cardSignature = certificates.SignNonce(container, pin, flow.challenge.nonce);
        std::fill(pin.begin(), pin.end(), '\0');
        return cardSignature;
      } catch (const CertificateStore::SmartPinError& e) {
        std::fill(pin.begin(), pin.end(), '\0');
        ++flow.pinAttempts;
        KS_LOG(Log(), mfab::kLogWarning, "FLOW-STEP", "The card refused the PIN (%s), attempt %d",
               e.what(), flow.pinAttempts);
        if (flow.pinAttempts >= flow.services.options.maxPinAttempts) {
          throw mfab::AuthenticationErrorException("The card refused the PIN");
        }
      }
    }
  }
};

class SmartCardAuthenticateFlow::VerifyChallengeCompleteStep final : public Step {
 public:
  using Step::Step;
  const char* ClassName() const override {
    return "SmartCardFactor::SmartCardAuthenticateFlow::VerifyChallengeCompleteStep";
  }
  void Run() override {
    if (ValidateChallenge(flow.services.host, flow.signature, flow.user, flow.flowId) == 0) {
      flow.result = keystone::kStatusSuccess;
      return;
    }
    flow.result = kNotAuthenticated;
    throw std::runtime_error("challenge validation failed");
  }
  StepPtr NextStep() override { return nullptr; }
};

StepPtr SmartCardAuthenticateFlow::CreateChallengeStep::NextStep() {
  return std::make_unique<SendChallengeStep>(flow);
}

StepPtr SmartCardAuthenticateFlow::SendChallengeStep::NextStep() {
  return std::make_unique<VerifyChallengeCompleteStep>(flow);
}

SmartCardAuthenticateFlow::SmartCardAuthenticateFlow(
    uint32_t flowIdValue, uint32_t ownerIdValue, std::string userSid,
    SmartCardPolicy smartCardPolicy, std::shared_ptr<SmartCardController> smartCardController,
    const SmartCardServices& smartCardServices)
    : FactorFlow(flowIdValue, ownerIdValue),
      controller(std::move(smartCardController)),
      services(smartCardServices),
      user(std::move(userSid)),
      policy(std::move(smartCardPolicy)),
      crlCheckFrequency(policy.crlCheckFrequency),
      result(keystone::kStatusGeneralFailure) {}

void SmartCardAuthenticateFlow::RecordFailure(const mfab::MfaException& e) {
  result = static_cast<uint32_t>(e.ErrorCode());
}

std::unique_ptr<Flows::Step<SmartCardAuthenticateFlow>>
SmartCardAuthenticateFlow::CreateFirstStep() {
  return std::make_unique<CreateChallengeStep>(*this);
}

}  // namespace SmartCardFactor
