#pragma once


namespace mfab {

// Everything the service host starts, stops and forwards events to: the RPC server, the resource
// manager (and through it the power and session state manager), registry mirroring, the trace-log
// clean-up and the user records. The service calls these on its main thread (start and stop) and
// on event tasks (the seven events), possibly several at once. Implementations are thread-safe;
// the event operations may throw (the exception stays in the event task).
class ServiceComponents {
 public:
  virtual ~ServiceComponents() = default;

  // Starts listening for clients and creates the resource manager; false when listening failed.
  virtual bool StartRpcServer() = 0;
  virtual void StopRpcServer() = 0;
  // Mirrors the stored data into the registry when the mirror is empty.
  virtual void MirrorDataIfEmpty() = 0;
  // Whether the applet adapter found a new firmware version while it was created.
  virtual bool FirmwareChanged() = 0;
  // Mirrors the policy again.
  virtual void PolicyUpdated() = 0;
  // The trace-log clean-up, which also removes what writes interrupted by an earlier crash left
  // in the data directory (the service runs it on a task of its own); true when it removed what
  // it should. Never throws.
  virtual bool RunTraceLogCleanup() = 0;
  virtual void HandleOsUpgrade() = 0;
  // Starts the user-record update task (the resource manager keeps it).
  virtual void StartUserRecordTask() = 0;
  // Destroys the resource manager (ends its tasks and the applet session).
  virtual void DestroyResourceManager() = 0;

  // The resource manager's event operations.
  virtual void HandlePowerSleepEvent() = 0;
  virtual void HandlePowerResumeEvent() = 0;
  virtual void HandleConnectedStandbyEnterEvent() = 0;
  virtual void HandleConnectedStandbyExitEvent() = 0;
  virtual void HandleLogoffEvent() = 0;
  virtual void HandleSessionLockEvent() = 0;
  virtual void HandleSessionUnlockEvent() = 0;
};

}  // namespace mfab
