#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "applet/api_busy_flag.h"
#include "applet/applet_session.h"
#include "applet/request_context.h"
#include "common/mutex.h"
#include "common/task_group.h"
#include "engine/applet_channel.h"
#include "engine/applet_ownership.h"
#include "engine/authentication_state.h"
#include "engine/system_power_state.h"
#include "tlv/tlv.h"

namespace mfab {

class ExchangeStatistics;

class AppletMessage;
class SystemPowerStateManager;

// Creates the channel; throws when the host-interface library cannot be loaded or initialized.
// Called on the queue thread only.
using AppletChannelFactory = std::function<std::unique_ptr<IAppletChannel>()>;

// The channel over a real AppletSession. Owns what the session borrows except services' members.
class SessionAppletChannel final : public IAppletChannel {
 public:
  // Constructing it initializes the library (see TeeApplet) and throws what that throws.
  SessionAppletChannel(const AppletSessionServices& services, std::shared_ptr<IKilnLibrary> library,
                       AppletSessionOptions options = {});

  Bytes Send(uint32_t commandId, const Bytes& request, const RequestContext& context) override;
  bool HasOpenSession() const override;
  void OpenSession() override;
  bool FwUpgraded() const override;
  bool NeedsRecovery() const override;
  void Recover() override;

 private:
  AppletSession session;
};

// Limits of the applet manager; tests shrink them.
struct AppletManagerOptions {
  // APPLET_ACTIVITY_TIMEOUT: the queue thread's idle period and a caller's wait for its answer.
  std::chrono::milliseconds activityTimeout{std::chrono::seconds(60)};
  // How long a lock or log-off waits for the previous key-storage clear before leaving it be.
  std::chrono::milliseconds pkiClearWait{std::chrono::seconds(60)};
  // A channel left broken (not created, no library handle, no session) is recovered by the queue
  // thread in the background: first after recoveryFirstDelay, then after twice the previous
  // pause each time, at most recoveryMaxDelay.
  std::chrono::milliseconds recoveryFirstDelay{std::chrono::seconds(1)};
  std::chrono::milliseconds recoveryMaxDelay{std::chrono::seconds(60)};
  // Where each queued exchange's time or failure is counted; none: not counted. Borrowed.
  ExchangeStatistics* statistics = nullptr;
};

// The single way to the applet: every exchange goes through one queue served by one thread, the
// queue sender, which owns the applet channel; callers block until their answer arrives. A caller
// that finds the queue empty and the sender parked sends its request itself on its own thread,
// with the sender held off meanwhile: one exchange at a time, in arrival order, as before, without
// two thread switches. Maps the
// applet's error replies to exceptions for the engine's own requests, cleans up after the applet
// has been idle, and reacts to sleep, resume, lock, log-off and connected standby.
//
// The channel is created by the queue thread when it starts and again before a request whenever
// the last attempt failed, so construction is quick and an applet that cannot be reached fails
// the requests (with the reason) instead of the engine. A channel that a failure left broken (not
// created, or without a library handle or session) is also recovered by the queue thread between
// requests, with growing pauses, so it is whole again before the next request needs it.
//
// Owned (shared) by the resource manager and the power-state manager's listener list.
// Thread-safe. Lock order: senderLock before queueLock; no lock is held while the applet, the
// resource manager or the authentication state manager is called.
class AppletManager : public ISystemPowerState {
 public:
  using Options = AppletManagerOptions;

  // owner and powerState must outlive this object. Starts the queue thread.
  AppletManager(AppletChannelFactory channelFactory, IAppletOwnership& owner,
                std::shared_ptr<IAuthenticationState> authStateManager,
                SystemPowerStateManager& powerState, Options options = {});
  ~AppletManager() override;
  AppletManager(const AppletManager&) = delete;
  AppletManager& operator=(const AppletManager&) = delete;

  // Power gate, then the queue; returns the reply as it came, error replies included. Throws
  // AppletCurrentlyBusyException during the first moments of a sleep, what SendMessageUsingQueue
  // throws, and KILNCallTimeoutException when the library call timed out.
  Bytes SendMessageToApplet(const Bytes& request);
  // As SendMessageToApplet, but an error reply is thrown: FactorNotSupportedException,
  // AlreadyEnrolledException, CannotEnrollException, EnrollmentError or TEEException, each with
  // the applet's text.
  Bytes ExecuteMessageToApplet(const Bytes& request);
  // Queues the request (no power gate) and waits up to activityTimeout for its reply, or sends it
  // at once on this thread when the queue is empty and the sender idle. Throws
  // TlvException for a malformed request, std::runtime_error "waiting for applet message to
  // complete has timed out", SVNUpgradeException, ConnectedStandByException or the stored
  // failure's std::runtime_error.
  Bytes SendMessageUsingQueue(const Bytes& request);
  // Asks the applet for its policy (reply payload GetPolicyDataResponse).
  Bytes GetPolicyData();

  // Tells the applet to drop the cached "OSLogin" authorization, then starts the key-storage
  // clear in the background (after the previous one ended). Throws what the send throws.
  void SendClearTimeoutCacheForOSLoginRequest();
  // The key-storage provider's cache clear for the console user; never throws.
  void SendClearTimeoutCacheToPKI(const std::string& action);

  // Makes the queue thread ensure that a session is open; WaitSessionVerified waits until it has
  // tried (true) or limit passed (false).
  void RequestSessionVerification();
  bool WaitSessionVerified(std::chrono::milliseconds limit);
  bool SessionVerificationPending() const { return verifySessionRequested.load(); }

  // Waits until the queue thread's first attempt to create the channel ended (true) or limit
  // passed (false); then FwUpgraded says whether that found a firmware change.
  bool WaitForFirstChannelAttempt(std::chrono::milliseconds limit);
  bool FwUpgraded() const { return firmwareChanged.load(); }

  // Stops the queue thread and waits for the key-storage clear; what the destructor does first.
  // Requests still queued fail. Idempotent.
  void Shutdown();

  void HandlePowerSleepEvent() override;
  void HandlePowerResumeEvent() override;
  void HandleSessionLockEvent() override;
  void HandleSessionLogoffEvent() override;
  void HandleEnterConnectedStandbyEvent() override;

  bool SenderRunningForTesting();
  size_t QueueLengthForTesting();
  // Requests waiting for the queue thread (the one being sent not included).
  size_t QueueDepth();

 private:
  class QueuedMessage;

  // Throws AppletCurrentlyBusyException while a sleep is in progress.
  void PowerGate();
  // Queues message and waits for its outcome, or sends it itself (see TrySendDirectly).
  Bytes Exchange(const std::shared_ptr<QueuedMessage>& message);
  // Sends message on the calling thread when the sender is parked with nothing queued and the
  // channel is whole; false (nothing done) otherwise.
  bool TrySendDirectly(QueuedMessage& message);
  void StartSenderLocked() REQUIRES(senderLock);
  void StopSenderLocked() REQUIRES(senderLock);
  void AppletMessagesQueueSender() noexcept;
  void SendMessagesFromQueueToApplet();
  void SendOne(QueuedMessage& message);
  // Releases the owner and records the inactivity error after an idle period; never throws.
  void IdleRelease();
  void ClearContinuationCache();
  void VerifyOpenSession();
  // Creates the channel when there is none; false (and reason filled) when that failed.
  bool EnsureChannel(std::string& reason);
  // Arms the background recovery when the channel is broken, forgets it when it is whole.
  void ScheduleRecovery();
  // One background attempt; on failure the next is due after a doubled pause.
  void RecoverChannel();
  std::shared_ptr<QueuedMessage> PopFront();
  // Fails every request still queued with text.
  void FailQueued(const std::string& text);

  const AppletChannelFactory factory;
  IAppletOwnership& resources;
  const std::shared_ptr<IAuthenticationState> authStateManager;
  SystemPowerStateManager& power;
  const Options options;

  // Touched by the queue thread while it is not parked, by a caller holding callerSending (see
  // below), and by the destructor after the thread ended: never by two threads at once.
  std::unique_ptr<IAppletChannel> channel;
  // The background recovery: when the next attempt is due (none while the channel is whole) and
  // the pause before it. Touched as the channel is.
  std::optional<std::chrono::steady_clock::time_point> recoveryDue;
  std::chrono::milliseconds recoveryPause{0};

  keystone::Mutex senderLock;  // Guards starting and stopping the sender.
  std::thread sender GUARDED_BY(senderLock);
  bool shutDown GUARDED_BY(senderLock) = false;

  keystone::Mutex queueLock;  // Guards the queue and the waits on wake.
  std::condition_variable wake;
  std::deque<std::shared_ptr<QueuedMessage>> queue GUARDED_BY(queueLock);
  bool closed GUARDED_BY(queueLock) = false;  // Shutdown began; nothing is queued any more.
  // The queue thread waits for work and touches nothing of the channel's; only then may a caller
  // take callerSending and use the channel itself.
  bool senderParked GUARDED_BY(queueLock) = false;
  bool callerSending GUARDED_BY(queueLock) = false;
  // When the last request sent by its caller ended (the idle period counts from it), and whether
  // the queue thread must look at the recovery's due time again.
  std::chrono::steady_clock::time_point lastCallerSend GUARDED_BY(queueLock);
  bool recoveryChanged GUARDED_BY(queueLock) = false;
  // Written under queueLock (so no wake-up is missed), read anywhere.
  std::atomic<bool> stopRequested{false};
  std::atomic<bool> verifySessionRequested{false};
  std::condition_variable verified;

  keystone::Mutex channelStateLock;  // Guards the member below.
  std::condition_variable channelAttempted;
  bool firstChannelAttemptDone GUARDED_BY(channelStateLock) = false;
  std::atomic<bool> firmwareChanged{false};

  // The key-storage clear runs as a task; pkiLock makes "none running, start one" one step, and
  // is never held while waiting for the previous clear.
  keystone::Mutex pkiLock;
  keystone::TaskGroup pkiClears;
};

}  // namespace mfab
