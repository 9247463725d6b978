#pragma once

namespace mfab {

// A listener of power and session events. Each handler runs on its own task, possibly at the
// same time as other handlers of this or other listeners; a listener does its own locking.
// Handlers may throw: the dispatcher logs the failure and goes on. The default does nothing.
class ISystemPowerState {
 public:
  virtual void HandlePowerSleepEvent() {}
  virtual void HandlePowerResumeEvent() {}
  virtual void HandleSessionUnlockEvent() {}
  virtual void HandleSessionLockEvent() {}
  virtual void HandleSessionLogoffEvent() {}
  virtual void HandleEnterConnectedStandbyEvent() {}
  virtual void HandleExitConnectedStandbyEvent() {}
  virtual ~ISystemPowerState() = default;
};

}  // namespace mfab
