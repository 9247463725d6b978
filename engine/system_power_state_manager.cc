#include "engine/system_power_state_manager.h"

#include <exception>
#include <utility>

#include "log/logger.h"

namespace mfab {
namespace {

constexpr const char* kPowerHandlerFailed = "Power Resume Event handler failed";
constexpr const char* kUnlockHandlerFailed = "Session Logon handler failed";
constexpr const char* kLockHandlerFailed = "Session lock handler failed";
constexpr const char* kLogoffHandlerFailed = "Session Logoff handler failed";

AuthenticateLogger& Log() { return AuthenticateLoggerService::Instance(); }

// Runs one listener operation on its task; nothing escapes the task.
void CallListener(const std::shared_ptr<ISystemPowerState>& listener,
                  void (ISystemPowerState::*handler)(), const char* failureText) noexcept {
  try {
    ((*listener).*handler)();
  } catch (...) {
    KS_LOG(Log(), kLogWarning, "FLOW", "%s", failureText);
  }
}

}  // namespace

SystemPowerStateManager::SystemPowerStateManager(platform::Clock& clockSource)
    : SystemPowerStateManager(clockSource, Options{}) {}

SystemPowerStateManager::SystemPowerStateManager(platform::Clock& clockSource,
                                                 Options managerOptions)
    : clock(clockSource), options(managerOptions) {}

SystemPowerStateManager::~SystemPowerStateManager() {
  // A pending connected-standby entry ends without entering; listener calls finish.
  tasks.Close();
  tasks.RequestStop();
  tasks.WaitIdle();
}

void SystemPowerStateManager::RegisterListener(std::shared_ptr<ISystemPowerState> listener) {
  if (!listener) return;
  keystone::MutexLock lock(stateMutex);
  listeners.push_back(std::move(listener));
}

bool SystemPowerStateManager::LaunchTask(keystone::TaskGroup::Work body) {
  return tasks.Launch(std::move(body));
}

void SystemPowerStateManager::FanOutLocked(Handler handler, const char* failureText) {
  for (const std::shared_ptr<ISystemPowerState>& listener : listeners) {
    std::shared_ptr<ISystemPowerState> reference = listener;
    try {
      if (!LaunchTask([reference, handler, failureText](std::stop_token) {
            CallListener(reference, handler, failureText);
          })) {
        return;  // shutting down
      }
    } catch (const std::exception& e) {
      KS_LOG(Log(), kLogError, "FLOW", "Could not start a listener task (%s)", e.what());
    }
  }
}

void SystemPowerStateManager::Sleep() {
  KS_LOG(Log(), kLogInfo, "PS-START", "Sleep");
  keystone::MutexLock lock(stateMutex);
  powerState = kGoingToSleep;
  sleepDeadline = clock.SteadyNow() + platform::ToTicks(options.sleepWindow);
  FanOutSleepLocked();
  KS_LOG(Log(), kLogInfo, "PS-END", "PowerState = %d", powerState);
}

void SystemPowerStateManager::FanOutSleepLocked() {
  for (const std::shared_ptr<ISystemPowerState>& listener : listeners) {
    std::shared_ptr<ISystemPowerState> reference = listener;
    {
      keystone::MutexLock lock(sleepHandlersMutex);
      ++sleepHandlersRunning;
    }
    bool started = false;
    try {
      started = LaunchTask([this, reference](std::stop_token) {
        CallListener(reference, &ISystemPowerState::HandlePowerSleepEvent, kPowerHandlerFailed);
        SleepHandlerEnded();
      });
    } catch (const std::exception& e) {
      KS_LOG(Log(), kLogError, "FLOW", "Could not start a listener task (%s)", e.what());
    }
    if (!started) SleepHandlerEnded();
  }
}

void SystemPowerStateManager::SleepHandlerEnded() {
  {
    keystone::MutexLock lock(sleepHandlersMutex);
    --sleepHandlersRunning;
  }
  sleepHandlersEnded.notify_all();
}

bool SystemPowerStateManager::WaitForSleepHandlers() {
  const auto deadline = std::chrono::steady_clock::now() + options.sleepHandlingWait;
  keystone::MutexLock lock(sleepHandlersMutex);
  return sleepHandlersEnded.wait_until(lock.Native(), deadline,
                                       [this]() REQUIRES(sleepHandlersMutex) {
                                         return sleepHandlersRunning == 0;
                                       });
}

void SystemPowerStateManager::Resume() {
  KS_LOG(Log(), kLogInfo, "PS-START", "Resume");
  keystone::MutexLock lock(stateMutex);
  sleepDeadline = clock.SteadyNow();
  if (powerState != kNormal) {
    powerState = kNormal;
    FanOutLocked(&ISystemPowerState::HandlePowerResumeEvent, kPowerHandlerFailed);
  }
  KS_LOG(Log(), kLogInfo, "PS-END", "PowerState = %d", powerState);
}

void SystemPowerStateManager::SessionUnlock() {
  keystone::MutexLock lock(stateMutex);
  FanOutLocked(&ISystemPowerState::HandleSessionUnlockEvent, kUnlockHandlerFailed);
  KS_LOG(Log(), kLogInfo, "PS-END", "Session unlock, PowerState = %d", powerState);
}

void SystemPowerStateManager::SessionLock() {
  keystone::MutexLock lock(stateMutex);
  FanOutLocked(&ISystemPowerState::HandleSessionLockEvent, kLockHandlerFailed);
  KS_LOG(Log(), kLogInfo, "PS-END", "Session lock, PowerState = %d", powerState);
}

void SystemPowerStateManager::Logoff() {
  keystone::MutexLock lock(stateMutex);
  FanOutLocked(&ISystemPowerState::HandleSessionLogoffEvent, kLogoffHandlerFailed);
  KS_LOG(Log(), kLogInfo, "PS-END", "Session logoff, PowerState = %d", powerState);
}

void SystemPowerStateManager::EnterConnectedStandby() {
  KS_LOG(Log(), kLogInfo, "PS-START", "Enter connected standby");
  // The enter time is taken here rather than on the task, so an exit that follows this call
  // always cancels the entry however late the task gets to run.
  const platform::Ticks enterTime = clock.SteadyNow();
  try {
    const bool started = LaunchTask([this, enterTime](std::stop_token stop) {
      try {
        RunEnterConnectedStandby(enterTime, stop);
      } catch (const std::exception& e) {
        KS_LOG(Log(), kLogError, "FLOW", "Connected standby entry failed (%s)", e.what());
      }
    });
    if (!started) {
      KS_LOG(Log(), kLogWarning, "FLOW", "Connected standby entry dropped: shutting down");
    }
  } catch (const std::system_error& e) {
    KS_LOG(Log(), kLogError, "FLOW", "Could not start the connected standby task (%s)", e.what());
  }
  KS_LOG(Log(), kLogInfo, "PS-END", "Enter connected standby scheduled");
}

void SystemPowerStateManager::RunEnterConnectedStandby(platform::Ticks enterTime,
                                                       std::stop_token stop) {
  {
    // Holds neither state mutex while waiting; the destructor's stop cuts the wait short.
    std::unique_lock<std::mutex> lock(standbyDelayMutex);
    standbyDelay.wait_for(lock, stop, options.standbyEntryDelay, [] { return false; });
  }
  if (stop.stop_requested()) return;
  {
    keystone::MutexLock lock(exitTimeMutex);
    if (lastStandbyExitTime > enterTime) {
      KS_LOG(Log(), kLogInfo, "FLOW",
             "Not entering connected standby - exit event received already received ");
      return;
    }
  }
  keystone::MutexLock lock(stateMutex);
  if (powerState == kGoingToSleep) {
    KS_LOG(Log(), kLogWarning, "FLOW", "Already in sleep state");
    return;
  }
  powerState = kConnectedStandby;
  FanOutLocked(&ISystemPowerState::HandleEnterConnectedStandbyEvent, kPowerHandlerFailed);
}

void SystemPowerStateManager::ExitConnectedStandby() {
  KS_LOG(Log(), kLogInfo, "PS-START", "Exit connected standby");
  keystone::MutexLock lock(stateMutex);
  {
    keystone::MutexLock exitLock(exitTimeMutex);
    lastStandbyExitTime = clock.SteadyNow();
  }
  if (powerState == kConnectedStandby) {
    powerState = kNormal;
    FanOutLocked(&ISystemPowerState::HandleExitConnectedStandbyEvent, kPowerHandlerFailed);
  }
  KS_LOG(Log(), kLogInfo, "PS-END", "PowerState = %d", powerState);
}

bool SystemPowerStateManager::IsGoingToSleep() {
  bool sleepOver = false;
  {
    keystone::MutexLock lock(stateMutex);
    if (powerState != kGoingToSleep) return false;
    if (clock.SteadyNow() <= sleepDeadline) return true;
    sleepOver = true;
  }
  // Resume takes the state mutex itself.
  if (sleepOver) Resume();
  return false;
}

int32_t SystemPowerStateManager::CurrentPowerState() {
  keystone::MutexLock lock(stateMutex);
  return powerState;
}

}  // namespace mfab
