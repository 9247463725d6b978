#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <stop_token>
#include <list>
#include <memory>
#include <vector>

#include "common/mutex.h"
#include "common/task_group.h"
#include "engine/system_power_state.h"
#include "platform/clock.h"

namespace mfab {

// The engine's view of the machine's power state (normal, going to sleep, connected standby).
// Every power and session event is handed to the registered listeners, one task per listener,
// so listeners run concurrently and never delay each other or the caller.
//
// Owned by the resource manager. Thread-safe; no operation may be called while the caller holds
// the state mutex (none of them can be, it is private). Operations return at once after starting
// the listener tasks. The destructor cancels a pending connected-standby entry and waits for the
// listener tasks still running, so listeners are never called after it returns.
class SystemPowerStateManager {
 public:
  enum PowerState : int32_t { kNormal = 0, kGoingToSleep = 1, kConnectedStandby = 2 };

  struct Options {
    // How long after Sleep a sleep counts as in progress.
    std::chrono::milliseconds sleepWindow{4000};
    // How long an enter-connected-standby event waits for a cancelling exit event.
    std::chrono::milliseconds standbyEntryDelay{4000};
    // How long WaitForSleepHandlers waits; logind's own default delay limit is 5 s.
    std::chrono::milliseconds sleepHandlingWait{5000};
  };

  explicit SystemPowerStateManager(platform::Clock& clock);
  SystemPowerStateManager(platform::Clock& clock, Options options);
  ~SystemPowerStateManager();
  SystemPowerStateManager(const SystemPowerStateManager&) = delete;
  SystemPowerStateManager& operator=(const SystemPowerStateManager&) = delete;

  // Adds a listener at the end of the list; there is no removal.
  void RegisterListener(std::shared_ptr<ISystemPowerState> listener);

  void Sleep();
  // Waits until the listeners' sleep handling started by Sleep has ended, at most
  // options.sleepHandlingWait; true when it ended. Holds no lock of the manager's state meanwhile.
  bool WaitForSleepHandlers();
  void Resume();
  void SessionUnlock();
  void SessionLock();
  void Logoff();
  // Enters connected standby after the entry delay unless an exit event arrives meanwhile.
  void EnterConnectedStandby();
  void ExitConnectedStandby();

  // Whether a sleep is in progress: Sleep was called and its window has not passed. When the
  // window has passed the sleep is taken as over and Resume is called (outside the state mutex).
  bool IsGoingToSleep();

  int32_t CurrentPowerState();

 private:
  using Handler = void (ISystemPowerState::*)();

  // Starts one task per listener calling handler; failureText is the warning for a throw.
  void FanOutLocked(Handler handler, const char* failureText) REQUIRES(stateMutex);
  // As FanOutLocked for the sleep handler, counting the tasks until each has ended.
  void FanOutSleepLocked() REQUIRES(stateMutex);
  void SleepHandlerEnded();
  void RunEnterConnectedStandby(platform::Ticks enterTime, std::stop_token stop);
  // Starts body as one of this manager's tasks; false (and nothing started) once the destructor
  // has begun. Throws std::system_error when no thread.
  bool LaunchTask(keystone::TaskGroup::Work body);

  platform::Clock& clock;
  const Options options;

  keystone::Mutex stateMutex;  // Guards the members below.
  platform::Ticks sleepDeadline GUARDED_BY(stateMutex) = 0;
  int32_t powerState GUARDED_BY(stateMutex) = kNormal;
  std::list<std::shared_ptr<ISystemPowerState>> listeners GUARDED_BY(stateMutex);

  // Taken after stateMutex by the exit operation, never the other way round.
  keystone::Mutex exitTimeMutex;
  platform::Ticks lastStandbyExitTime GUARDED_BY(exitTimeMutex) = 0;

  // Sleep listener tasks that have not ended; taken after stateMutex, never the other way round.
  keystone::Mutex sleepHandlersMutex;
  size_t sleepHandlersRunning GUARDED_BY(sleepHandlersMutex) = 0;
  std::condition_variable sleepHandlersEnded;

  // The connected-standby entry's delay; a stop cuts it short.
  std::mutex standbyDelayMutex;
  std::condition_variable_any standbyDelay;

  // Every task this manager starts; last, so its tasks end before the members they use go.
  keystone::TaskGroup tasks;
};

}  // namespace mfab
