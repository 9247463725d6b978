#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <thread>

#include "common/mutex.h"
#include "engine/authentication_state.h"
#include "tlv/status_messages.h"

namespace mfab {

class SystemPowerStateManager;

// Keeps the latest authentication status that the applet piggy-backs on its replies (item 0x0005
// of a reply), tells the waiting client when it changed, records errors reported by the engine or
// a client, ends an authentication after STATUS_UPDATE_ACTIVITY_TIMEOUT without a status update,
// and ends it on sleep, connected standby and log-off.
//
// Terms:
// - an authentication is in progress from the first piggy-backed status (one that holds 0x7B44)
//   until the status is cleared (StopAuthentication); its action id is the status's 0x7B47;
// - monitoring is what the client asked for in the 0x7B49 value of its start-of-action request
//   (the command handler stores it with SetMonitoring): non-zero means the client collects every
//   status change through the asynchronous status call, so a status is kept until the client took
//   it and the activity monitor watches for a client that stopped collecting. Without monitoring
//   nobody collects, so a status whose 0x7B48 flag is set ends the authentication at once.
//
// Owned by the resource manager (shared, also a power listener). Thread-safe. Lock order: the
// state mutex is never held while the monitor task is started, stopped or joined; the monitor
// task never waits for the task mutex. Nothing here throws except UpdateAuthenticationState and
// GetStatus on allocation failure.
class AuthenticationStateManager final : public IAuthenticationState {
 public:
  struct Options {
    // STATUS_UPDATE_ACTIVITY_TIMEOUT.
    std::chrono::milliseconds activityTimeout{std::chrono::seconds(120)};
    // Longest wait for a new monitor task to report that it runs (polled in 10 ms steps).
    std::chrono::milliseconds monitorStartLimit{std::chrono::seconds(5)};
  };

  // powerState answers the going-to-sleep test; it must outlive this object.
  explicit AuthenticationStateManager(SystemPowerStateManager& powerState);
  AuthenticationStateManager(SystemPowerStateManager& powerState, Options options);
  // Sets markedForDeletion, then stops and joins the monitor.
  ~AuthenticationStateManager() override;
  AuthenticationStateManager(const AuthenticationStateManager&) = delete;
  AuthenticationStateManager& operator=(const AuthenticationStateManager&) = delete;

  // Takes the status piggy-backed on an applet reply, if any. A reply that is not a TLV sequence,
  // or a status that does not decode, is logged and changes nothing. May start the monitor (and
  // block up to monitorStartLimit for it to run).
  void UpdateAuthenticationState(const Bytes& reply) override;
  // The current status, serialized; empty when there is none.
  Bytes GetStatus() override;
  // The client has been served the latest change.
  void StatusUpdateCompleted() override;
  // Records a client's error for the authentication with this identifier (others are ignored).
  void UpdateAuthenticationErrorState(int32_t identifier, uint32_t errorCode) override;
  // Records an engine error for the current authentication: error code, state 3, a change for
  // the client. Without a status and without monitoring there is nobody to tell: nothing changes
  // (the applet manager reports its inactivity after every idle period, authentication or not).
  void UpdateCurrentAuthenticationErrorState(uint32_t errorCode) override;
  void AbandonAuthentication(uint32_t errorCode) override;
  // Clears the status and stops (joins) the monitor.
  void StopAuthentication();
  // Ends the monitor task and waits for it, unless called from the monitor task itself.
  void StopMonitor();

  // For the command handler: whether a status exists since the last clearing, and its 0x7B47.
  bool AuthenticationInProgress() override;
  uint32_t CurrentAuthenticationActionId() override;
  // The client's 0x7B49 value of a start-of-action request (non-zero = monitoring wanted).
  void SetMonitoring(bool wanted) override;

  // For the asynchronous status call.
  bool StatusChanged() override;
  bool MarkedForDeletion() override;

  // End the authentication with error 0xA000005B and state 3.
  void HandlePowerSleepEvent() override;
  void HandleSessionLogoffEvent() override;
  void HandleEnterConnectedStandbyEvent() override;

  bool MonitorRunningForTesting();

 private:
  enum class MonitorAction { kNone, kStart, kSignal };

  // Exchanges statusChanged with changed; says what the monitor needs (done after unlocking).
  MonitorAction NotifyLocked(bool changed) REQUIRES(stateMutex);
  void ApplyMonitorAction(MonitorAction action);
  // Records an engine error; false when there is nobody to tell (see above).
  bool RecordErrorLocked(uint32_t errorCode, MonitorAction& action) REQUIRES(stateMutex);
  // The common part of the three power handlers.
  void EndWithPowerError();
  void StartMonitor();
  // Ends and joins the monitor thread; the caller holds taskMutex and is not the monitor.
  void JoinMonitorLocked() REQUIRES(taskMutex);
  // The monitor thread's body; RunMonitor is one wait for the client to collect the change.
  void ActivityMonitor() noexcept;
  void RunMonitor();
  void SignalMonitor();

  SystemPowerStateManager& powerState;
  const Options options;

  keystone::Mutex stateMutex;  // Guards the members below.
  AuthenticationStatusData status GUARDED_BY(stateMutex);
  Bytes incomingStatus GUARDED_BY(stateMutex);  // the last reply's 0x0005 value

  // Flags read without the state mutex (the status call polls them); written under it.
  std::atomic<bool> statusChanged{false};
  std::atomic<bool> hasStatus{false};
  std::atomic<bool> monitoring{false};
  std::atomic<bool> activeFlag{false};  // the status's 0x7B48 flag
  std::atomic<bool> markedForDeletion{false};

  // The monitor's wait; monitorStop and started are read by its predicates.
  keystone::Mutex monitorMutex;
  std::condition_variable monitorWake;
  std::atomic<bool> monitorStop{false};
  std::atomic<bool> monitorStarted{false};

  // Serialises starting and stopping the monitor; taken before monitorMutex.
  keystone::Mutex taskMutex;
  std::thread monitorThread GUARDED_BY(taskMutex);
  std::atomic<std::thread::id> monitorThreadId{};
};

}  // namespace mfab
