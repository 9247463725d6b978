#pragma once

#include <future>
#include <memory>

#include "common/mutex.h"
#include "engine/system_power_state_manager.h"
#include "platform/clock.h"

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
  // Starts the trace-log clean-up on its own task.
  virtual std::future<bool> StartTraceLogCleanup() = 0;
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

// The components available so far: the power and session state manager (created by
// StartRpcServer in place of the resource manager, destroyed by DestroyResourceManager, with no
// listeners yet) receives the seven events; the trace-log clean-up runs on the data directory.
// The RPC server, the resource manager's own work, registry mirroring and the user records are
// not present yet: their operations log that and do nothing.
class FoundationComponents final : public ServiceComponents {
 public:
  explicit FoundationComponents(platform::Clock& clock,
                                SystemPowerStateManager::Options powerOptions = {});
  ~FoundationComponents() override;

  bool StartRpcServer() override;
  void StopRpcServer() override;
  void MirrorDataIfEmpty() override;
  bool FirmwareChanged() override;
  void PolicyUpdated() override;
  std::future<bool> StartTraceLogCleanup() override;
  void HandleOsUpgrade() override;
  void StartUserRecordTask() override;
  void DestroyResourceManager() override;

  void HandlePowerSleepEvent() override;
  void HandlePowerResumeEvent() override;
  void HandleConnectedStandbyEnterEvent() override;
  void HandleConnectedStandbyExitEvent() override;
  void HandleLogoffEvent() override;
  void HandleSessionLockEvent() override;
  void HandleSessionUnlockEvent() override;

  // The manager, or nullptr before StartRpcServer and after DestroyResourceManager.
  std::shared_ptr<SystemPowerStateManager> PowerStateManager();

 private:
  // The manager for an event; logs and returns nullptr when there is none.
  std::shared_ptr<SystemPowerStateManager> ManagerForEvent(const char* event);

  platform::Clock& clock;
  const SystemPowerStateManager::Options powerOptions;

  keystone::Mutex mutex;  // Guards the member below; never held while calling the manager.
  std::shared_ptr<SystemPowerStateManager> manager GUARDED_BY(mutex);
};

}  // namespace mfab
