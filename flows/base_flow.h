#pragma once

// The step runner every concrete flow is built on. A flow owns a chain of steps and runs them one
// after the other on a worker thread of its own while its starter waits in Execute:
//
//   Execute(limit): OnStart, CreateFirstStep (an MfaException from either: Failed, answer 2, no
//                   worker); state 1; the worker starts (state 2) and runs the steps; Execute
//                   waits at most limit, calls OnFinish, and answers 0 when the steps ended or 1
//                   (state 3) when the limit passed first. The running step is not interrupted
//                   by the limit; no later step runs.
//   the step loop:  while there is a step, Cancel was not called and the state is 2: log "Run
//                   step: <name>", Run, NextStep. A step's MfaException or std::exception goes
//                   to Failed (state 4), which ends the loop. Then state 5 after Cancel, else 6.
//
// States: 0 created, 1 started, 2 running, 3 timed out, 4 failed, 5 stopped, 6 done. The state
// says how the runner went, never what the flow achieved: the concrete flow's result does.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <stop_token>
#include <thread>

#include "common/exceptions.h"
#include "common/mutex.h"
#include "flows/client_flow_table.h"
#include "flows/flow.h"

namespace Flows {

inline constexpr int32_t kStateCreated = 0;
inline constexpr int32_t kStateStarted = 1;
inline constexpr int32_t kStateRunning = 2;
inline constexpr int32_t kStateTimedOut = 3;
inline constexpr int32_t kStateFailed = 4;
inline constexpr int32_t kStateStopped = 5;
inline constexpr int32_t kStateDone = 6;

// A step as the runner sees it; concrete steps derive from Step<T>.
class StepBase {
 public:
  virtual ~StepBase() = default;
  // Does the step's work; a failure is reported only by throwing.
  virtual void Run() = 0;
  // The next step (null ends the chain); called only after Run returned normally.
  virtual std::unique_ptr<StepBase> Next() = 0;
  // The qualified class name, for the step log.
  virtual const char* ClassName() const = 0;
};

// One step of a flow of class T. Steps are made by the flow (the first) or by the step before,
// and destroyed by the runner as soon as the next one replaces them.
template <typename T>
class Step : public StepBase {
 public:
  explicit Step(T& owner) : flow(owner) {}

  virtual std::unique_ptr<Step<T>> NextStep() = 0;

 protected:
  T& flow;

 private:
  std::unique_ptr<StepBase> Next() final { return NextStep(); }
};

// The step runner (see the top of the file), written once for every flow class. Thread-safe:
// Execute runs on the starter's thread, the steps on the flow's worker, Cancel anywhere. The
// concrete flow's result fields are written by the worker and read by the starter after Execute
// answered 0, or after the flow was destroyed (FlowDeleter waits for the worker).
class BaseFlowCore : public Flow {
 public:
  // Starts the step task's thread; throws when it cannot.
  using WorkerStarter = std::function<std::jthread(std::function<void()>)>;

  // Runs the flow once; a second call answers kExecuteNotStarted. Throws what OnStart and
  // CreateFirstStep throw other than MfaException.
  uint32_t Execute(std::chrono::milliseconds timeout) final;
  // Ends the chain after the current step and stops the flow's token, so a step that waits for
  // something can give up. Never blocks.
  void Cancel() override;
  void Abort() final { Cancel(); }

  int32_t State();
  // Stopped when the flow is cancelled or destroyed; steps that wait watch it.
  std::stop_token StopToken() const { return stopSource.get_token(); }

  void SetWorkerStarterForTesting(WorkerStarter start) { workerStarter = std::move(start); }

 protected:
  BaseFlowCore(uint32_t flowIdValue, uint32_t ownerIdValue) : Flow(flowIdValue, ownerIdValue) {}
  // Waits for the worker, in case the flow was not destroyed through FlowDeleter.
  ~BaseFlowCore() override;

  virtual void OnStart() {}
  virtual void OnFinish() {}

  void WaitForSteps() noexcept final;

 private:
  virtual std::unique_ptr<StepBase> CreateFirstStepBase() = 0;
  // The concrete flow's rule for an MfaException; called under the flow's lock.
  virtual void ApplyFailureRule(const mfab::MfaException& e) = 0;
  virtual const char* FlowName() const = 0;

  void StepTask() noexcept;
  void RunSteps();
  void Failed(const mfab::MfaException& e);
  void Failed(const std::exception& e);
  bool StillRunning();

  keystone::Mutex lock;  // Guards the members below.
  int32_t state GUARDED_BY(lock) = kStateCreated;
  bool taskEnded GUARDED_BY(lock) = false;
  std::condition_variable taskEndedSignal;

  std::atomic<bool> stopFlag{false};
  std::stop_source stopSource;
  // Set by Execute before the worker starts; afterwards the worker's alone.
  std::unique_ptr<StepBase> currentStep;
  WorkerStarter workerStarter;
  // Started by Execute, joined by WaitForSteps.
  std::jthread stepTask;
};

// A flow of class T: T provides CreateFirstStep, its failure rule
// `void RecordFailure(const mfab::MfaException&)` (store the error's code as the result, or a
// negative answer) and `static constexpr char kClassName[]` (its qualified name, for the log).
template <typename T>
class BaseFlow : public BaseFlowCore {
 protected:
  using BaseFlowCore::BaseFlowCore;

  virtual std::unique_ptr<Step<T>> CreateFirstStep() = 0;

 private:
  std::unique_ptr<StepBase> CreateFirstStepBase() final { return CreateFirstStep(); }
  void ApplyFailureRule(const mfab::MfaException& e) final {
    static_cast<T*>(this)->RecordFailure(e);
  }
  const char* FlowName() const final { return T::kClassName; }
};

// A factor's own flow, run from a step of a generic flow (which waits in its Execute).
template <typename T>
class FactorFlow : public BaseFlow<T> {
 protected:
  using BaseFlow<T>::BaseFlow;
};

// A flow a client's call started: it is in the client-flow table while it runs.
template <typename T>
class ExternalApiFlow : public BaseFlow<T> {
 protected:
  ExternalApiFlow(uint32_t flowIdValue, uint32_t ownerIdValue, ClientFlowTable& table)
      : BaseFlow<T>(flowIdValue, ownerIdValue), clientFlows(table) {}

  void OnStart() override { clientFlows.Insert(this->flowId, this->ownerId); }
  void OnFinish() override { clientFlows.Erase(this->flowId); }

 private:
  ClientFlowTable& clientFlows;
};

}  // namespace Flows
