#pragma once

// A flow: one multi-step conversation (an enrollment, a factor authentication) that must end
// within a bounded time even when a device or the user does not answer. Its starter runs it once
// with Execute, reads its outcome and destroys it.

#include <chrono>
#include <cstdint>
#include <memory>
#include <utility>

namespace Flows {

// Execute's answers.
inline constexpr uint32_t kExecuteFinished = 0;    // the steps ended within the time limit
inline constexpr uint32_t kExecuteTimedOut = 1;    // the time limit passed first
inline constexpr uint32_t kExecuteNotStarted = 2;  // the flow failed to start

// A flow's outcome before anything decided it (E_FAIL).
inline constexpr uint32_t kResultUnset = 0x80004005;

// The interface of every flow. Execute, Cancel and Abort may be called from different threads;
// Result is read by the starter only after Execute returned kExecuteFinished.
class Flow {
 public:
  // flowId: the owner call's identifier (a client's session, or the sessionId of the applet's
  // request); ownerId: the client process, or the session value the command handler passed.
  Flow(uint32_t flowIdValue, uint32_t ownerIdValue) : flowId(flowIdValue), ownerId(ownerIdValue) {}
  virtual ~Flow() = default;
  Flow(const Flow&) = delete;
  Flow& operator=(const Flow&) = delete;

  // Runs the flow, waiting at most timeout for its steps; returns one of kExecute*. This version
  // starts nothing.
  virtual uint32_t Execute(std::chrono::milliseconds /*timeout*/) { return kExecuteNotStarted; }
  // Asks the flow to end after its current step; never blocks.
  virtual void Cancel() {}
  // The same as Cancel.
  virtual void Abort() { Cancel(); }
  // The outcome a factor's flow reports to the flow that ran it: 0 for success, otherwise a
  // status code.
  virtual uint32_t Result() const { return kResultUnset; }

  const uint32_t flowId;
  const uint32_t ownerId;

 protected:
  friend struct FlowDeleter;
  // Waits until no step of this flow runs any more. Called by FlowDeleter while the whole object
  // still exists, since a running step uses the concrete flow's members.
  virtual void WaitForSteps() noexcept {}
};

// Destroys a flow the way it must be: first its running step ends, then the object goes.
struct FlowDeleter {
  void operator()(Flow* flow) const noexcept {
    if (flow == nullptr) return;
    flow->WaitForSteps();
    delete flow;
  }
};

// The owner of a flow. Every flow is held by one; its destruction blocks until the step that may
// still run (after a time-out) has returned.
using FlowPtr = std::unique_ptr<Flow, FlowDeleter>;

template <typename T, typename... Args>
std::unique_ptr<T, FlowDeleter> MakeFlow(Args&&... args) {
  return std::unique_ptr<T, FlowDeleter>(new T(std::forward<Args>(args)...));
}

}  // namespace Flows
