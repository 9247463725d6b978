#pragma once

namespace mfab {

// The flows that run, as the machine's sleep and the service's stop end them. Thread-safe.
class IRunningFlows {
 public:
  virtual ~IRunningFlows() = default;

  // Cancels every running flow: each ends after its current step, and a step that waits for
  // the user or a device gives up. Never blocks on a flow.
  virtual void CancelRunningFlows() = 0;
  // Cancels every running flow and starts no new one. Idempotent.
  virtual void Shutdown() = 0;
};

}  // namespace mfab
