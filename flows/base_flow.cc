#include "flows/base_flow.h"

#include <utility>

#include "log/logger.h"

namespace Flows {
namespace {

using mfab::kLogError;
using mfab::kLogInfo;
using mfab::kLogWarning;

mfab::AuthenticateLogger& Log() { return mfab::AuthenticateLoggerService::Instance(); }

}  // namespace

BaseFlowCore::~BaseFlowCore() { WaitForSteps(); }

int32_t BaseFlowCore::State() {
  keystone::MutexLock guard(lock);
  return state;
}

void BaseFlowCore::Cancel() {
  stopFlag.exchange(true);
  stopSource.request_stop();
}

void BaseFlowCore::WaitForSteps() noexcept {
  // The token, not the stop flag: a step that waits gives up, but the flow ends as it would have.
  stopSource.request_stop();
  if (stepTask.joinable()) stepTask.join();
}

uint32_t BaseFlowCore::Execute(std::chrono::milliseconds timeout) {
  {
    keystone::MutexLock guard(lock);
    if (state != kStateCreated) {
      KS_LOG(Log(), kLogError, "FLOW-STEP", "Run flow: %s was run before", FlowName());
      return kExecuteNotStarted;
    }
  }
  bool started = false;
  try {
    OnStart();
    started = true;
    currentStep = CreateFirstStepBase();
  } catch (const mfab::MfaException& e) {
    Failed(e);
    // A flow that never ran leaves nothing registered behind.
    if (started) OnFinish();
    return kExecuteNotStarted;
  } catch (...) {
    if (started) OnFinish();
    throw;
  }
  {
    keystone::MutexLock guard(lock);
    state = kStateStarted;
  }
  try {
    stepTask = workerStarter ? workerStarter([this] { StepTask(); })
                             : std::jthread([this] { StepTask(); });
  } catch (const std::exception& e) {
    KS_LOG(Log(), kLogError, "FLOW-STEP", "Run flow: %s worker did not start (%s)", FlowName(),
           e.what());
    OnFinish();
    return kExecuteNotStarted;
  }
  bool ended = false;
  {
    keystone::MutexLock guard(lock);
    ended = taskEndedSignal.wait_for(guard.Native(), timeout,
                                     [this]() REQUIRES(lock) { return taskEnded; });
  }
  OnFinish();
  if (ended) return kExecuteFinished;
  {
    keystone::MutexLock guard(lock);
    state = kStateTimedOut;
  }
  KS_LOG(Log(), kLogWarning, "FLOW-STEP", "Run flow: %s timed out after %lld ms", FlowName(),
         static_cast<long long>(timeout.count()));
  return kExecuteTimedOut;
}

void BaseFlowCore::StepTask() noexcept {
  {
    keystone::MutexLock guard(lock);
    // A flow whose wait already ended runs no step.
    if (state == kStateStarted) state = kStateRunning;
  }
  try {
    RunSteps();
  } catch (const mfab::MfaException& e) {
    Failed(e);
  } catch (const std::exception& e) {
    Failed(e);
  } catch (...) {
    KS_LOG(Log(), kLogError, "FLOW-STEP", "Run flow: %s unknown exception", FlowName());
  }
  keystone::MutexLock guard(lock);
  taskEnded = true;
  taskEndedSignal.notify_all();
}

bool BaseFlowCore::StillRunning() {
  keystone::MutexLock guard(lock);
  return state == kStateRunning;
}

void BaseFlowCore::RunSteps() {
  KS_LOG(Log(), kLogInfo, "FLOW-STEP", "Run flow: %s", FlowName());
  while (currentStep && !stopFlag.load() && StillRunning()) {
    KS_LOG(Log(), kLogInfo, "FLOW-STEP", "Run step: %s", currentStep->ClassName());
    try {
      currentStep->Run();
      std::unique_ptr<StepBase> next = currentStep->Next();
      currentStep = std::move(next);
    } catch (const mfab::MfaException& e) {
      Failed(e);
    } catch (const std::exception& e) {
      Failed(e);
    }
  }
  keystone::MutexLock guard(lock);
  state = stopFlag.load() ? kStateStopped : kStateDone;
}

void BaseFlowCore::Failed(const mfab::MfaException& e) {
  keystone::MutexLock guard(lock);
  state = kStateFailed;
  KS_LOG(Log(), kLogError, "FLOW-STEP", "Run flow: %s MfaException %s", FlowName(), e.what());
  ApplyFailureRule(e);
}

void BaseFlowCore::Failed(const std::exception& e) {
  keystone::MutexLock guard(lock);
  KS_LOG(Log(), kLogError, "FLOW-STEP", "Run flow: %s exception %s", FlowName(), e.what());
  state = kStateFailed;
}

}  // namespace Flows
