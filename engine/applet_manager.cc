#include "engine/applet_manager.h"

#include <algorithm>
#include <exception>
#include <stdexcept>
#include <utility>

#include "applet/applet_message.h"
#include "applet/kiln_exceptions.h"
#include "common/exceptions.h"
#include "common/status.h"
#include "engine/exchange_statistics.h"
#include "engine/system_power_state_manager.h"
#include "log/logger.h"
#include "tlv/client_messages.h"
#include "tlv/host_messages.h"
#include "tlv/message.h"
#include "tlv/message_types.h"
#include "tlv/piggyback_block.h"
#include "tlv/metadata.h"
#include "tlv/smart_card_messages.h"

namespace mfab {
namespace {

AuthenticateLogger& Log() { return AuthenticateLoggerService::Instance(); }

constexpr uint32_t kQueuedRequestCommand = 0;
constexpr uint32_t kIdleClearCommand = 1;
constexpr const char* kOsLoginAction = "OSLogin";
constexpr const char* kShuttingDown = "The applet manager is shutting down";

// The identity a request's payload names. A payload that does not decode names nobody: the
// applet judges the request itself and answers with its own error.
template <typename Payload>
std::string UserOf(const Message& message) {
  Payload payload;
  try {
    payload.Deserialize(message.payload);
  } catch (const TlvException& e) {
    KS_LOG(Log(), kLogWarning, "AM-FLOW", "No user in the payload of %#x (%s)",
           static_cast<unsigned>(message.messageType), e.what());
    return {};
  }
  return payload.user;
}

// Which user and which stored data a request concerns, by its message type.
struct ContextRule {
  uint32_t messageType;
  // Reads the user the payload names; nullptr for requests that name none.
  std::string (*user)(const Message& message);
  std::initializer_list<uint16_t> categories;
  bool noPiggyBack = false;
};

namespace mt = message_type;
namespace dc = data_category;

const ContextRule kContextRules[] = {
    {mt::kSystemCertificateRequest, nullptr, {dc::kCertificate}},
    {mt::kSetPolicyRequest, nullptr, {dc::kCertificate}},
    {mt::kInitAttestationRequest, nullptr, {dc::kCertificate}},
    {mt::kActionAuthenticateRequest, &UserOf<ActionAuthenticateRequest>,
     {dc::kUserEnrollment, dc::kFactorSystem}},
    {mt::kEnrollFactorRequest, &UserOf<EnrollFactorRequest>,
     {dc::kUserEnrollment, dc::kFactorSystem}},
    {mt::kSystemFactorDataRequest, nullptr, {dc::kFactorSystem}},
    {mt::kUnenrollFactorRequest, &UserOf<UnenrollFactorRequest>,
     {dc::kUserEnrollment, dc::kFactorSystem}},
    {mt::kCheckFactorEnrollmentRequest, &UserOf<CheckFactorEnrollmentRequest>,
     {dc::kUserEnrollment}},
    // The applet keeps the user's record when it has it.
    {mt::kSaveEnrollmentDataRequest, &UserOf<SaveEnrollmentDataRequest>, {dc::kUserEnrollment}},
    // StoreSecureDataRequest names no user (it has no 0x7B01); the data goes with the current one.
    {mt::kStoreSecureDataRequest, nullptr, {dc::kUserActions}},
    {mt::kAuthenticateActionRetrieveDataRequest, &UserOf<AuthenticateActionRetrieveDataRequest>,
     {dc::kGroupUser, dc::kFactorSystem, dc::kCertificate}},
    {mt::kActionAuthenticateInterAppRequest, &UserOf<ActionAuthenticateInterAppRequest>,
     {dc::kFactorSystem, dc::kGroupUser}},
    {mt::kClientClearData, nullptr, {}, true},
    {mt::kAuthenticatedUnenrollFactorRequest, &UserOf<AuthenticatedUnenrollFactorRequest>,
     {dc::kGroupUser, dc::kFactorSystem}},
    {mt::kAuthenticatedUnenrollFactorRequest2, &UserOf<AuthenticatedUnenrollFactorRequest>,
     {dc::kGroupUser, dc::kFactorSystem}},
    {mt::kGetContAuthDataRequest, &UserOf<GetContAuthDataRequest>, {dc::kUserEnrollment}},
    {mt::kInitAuthenticateActionRequest, &UserOf<InitAuthenticateActionRequest>,
     {dc::kGroupUser, dc::kFactorSystem}},
    {mt::kGetPolicyActionFactorsDataRequest, &UserOf<GetPolicyActionFactorsDataRequest>,
     {dc::kUserEnrollment}},
    {mt::kGetUserDataRequest, &UserOf<GetUserDataRequest>, {dc::kUserEnrollment}},
    {mt::kNeedUserDataResponse, &UserOf<NeedUserDataRequest>, {dc::kGroupUser}},
    {mt::kSmartCardDataForEnrollment, &UserOf<SmartCardFactor::SmartCardDataForEnrollment>,
     {dc::kUserEnrollment, dc::kFactorSystem}},
};

RequestContext ContextFor(const Message& message) {
  RequestContext context;
  for (const ContextRule& rule : kContextRules) {
    if (rule.messageType != message.messageType) continue;
    if (rule.user != nullptr) context.user = rule.user(message);
    context.categories = rule.categories;
    context.noPiggyBack = rule.noPiggyBack;
    // Every user's data (an empty user) comes from the applet's own records, not from the one
    // user's files a block can carry.
    if (message.messageType == mt::kGetUserDataRequest && context.user.empty()) {
      context.categories.clear();
    }
    break;
  }
  return context;
}

}  // namespace

// A queued request.
class AppletManager::QueuedMessage : public AppletMessage {
 public:
  using AppletMessage::AppletMessage;
};

SessionAppletChannel::SessionAppletChannel(const AppletSessionServices& services,
                                           std::shared_ptr<IKilnLibrary> library,
                                           AppletSessionOptions options)
    : session(services, std::move(library), options) {}

Bytes SessionAppletChannel::Send(uint32_t commandId, const Bytes& request,
                                 const RequestContext& context) {
  return session.Send(commandId, request, context);
}
bool SessionAppletChannel::HasOpenSession() const { return session.HasOpenSession(); }
void SessionAppletChannel::OpenSession() { session.OpenSession(); }
bool SessionAppletChannel::FwUpgraded() const { return session.FwUpgraded(); }
bool SessionAppletChannel::NeedsRecovery() const { return session.NeedsRecovery(); }
void SessionAppletChannel::Recover() { session.Recover(); }

AppletManager::AppletManager(AppletChannelFactory channelFactory, IAppletOwnership& owner,
                             std::shared_ptr<IAuthenticationState> stateManager,
                             SystemPowerStateManager& powerState, Options managerOptions)
    : factory(std::move(channelFactory)),
      resources(owner),
      authStateManager(std::move(stateManager)),
      power(powerState),
      options(managerOptions),
      recoveryPause(options.recoveryFirstDelay) {
  keystone::MutexLock lock(senderLock);
  StartSenderLocked();
}

AppletManager::~AppletManager() {
  Shutdown();
  // The queue thread has ended; the channel (and with it the library session) goes here.
  channel.reset();
}

void AppletManager::Shutdown() {
  verifySessionRequested.store(false);
  {
    keystone::MutexLock lock(senderLock);
    shutDown = true;
    StopSenderLocked();
  }
  verified.notify_all();
  {
    keystone::MutexLock lock(queueLock);
    closed = true;
  }
  FailQueued(kShuttingDown);
  pkiClears.Close();
  pkiClears.WaitIdle();
}

void AppletManager::StartSenderLocked() {
  if (sender.joinable() || shutDown) return;
  {
    keystone::MutexLock lock(queueLock);
    stopRequested.store(false);
  }
  sender = std::thread([this] { AppletMessagesQueueSender(); });
}

void AppletManager::StopSenderLocked() {
  if (!sender.joinable()) return;
  {
    keystone::MutexLock lock(queueLock);
    stopRequested.store(true);
  }
  wake.notify_all();
  // Waits for the exchange in flight, which the library layer bounds.
  sender.join();
}

void AppletManager::PowerGate() {
  // Within the sleep window the system is on its way down; after it the sleep is taken as over
  // and the missed resume runs inside this test.
  if (power.IsGoingToSleep()) {
    throw AppletCurrentlyBusyException("Wait for S3/S4 resume event has timed out");
  }
}

Bytes AppletManager::SendMessageToApplet(const Bytes& request) {
  KS_LOG(Log(), kLogInfo, "AM-START", "SendMessageToApplet");
  PowerGate();
  Bytes reply = SendMessageUsingQueue(request);
  KS_LOG(Log(), kLogInfo, "AM-END", "SendMessageToApplet");
  return reply;
}

Bytes AppletManager::ExecuteMessageToApplet(const Bytes& request) {
  KS_LOG(Log(), kLogInfo, "AM-START", "ExecuteMessageToApplet");
  PowerGate();
  Bytes reply = SendMessageUsingQueue(request);
  const Message message = Message::Parse(reply);
  if (message.messageType != message_type::kErrorReply) {
    KS_LOG(Log(), kLogInfo, "AM-END", "ExecuteMessageToApplet");
    return reply;
  }
  ErrorMessage error;
  error.Deserialize(message.payload);
  KS_LOG(Log(), kLogError, "AM-END", "Applet error reply %#x: %s",
         static_cast<unsigned>(error.errorCode), error.errorText.c_str());
  switch (error.errorCode) {
    case applet_error::kFactorNotSupported:
      throw FactorNotSupportedException(error.errorText);
    case applet_error::kAlreadyEnrolled:
      throw AlreadyEnrolledException(error.errorText);
    case applet_error::kCannotEnroll:
      throw CannotEnrollException(error.errorText);
    case applet_error::kEnrollmentError:
      throw EnrollmentError(error.errorText);
    default:
      throw TEEException(error.errorText);
  }
}

Bytes AppletManager::SendMessageUsingQueue(const Bytes& request) {
  KS_LOG(Log(), kLogInfo, "AM-FLOW", "attemp to send message to applet using queue");
  const Message message = Message::Parse(request);
  auto queued = std::make_shared<QueuedMessage>(request, ContextFor(message), message.sessionId);
  return Exchange(queued);
}

Bytes AppletManager::Exchange(const std::shared_ptr<QueuedMessage>& message) {
  if (TrySendDirectly(*message)) return message->GetAnswer(std::chrono::milliseconds(0));
  bool wakeSender = false;
  {
    keystone::MutexLock lock(queueLock);
    if (closed) throw std::runtime_error(kShuttingDown);
    queue.push_back(message);
    // A caller sending holds the queue thread off; it wakes the thread when it is done.
    wakeSender = !callerSending;
  }
  if (wakeSender) wake.notify_all();
  return message->GetAnswer(options.activityTimeout);
}

bool AppletManager::TrySendDirectly(QueuedMessage& message) {
  {
    keystone::MutexLock lock(queueLock);
    if (closed || !senderParked || callerSending || !queue.empty() || stopRequested.load() ||
        verifySessionRequested.load()) {
      return false;
    }
    callerSending = true;
  }
  // The queue thread is parked and stays so until callerSending is dropped. A channel that is
  // missing or broken is left to it: creating and recovering take time and have their own rules.
  const bool whole = channel && !recoveryDue && !channel->NeedsRecovery();
  if (whole) {
    SendOne(message);
    ScheduleRecovery();
  }
  bool wakeSender = false;
  {
    keystone::MutexLock lock(queueLock);
    callerSending = false;
    if (whole) lastCallerSend = std::chrono::steady_clock::now();
    if (recoveryDue) recoveryChanged = true;
    wakeSender =
        !queue.empty() || stopRequested.load() || verifySessionRequested.load() || recoveryChanged;
  }
  if (wakeSender) wake.notify_all();
  return whole;
}

Bytes AppletManager::GetPolicyData() {
  KS_LOG(Log(), kLogInfo, "AM-FLOW", "Get Policy Data");
  Message message;
  message.moduleId = 5;
  message.messageType = message_type::kGetPolicyDataRequest;
  message.category = 1;
  message.payload = GetPolicyDataRequest().Serialize();
  message.isResponse = false;
  message.sessionId = keystone::kNoSessionId;
  return SendMessageUsingQueue(message.Serialize());
}

std::shared_ptr<AppletManager::QueuedMessage> AppletManager::PopFront() {
  keystone::MutexLock lock(queueLock);
  if (queue.empty() || stopRequested.load()) return nullptr;
  std::shared_ptr<QueuedMessage> front = std::move(queue.front());
  queue.pop_front();
  return front;
}

void AppletManager::FailQueued(const std::string& text) {
  std::deque<std::shared_ptr<QueuedMessage>> abandoned;
  {
    keystone::MutexLock lock(queueLock);
    abandoned.swap(queue);
  }
  for (const auto& message : abandoned) {
    message->SetFailed(std::make_exception_ptr(std::runtime_error(text)));
  }
}

bool AppletManager::EnsureChannel(std::string& reason) {
  if (channel) return true;
  bool created = false;
  try {
    channel = factory();
    created = channel != nullptr;
    if (!created) reason = "no applet channel";
  } catch (const std::exception& e) {
    reason = e.what();
  } catch (...) {
    reason = "unknown failure";
  }
  if (created) {
    firmwareChanged.store(channel->FwUpgraded());
  } else {
    KS_LOG(Log(), kLogError, "AM-FLOW", "The applet channel could not be created (%s)",
           reason.c_str());
  }
  {
    keystone::MutexLock lock(channelStateLock);
    firstChannelAttemptDone = true;
  }
  channelAttempted.notify_all();
  return created;
}

bool AppletManager::WaitForFirstChannelAttempt(std::chrono::milliseconds limit) {
  keystone::MutexLock lock(channelStateLock);
  return channelAttempted.wait_for(lock.Native(), limit, [this]() REQUIRES(channelStateLock) {
    return firstChannelAttemptDone;
  });
}

void AppletManager::SendOne(QueuedMessage& message) {
  std::exception_ptr failure;
  try {
    if (!resources.IsCurrentFlowAllowed()) {
      KS_LOG(Log(), kLogWarning, "AM-FLOW", "SendMessage rejected sessionId is %d",
             static_cast<int>(message.SessionId()));
      message.SetFailed(
          std::make_exception_ptr(ConnectedStandByException("not allow to run this flow")));
      return;
    }
    std::string reason;
    if (!EnsureChannel(reason)) {
      // Requests that waited for this attempt share its outcome; a library that hangs on
      // start-up then costs them one wait, not one each. Later requests try again.
      const std::string text = "The applet is not available (" + reason + ")";
      FailQueued(text);
      throw std::runtime_error(text);
    }
    const platform::Ticks started = options.statistics ? options.statistics->Now() : 0;
    Bytes reply = channel->Send(kQueuedRequestCommand, message.Request(), message.Context());
    if (options.statistics) options.statistics->RecordExchange(started);
    message.SetAnswer(std::move(reply));
    KS_LOG(Log(), kLogInfo, "AM-FLOW", "SendMessage attempt succeeded");
  } catch (const std::exception&) {
    // The caller sees the failure as it was thrown here.
    if (options.statistics) {
      options.statistics->RecordFailure(ClassifyExchangeFailure(std::current_exception()));
    }
    failure = std::current_exception();
  } catch (...) {
    if (options.statistics) options.statistics->RecordFailure(ExchangeFailure::kOther);
    failure = std::make_exception_ptr(std::runtime_error(
        "Unknown exception occurred while attempting to send the message to the applet"));
  }
  // Handed over once this thread's handler has let go of it: the waiter then holds the
  // exception's only references and destroys it on its own thread.
  if (failure) message.SetFailed(std::move(failure));
}

void AppletManager::SendMessagesFromQueueToApplet() {
  KS_LOG(Log(), kLogInfo, "AM-START", "SendMessagesFromQueueToApplet");
  while (std::shared_ptr<QueuedMessage> message = PopFront()) SendOne(*message);
  KS_LOG(Log(), kLogInfo, "AM-END", "SendMessagesFromQueueToApplet");
}

void AppletManager::IdleRelease() {
  try {
    resources.ReleaseSessionId(keystone::kNoSessionId);
  } catch (const std::exception& e) {
    KS_LOG(Log(), kLogWarning, "AM-FLOW", "Releasing the session id failed (%s)", e.what());
  }
  try {
    authStateManager->UpdateCurrentAuthenticationErrorState(keystone::kAuthErrorAppletInactive);
  } catch (const std::exception& e) {
    KS_LOG(Log(), kLogWarning, "AM-FLOW", "Updating the authentication state failed (%s)",
           e.what());
  }
}

void AppletManager::ClearContinuationCache() {
  KS_LOG(Log(), kLogInfo, "AM-FLOW", "Clearing continuation cache");
  try {
    std::string reason;
    if (!EnsureChannel(reason)) throw std::runtime_error(reason);
    channel->Send(kIdleClearCommand, Bytes{}, RequestContext{});
  } catch (const std::exception& e) {
    KS_LOG(Log(), kLogWarning, "AM-FLOW", "Clearing continuation cache failed");
    KS_LOG(Log(), kLogInfo, "AM-FLOW", "%s", e.what());
  } catch (...) {
    KS_LOG(Log(), kLogWarning, "AM-FLOW", "Clearing continuation cache failed");
  }
}

void AppletManager::VerifyOpenSession() {
  KS_LOG(Log(), kLogInfo, "AM-FLOW", "Verify open session.");
  try {
    std::string reason;
    if (EnsureChannel(reason) && !channel->HasOpenSession()) channel->OpenSession();
  } catch (const std::exception& e) {
    // The next request opens the session again; the client only asked us to try.
    KS_LOG(Log(), kLogWarning, "AM-FLOW", "Opening the applet session failed (%s)", e.what());
  } catch (...) {
    KS_LOG(Log(), kLogWarning, "AM-FLOW", "Opening the applet session failed");
  }
  {
    keystone::MutexLock lock(queueLock);
    verifySessionRequested.store(false);
  }
  verified.notify_all();
}

void AppletManager::RequestSessionVerification() {
  {
    keystone::MutexLock lock(queueLock);
    verifySessionRequested.store(true);
  }
  wake.notify_all();
}

bool AppletManager::WaitSessionVerified(std::chrono::milliseconds limit) {
  keystone::MutexLock lock(queueLock);
  return verified.wait_for(lock.Native(), limit, [this] { return !verifySessionRequested.load(); });
}

void AppletManager::ScheduleRecovery() {
  if (channel && !channel->NeedsRecovery()) {
    recoveryDue.reset();
    recoveryPause = options.recoveryFirstDelay;
    return;
  }
  if (recoveryDue) return;
  recoveryDue = std::chrono::steady_clock::now() + recoveryPause;
  KS_LOG(Log(), kLogWarning, "AM-FLOW", "The applet channel is broken; recovering it in %lld ms",
         static_cast<long long>(recoveryPause.count()));
}

void AppletManager::RecoverChannel() {
  KS_LOG(Log(), kLogInfo, "AM-FLOW", "Recovering the applet channel");
  std::string reason;
  try {
    if (EnsureChannel(reason) && channel->NeedsRecovery()) channel->Recover();
  } catch (const std::exception& e) {
    reason = e.what();
  } catch (...) {
    reason = "unknown failure";
  }
  if (channel && !channel->NeedsRecovery()) {
    KS_LOG(Log(), kLogInfo, "AM-FLOW", "The applet channel recovered");
    ScheduleRecovery();
    return;
  }
  recoveryPause = std::min(recoveryPause * 2, options.recoveryMaxDelay);
  recoveryDue = std::chrono::steady_clock::now() + recoveryPause;
  KS_LOG(Log(), kLogWarning, "AM-FLOW",
         "Recovering the applet channel failed (%s); next attempt in %lld ms", reason.c_str(),
         static_cast<long long>(recoveryPause.count()));
}

void AppletManager::AppletMessagesQueueSender() noexcept {
  using Clock = std::chrono::steady_clock;
  try {
    KS_LOG(Log(), kLogInfo, "AM-FLOW", "Starting queue monitoring");
    {
      std::string reason;
      EnsureChannel(reason);
    }
    SendMessagesFromQueueToApplet();
    ScheduleRecovery();
    bool idleCleared = false;
    Clock::time_point idleEnd = Clock::now() + options.activityTimeout;
    for (;;) {
      bool woken = false;
      {
        keystone::MutexLock lock(queueLock);
        if (stopRequested.load() && !callerSending) {
          senderParked = false;
          KS_LOG(Log(), kLogInfo, "AM-FLOW", "Stoping queue monitoring");
          return;
        }
        // A recovery due before the idle period ends cuts the wait short without ending it. (While
        // a caller sends, the recovery's state is the caller's; it wakes this thread if it moved.)
        const Clock::time_point until =
            !callerSending && recoveryDue ? std::min(idleEnd, *recoveryDue) : idleEnd;
        const Clock::time_point parked = Clock::now();
        senderParked = true;
        woken = wake.wait_until(lock.Native(), until, [this]() REQUIRES(queueLock) {
          return !callerSending && (stopRequested.load() || verifySessionRequested.load() ||
                                    !queue.empty() || recoveryChanged);
        });
        // Whatever a caller sent meanwhile has ended: it is the channel's last activity.
        const bool callerSent = lastCallerSend >= parked;
        if (callerSent) {
          idleCleared = false;
          idleEnd = lastCallerSend + options.activityTimeout;
        }
        if (callerSending || recoveryChanged) {
          // Timed out under a caller's send, or the recovery's due time changed: wait again.
          recoveryChanged = false;
          if (callerSending) idleEnd = std::max(idleEnd, Clock::now() + options.activityTimeout);
          continue;
        }
        if (!woken && callerSent && Clock::now() < idleEnd &&
            !(recoveryDue && Clock::now() >= *recoveryDue)) {
          continue;
        }
        senderParked = false;
      }
      if (woken) {
        if (stopRequested.load()) {
          KS_LOG(Log(), kLogInfo, "AM-FLOW", "Stoping queue monitoring");
          return;
        }
        if (verifySessionRequested.load()) {
          VerifyOpenSession();
        } else {
          idleCleared = false;
          SendMessagesFromQueueToApplet();
          KS_LOG(Log(), kLogInfo, "AM-FLOW",
                 "all messages were sent to applet , waiting for new messages");
        }
        ScheduleRecovery();
        idleEnd = Clock::now() + options.activityTimeout;
        continue;
      }
      if (recoveryDue && Clock::now() >= *recoveryDue) {
        RecoverChannel();
        continue;
      }
      KS_LOG(Log(), kLogInfo, "AM-FLOW",
             "Applet wasn't active for APPLET_ACTIVITY_TIMEOUT seconds");
      IdleRelease();
      if (!idleCleared) {
        ClearContinuationCache();
        idleCleared = true;
        ScheduleRecovery();
      }
      idleEnd = Clock::now() + options.activityTimeout;
    }
  } catch (...) {
    // Only running out of memory gets here; the thread ends and queued requests time out.
    keystone::MutexLock lock(queueLock);
    senderParked = false;
  }
}

void AppletManager::SendClearTimeoutCacheForOSLoginRequest() {
  ClearActionTimeoutCacheRequest clear;
  clear.actionId = kOsLoginAction;
  Message message;
  message.moduleId = 6;
  message.messageType = message_type::kClearActionTimeoutCacheRequest;
  message.category = 1;
  message.payload = clear.Serialize();
  message.isResponse = false;
  message.sessionId = keystone::kNoSessionId;

  const Message reply = Message::Parse(SendMessageToApplet(message.Serialize()));
  BooleanResponse result;
  result.Deserialize(reply.payload);
  if (result.result != 0) KS_LOG(Log(), kLogWarning, "AM-FLOW", "Failed to clear cache timeout");

  // The running clear covers the same action; keep at most one outstanding.
  const bool previousEnded =
      pkiClears.WaitIdle(std::chrono::steady_clock::now() + options.pkiClearWait);
  keystone::MutexLock lock(pkiLock);
  if (!previousEnded || pkiClears.Running() != 0) {
    KS_LOG(Log(), kLogWarning, "AM-FLOW",
           "The previous key-storage cache clear is still running; no new one started");
    return;
  }
  pkiClears.Launch([this](std::stop_token) { SendClearTimeoutCacheToPKI(kOsLoginAction); });
}

void AppletManager::SendClearTimeoutCacheToPKI(const std::string& action) {
  try {
    const std::string sid = resources.CurrentUserSid();
    KS_LOG(Log(), kLogInfo, "AM-FLOW", "CurrentUserSid (%s)", sid.c_str());
    if (sid.empty()) return;
    // The key-storage provider that caches these authorizations exists only on the original
    // platform; here there is nothing else to clear.
    KS_LOG(Log(), kLogInfo, "AM-FLOW", "No key-storage provider cache to clear for %s",
           action.c_str());
  } catch (const std::exception& e) {
    KS_LOG(Log(), kLogWarning, "AM-FLOW", "Key-storage cache clear failed (%s)", e.what());
  } catch (...) {
    KS_LOG(Log(), kLogWarning, "AM-FLOW", "Key-storage cache clear failed");
  }
}

void AppletManager::HandlePowerSleepEvent() {
  KS_LOG(Log(), kLogInfo, "AM-START", "HandlePowerSleepEvent");
  {
    keystone::MutexLock lock(senderLock);
    StopSenderLocked();
  }
  KS_LOG(Log(), kLogInfo, "AM-FLOW", "queue activity was stopped");
  KS_LOG(Log(), kLogInfo, "AM-END", "HandlePowerSleepEvent");
}

void AppletManager::HandlePowerResumeEvent() {
  KS_LOG(Log(), kLogInfo, "AM-START", "HandlePowerResumeEvent");
  {
    keystone::MutexLock lock(senderLock);
    StartSenderLocked();
  }
  KS_LOG(Log(), kLogInfo, "AM-END", "HandlePowerResumeEvent");
}

void AppletManager::HandleSessionLockEvent() {
  KS_LOG(Log(), kLogInfo, "AM-START", "HandleSessionLockEvent");
  SendClearTimeoutCacheForOSLoginRequest();
  KS_LOG(Log(), kLogInfo, "AM-END", "HandleSessionLockEvent");
}

void AppletManager::HandleSessionLogoffEvent() {
  KS_LOG(Log(), kLogInfo, "AM-START", "HandleSessionLogoffEvent");
  SendClearTimeoutCacheForOSLoginRequest();
  KS_LOG(Log(), kLogInfo, "AM-END", "HandleSessionLogoffEvent");
}

void AppletManager::HandleEnterConnectedStandbyEvent() {
  KS_LOG(Log(), kLogInfo, "AM-START", "HandleEnterConnectedStandbyEvent");
  if (!resources.IsCurrentFlowAllowed()) resources.ReleaseSessionId(resources.OwnerSessionId());
  KS_LOG(Log(), kLogInfo, "AM-END", "HandleEnterConnectedStandbyEvent");
}

bool AppletManager::SenderRunningForTesting() {
  keystone::MutexLock lock(senderLock);
  return sender.joinable();
}

size_t AppletManager::QueueLengthForTesting() { return QueueDepth(); }

size_t AppletManager::QueueDepth() {
  keystone::MutexLock lock(queueLock);
  return queue.size();
}

}  // namespace mfab
