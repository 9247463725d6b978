#include "engine/authentication_state_manager.h"

#include <exception>
#include <utility>

#include "common/status.h"
#include "engine/system_power_state_manager.h"
#include "log/logger.h"
#include "tlv/message.h"

namespace mfab {
namespace {

constexpr uint16_t kTagState = 0x7B44;
// The state the engine gives an authentication it ends with an error.
constexpr int32_t kStateEndedByError = 3;
constexpr auto kMonitorStartStep = std::chrono::milliseconds(10);

AuthenticateLogger& Log() { return AuthenticateLoggerService::Instance(); }

// The value of the reply's top-level 0x0005 item; empty when there is none or the reply is not a
// TLV sequence (the reply's own reader reports that).
Bytes StatusItemOf(const Bytes& reply) {
  try {
    const TlvIndex index = ParseTlv(reply);
    if (!HasTlv(index, Message::kTagStatus)) return {};
    const uint8_t* item = GetTlv(index, Message::kTagStatus);
    return Bytes(TlvValueBegin(item), TlvValueEnd(item));
  } catch (const TlvException&) {
    return {};
  }
}

// Whether status bytes are a piggy-backed status: a top-level 0x7B44 item.
bool HoldsState(const Bytes& statusBytes) {
  if (statusBytes.empty()) return false;
  try {
    return HasTlv(ParseTlv(statusBytes), kTagState);
  } catch (const TlvException&) {
    return false;
  }
}

void ClearRecord(AuthenticationStatusData& record) {
  record = AuthenticationStatusData{};
  record.authenticationId = -1;
}

}  // namespace

AuthenticationStateManager::AuthenticationStateManager(SystemPowerStateManager& power)
    : AuthenticationStateManager(power, Options{}) {}

AuthenticationStateManager::AuthenticationStateManager(SystemPowerStateManager& power,
                                                       Options managerOptions)
    : powerState(power), options(managerOptions) {
  keystone::MutexLock lock(stateMutex);
  ClearRecord(status);
}

AuthenticationStateManager::~AuthenticationStateManager() {
  markedForDeletion = true;
  try {
    StopMonitor();
  } catch (...) {
    // StopMonitor only logs; a failed log record must not escape a destructor.
  }
}

void AuthenticationStateManager::UpdateAuthenticationState(const Bytes& reply) {
  if (powerState.IsGoingToSleep()) {
    KS_LOG(Log(), kLogInfo, "FLOW", "going to sleep");
    return;
  }
  MonitorAction action = MonitorAction::kNone;
  {
    keystone::MutexLock lock(stateMutex);
    incomingStatus = StatusItemOf(reply);
    if (!HoldsState(incomingStatus)) return;
    KS_LOG(Log(), kLogInfo, "FLOW", "Incoming message has a piggyback.");

    // Decoded into a copy, so a status that lacks a required field leaves the record whole.
    AuthenticationStatusData updated = status;
    try {
      updated.Deserialize(incomingStatus);
    } catch (const std::exception& e) {
      KS_LOG(Log(), kLogError, "FLOW", "Malformed authentication status dropped (%s)", e.what());
      return;
    }
    KS_LOG(Log(), kLogInfo, "FLOW", "UpdateAuthenticationState");
    if (!hasStatus) {
      KS_LOG(Log(), kLogInfo, "FLOW",
             "Creating a new authentication status, overriding existing one.");
      hasStatus = true;
    }
    const bool changed = updated.Serialize() != status.Serialize();
    status = std::move(updated);
    activeFlag = status.active;
    action = NotifyLocked(changed);
    KS_LOG(Log(), kLogInfo, "FLOW", "UpdateAuthenticationState DONE ");
  }
  ApplyMonitorAction(action);
  if (!monitoring && activeFlag) StopAuthentication();
}

Bytes AuthenticationStateManager::GetStatus() {
  KS_LOG(Log(), kLogInfo, "FLOW", "GetStatus before lock");
  keystone::MutexLock lock(stateMutex);
  if (!hasStatus) {
    KS_LOG(Log(), kLogInfo, "FLOW", "GetStatus before exit (returning empty status)");
    return {};
  }
  Bytes out = status.Serialize();
  KS_LOG(Log(), kLogInfo, "FLOW", "GetStatus before exit");
  return out;
}

void AuthenticationStateManager::StatusUpdateCompleted() {
  KS_LOG(Log(), kLogInfo, "FLOW", "AuthenticationStateManager - StatusUpdateCompleted ");
  MonitorAction action = MonitorAction::kNone;
  {
    keystone::MutexLock lock(stateMutex);
    action = NotifyLocked(false);
  }
  ApplyMonitorAction(action);
  if (hasStatus && activeFlag) StopAuthentication();
}

void AuthenticationStateManager::UpdateAuthenticationErrorState(int32_t identifier,
                                                                uint32_t errorCode) {
  KS_LOG(Log(), kLogInfo, "FLOW", "UpdateAuthenticationErrorState before lock");
  MonitorAction action = MonitorAction::kNone;
  bool recorded = false;
  {
    keystone::MutexLock lock(stateMutex);
    if (hasStatus && status.authenticationId == identifier) {
      KS_LOG(Log(), kLogInfo, "FLOW", "UpdateCurrentAuthenticationErrorState. ");
      recorded = RecordErrorLocked(errorCode, action);
      KS_LOG(Log(), kLogInfo, "FLOW", "UpdateAuthenticationErrorState before exit 2");
    } else {
      KS_LOG(Log(), kLogInfo, "FLOW", "UpdateAuthenticationErrorState before exit 1");
    }
  }
  ApplyMonitorAction(action);
  if (recorded && !monitoring) StopAuthentication();
  KS_LOG(Log(), kLogInfo, "FLOW", "UpdateAuthenticationErrorState before exit");
}

void AuthenticationStateManager::UpdateCurrentAuthenticationErrorState(uint32_t errorCode) {
  MonitorAction action = MonitorAction::kNone;
  bool recorded = false;
  KS_LOG(Log(), kLogInfo, "FLOW", "UpdateCurrentAuthenticationErrorState. ");
  {
    keystone::MutexLock lock(stateMutex);
    recorded = RecordErrorLocked(errorCode, action);
  }
  ApplyMonitorAction(action);
  if (recorded && !monitoring) StopAuthentication();
}

void AuthenticationStateManager::AbandonAuthentication(uint32_t errorCode) {
  KS_LOG(Log(), kLogInfo, "FLOW", "AbandonAuthentication 0x%X", errorCode);
  MonitorAction action = MonitorAction::kNone;
  {
    keystone::MutexLock lock(stateMutex);
    if (!RecordErrorLocked(errorCode, action)) return;
  }
  ApplyMonitorAction(action);
  StopAuthentication();
}

bool AuthenticationStateManager::RecordErrorLocked(uint32_t errorCode, MonitorAction& action) {
  if (!hasStatus && !monitoring) {
    KS_LOG(Log(), kLogInfo, "FLOW", "No authentication to record error 0x%X for", errorCode);
    return false;
  }
  status.errorCode = errorCode;
  status.state = kStateEndedByError;
  action = NotifyLocked(true);
  return true;
}

void AuthenticationStateManager::StopAuthentication() {
  {
    keystone::MutexLock lock(stateMutex);
    if (hasStatus && activeFlag) {
      KS_LOG(Log(), kLogInfo, "FLOW", "StopAuthenticate called before authentication ended.");
    }
    ClearRecord(status);
    activeFlag = false;
    hasStatus = false;
    monitoring = false;
    KS_LOG(Log(), kLogInfo, "FLOW", "Authentication is cleared.");
  }
  StopMonitor();
  KS_LOG(Log(), kLogInfo, "FLOW", "StopAuthentication before exit");
}

void AuthenticationStateManager::StopMonitor() {
  KS_LOG(Log(), kLogInfo, "FLOW", "Stop monitor");
  if (monitorThreadId.load() == std::this_thread::get_id()) {
    // The monitor ending the authentication itself: it is on its way out and cannot join itself.
    monitorStop = true;
    return;
  }
  keystone::MutexLock lock(taskMutex);
  JoinMonitorLocked();
}

void AuthenticationStateManager::JoinMonitorLocked() {
  {
    keystone::MutexLock wait(monitorMutex);
    monitorStop = true;
  }
  monitorWake.notify_all();
  if (monitorThread.joinable()) monitorThread.join();
  monitorThreadId = std::thread::id{};
}

bool AuthenticationStateManager::AuthenticationInProgress() { return hasStatus; }

uint32_t AuthenticationStateManager::CurrentAuthenticationActionId() {
  keystone::MutexLock lock(stateMutex);
  return static_cast<uint32_t>(status.authenticationId);
}

void AuthenticationStateManager::SetMonitoring(bool wanted) {
  keystone::MutexLock lock(stateMutex);
  monitoring = wanted;
}

bool AuthenticationStateManager::StatusChanged() { return statusChanged; }

bool AuthenticationStateManager::MarkedForDeletion() { return markedForDeletion; }

AuthenticationStateManager::MonitorAction AuthenticationStateManager::NotifyLocked(bool changed) {
  const bool was = statusChanged.exchange(changed);
  if (changed && !was && monitoring) return MonitorAction::kStart;
  // Signalled with or without monitoring: a monitor left from before SetMonitoring(false)
  // should see the client's collection too.
  if (!changed && was) return MonitorAction::kSignal;
  return MonitorAction::kNone;
}

void AuthenticationStateManager::ApplyMonitorAction(MonitorAction action) {
  switch (action) {
    case MonitorAction::kStart: StartMonitor(); break;
    case MonitorAction::kSignal: SignalMonitor(); break;
    case MonitorAction::kNone: break;
  }
}

void AuthenticationStateManager::SignalMonitor() {
  { keystone::MutexLock wait(monitorMutex); }
  monitorWake.notify_all();
}

void AuthenticationStateManager::StartMonitor() {
  if (markedForDeletion) return;
  if (monitorThreadId.load() == std::this_thread::get_id()) return;
  keystone::MutexLock lock(taskMutex);
  if (monitorThread.joinable()) {
    if (monitorThreadId.load() != std::thread::id{}) {
      KS_LOG(Log(), kLogInfo, "FLOW", "Stop monitor");
    }
    JoinMonitorLocked();
  }
  monitorStop = false;
  monitorStarted = false;
  try {
    monitorThread = std::thread([this] { ActivityMonitor(); });
  } catch (const std::exception& e) {
    KS_LOG(Log(), kLogError, "FLOW", "Starting the status activity monitor failed (%s)", e.what());
    return;
  }
  keystone::MutexLock wait(monitorMutex);
  const auto deadline = std::chrono::steady_clock::now() + options.monitorStartLimit;
  while (!monitorStarted) {
    if (std::chrono::steady_clock::now() >= deadline) {
      KS_LOG(Log(), kLogWarning, "FLOW", "The status activity monitor has not started yet");
      break;
    }
    monitorWake.wait_for(wait.Native(), kMonitorStartStep);
  }
}

void AuthenticationStateManager::ActivityMonitor() noexcept {
  monitorThreadId = std::this_thread::get_id();
  try {
    RunMonitor();
  } catch (...) {
    // Only logging can throw here (out of memory); the monitor simply ends.
  }
  monitorThreadId = std::thread::id{};
}

void AuthenticationStateManager::RunMonitor() {
  bool updated = false;
  bool timedOut = false;
  {
    keystone::MutexLock wait(monitorMutex);
    monitorStarted = true;
    monitorWake.notify_all();
    const auto deadline = std::chrono::steady_clock::now() + options.activityTimeout;
    // A wake-up with the change still uncollected waits again, up to the same deadline.
    updated = monitorWake.wait_until(wait.Native(), deadline,
                                     [this] { return monitorStop || !statusChanged; });
    timedOut = !updated;
    updated = updated && !monitorStop;
  }
  if (updated) {
    KS_LOG(Log(), kLogInfo, "FLOW", "Status updated");
    return;
  }
  if (timedOut) {
    KS_LOG(Log(), kLogInfo, "FLOW",
           "No status update activity for STATUS_UPDATE_ACTIVITY_TIMEOUT seconds.");
  }
  if (monitorStop) {
    KS_LOG(Log(), kLogInfo, "FLOW", "Monitor killed");
    return;
  }
  if (activeFlag) StopAuthentication();
}

void AuthenticationStateManager::EndWithPowerError() {
  KS_LOG(Log(), kLogInfo, "AM-START", "%s", "HandlePowerSleepEvent");
  MonitorAction action = MonitorAction::kNone;
  bool recorded = false;
  {
    keystone::MutexLock lock(stateMutex);
    recorded = RecordErrorLocked(keystone::kAuthErrorPowerEvent, action);
  }
  ApplyMonitorAction(action);
  if (recorded && !monitoring) StopAuthentication();
  KS_LOG(Log(), kLogInfo, "AM-END", "%s", "HandlePowerSleepEvent");
}

void AuthenticationStateManager::HandlePowerSleepEvent() { EndWithPowerError(); }

void AuthenticationStateManager::HandleEnterConnectedStandbyEvent() {
  KS_LOG(Log(), kLogInfo, "FLOW", "same as sleep");
  EndWithPowerError();
}

void AuthenticationStateManager::HandleSessionLogoffEvent() { HandlePowerSleepEvent(); }

bool AuthenticationStateManager::MonitorRunningForTesting() {
  keystone::MutexLock lock(taskMutex);
  return monitorThreadId.load() != std::thread::id{};
}

}  // namespace mfab
