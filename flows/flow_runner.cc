#include "flows/flow_runner.h"

#include <exception>
#include <utility>
#include <vector>

#include "common/status.h"
#include "flows/authenticate_factor_flow.h"
#include "flows/enrollment_flow.h"
#include "log/logger.h"
#include "platform/account_names.h"
#include "platform/accounts.h"
#include "tlv/message_types.h"

namespace mfab {
namespace {

AuthenticateLogger& Log() { return AuthenticateLoggerService::Instance(); }

// Longer than any SID the engine would be asked about; a longer text is not echoed to the log.
constexpr size_t kMaxUserLength = 256;

template <typename T>
std::shared_ptr<T> Shared(std::unique_ptr<T, Flows::FlowDeleter> flow) {
  return std::shared_ptr<T>(std::move(flow));
}

}  // namespace

// One call that runs a flow: counted while it lasts, and its flow (once made) cancelled with the
// others. Reserves the user for an enrollment. Destroying it destroys the flow outside the lock.
class FlowRunner::Admission {
 public:
  Admission(FlowRunner& owner, std::string enrollingUser)
      : runner(owner), user(std::move(enrollingUser)) {
    keystone::MutexLock lock(runner.mutex);
    if (runner.stopping) {
      refusal = "the engine is stopping";
      return;
    }
    if (!user.empty() && !runner.enrollingUsers.insert(user).second) {
      refusal = "an enrollment for this user is already running";
      return;
    }
    ++runner.calls;
    admitted = true;
  }

  ~Admission() {
    if (!admitted) return;
    {
      keystone::MutexLock lock(runner.mutex);
      if (flow) runner.running.erase(flow);
    }
    // May be the last owner: the flow's destruction waits for its step, without the lock.
    flow.reset();
    keystone::MutexLock lock(runner.mutex);
    if (!user.empty()) runner.enrollingUsers.erase(user);
    --runner.calls;
    runner.drained.notify_all();
  }

  Admission(const Admission&) = delete;
  Admission& operator=(const Admission&) = delete;

  bool Admitted() const { return admitted; }
  const char* Refusal() const { return refusal; }

  // Makes the flow one that CancelRunningFlows reaches; cancels it at once when the runner began
  // to shut down since the admission.
  void Track(std::shared_ptr<Flows::Flow> made) {
    bool stopNow = false;
    {
      keystone::MutexLock lock(runner.mutex);
      flow = std::move(made);
      runner.running.insert(flow);
      stopNow = runner.stopping;
    }
    if (stopNow) flow->Cancel();
  }

 private:
  FlowRunner& runner;
  const std::string user;
  bool admitted = false;
  const char* refusal = "";
  std::shared_ptr<Flows::Flow> flow;
};

FlowRunner::FlowRunner(Factors::FactorRegistry& factors, AuthenticateDataMirroring& mirror,
                       IFlowHost& host, platform::Accounts& accountFacts, FlowOptions options)
    : services{factors, mirror, host, clientFlows, options}, accounts(accountFacts) {}

FlowRunner::~FlowRunner() {
  Shutdown();
  keystone::MutexLock lock(mutex);
  if (!drained.wait_for(lock.Native(), services.options.drainLimit,
                        [this]() REQUIRES(mutex) { return calls == 0; })) {
    KS_LOG(Log(), kLogCritical, "FLOW", "%zu flow call(s) still running at shutdown", calls);
  }
}

bool FlowRunner::MayEnroll(const keystone::ClientIdentity& client, const std::string& user) {
  if (!client.Known()) {
    KS_LOG(Log(), kLogError, "FLOW", "Cannot evaluate the client of an enrollment");
    return false;
  }
  if (user.size() > kMaxUserLength || !platform::IsSidText(user)) {
    KS_LOG(Log(), kLogError, "FLOW", "Enrollment refused: the user is not a SID");
    return false;
  }
  if (client.Elevated()) return true;
  std::string own;
  try {
    own = accounts.UserSid(client.uid);
  } catch (const std::exception& e) {
    KS_LOG(Log(), kLogError, "FLOW", "Cannot name the user of uid %u (%s)", client.uid, e.what());
  }
  if (own != user) {
    KS_LOG(Log(), kLogError, "FLOW", "Client of uid %u may not enroll user %s", client.uid,
           user.c_str());
    return false;
  }
  return true;
}

uint32_t FlowRunner::RunEnrollmentFlow(uint32_t sessionId, const keystone::ClientIdentity& client,
                                       const std::string& user, const std::string& factorId) {
  try {
    if (!MayEnroll(client, user)) return keystone::kStatusGeneralFailure;
    Admission admission(*this, user);
    if (!admission.Admitted()) {
      KS_LOG(Log(), kLogError, "FLOW", "Enrollment for %s refused: %s", user.c_str(),
             admission.Refusal());
      return keystone::kStatusGeneralFailure;
    }
    const auto flow = Shared(Flows::MakeFlow<AuthenticateFlows::EnrollmentFlow>(
        sessionId, client.pid, user, factorId, services));
    admission.Track(flow);
    const uint32_t executed = flow->Execute(services.options.enrollmentLimit);
    uint32_t status = keystone::kStatusSuccess;
    if (executed == Flows::kExecuteFinished) {
      status = flow->Result();
    } else if (executed == Flows::kExecuteTimedOut || executed == Flows::kExecuteNotStarted) {
      status = keystone::kStatusGeneralFailure;
    }
    KS_LOG(Log(), kLogInfo, "FLOW", "Enrollment for %s ended with 0x%08X", user.c_str(), status);
    return status;
  } catch (const std::exception& e) {
    KS_LOG(Log(), kLogError, "FLOW", "Enrollment failed: %s", e.what());
  } catch (...) {
    KS_LOG(Log(), kLogError, "FLOW", "Enrollment failed: Unknown error");
  }
  return keystone::kStatusGeneralFailure;
}

int32_t FlowRunner::RunFactorFlow(const Message& request, uint32_t ownerId,
                                  std::chrono::milliseconds limit, Bytes& answer) {
  try {
    Admission admission(*this, "");
    if (!admission.Admitted()) {
      KS_LOG(Log(), kLogError, "FLOW", "Factor authentication refused: %s", admission.Refusal());
      return static_cast<int32_t>(Flows::kExecuteNotStarted);
    }
    const auto flow = Shared(
        Flows::MakeFlow<AuthenticateFlows::AuthenticateFactorFlow>(request, ownerId, services));
    admission.Track(flow);
    const uint32_t executed = flow->Execute(limit);
    if (executed != Flows::kExecuteFinished) return static_cast<int32_t>(executed);
    if (flow->State() == Flows::kStateStopped &&
        flow->Answer().messageType == message_type::kUnset) {
      // Stopped (sleep, engine stop) before anything was decided: the applet hears "no".
      KS_LOG(Log(), kLogWarning, "FLOW", "Factor authentication stopped before it decided");
      return static_cast<int32_t>(Flows::kExecuteNotStarted);
    }
    answer = flow->Answer().Serialize();
    return static_cast<int32_t>(Flows::kExecuteFinished);
  } catch (const std::exception& e) {
    KS_LOG(Log(), kLogError, "FLOW", "Factor authentication could not start: %s", e.what());
  } catch (...) {
    KS_LOG(Log(), kLogError, "FLOW", "Factor authentication could not start: Unknown error");
  }
  return static_cast<int32_t>(Flows::kExecuteNotStarted);
}

void FlowRunner::CancelRunningFlows() {
  std::vector<std::shared_ptr<Flows::Flow>> flows;
  {
    keystone::MutexLock lock(mutex);
    flows.assign(running.begin(), running.end());
  }
  if (!flows.empty())
    KS_LOG(Log(), kLogInfo, "FLOW", "Cancelling %zu running flow(s)", flows.size());
  for (const std::shared_ptr<Flows::Flow>& flow : flows) flow->Cancel();
}

void FlowRunner::Shutdown() {
  {
    keystone::MutexLock lock(mutex);
    stopping = true;
  }
  CancelRunningFlows();
}

size_t FlowRunner::RunningFlowsForTesting() {
  keystone::MutexLock lock(mutex);
  return running.size();
}

}  // namespace mfab
