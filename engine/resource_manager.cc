#include "engine/resource_manager.h"

#include <exception>
#include <stdexcept>
#include <utility>

#include "applet/kiln_exceptions.h"
#include "common/config_keys.h"
#include "common/exceptions.h"
#include "common/status.h"
#include "log/logger.h"
#include "platform/accounts.h"
#include "platform/os_version.h"
#include "platform/registry.h"

namespace mfab {
namespace {

AuthenticateLogger& Log() { return AuthenticateLoggerService::Instance(); }

constexpr const char* kOsVersionValue = "OSVersion";
constexpr uint16_t kResumeMarkKey = 0;

// Runs an event handler's work; what it throws is logged, never passed on.
template <typename Work>
void GuardEvent(const char* handler, Work work) noexcept {
  try {
    KS_LOG(Log(), kLogInfo, "FLOW", "ResourceManager %s", handler);
    work();
  } catch (const std::exception& e) {
    KS_LOG(Log(), kLogError, "FLOW", "%s failed (%s)", handler, e.what());
  } catch (...) {
    KS_LOG(Log(), kLogError, "FLOW", "%s failed (Unknown exception)", handler);
  }
}

void NotPresent(const char* component, const char* operation) {
  KS_LOG(Log(), kLogInfo, "FLOW", "%s is not present (%s)", component, operation);
}

}  // namespace

ResourceManager::ResourceManager(ResourceManagerDependencies dependencies, Options options)
    : deps(std::move(dependencies)),
      powerState(std::make_unique<SystemPowerStateManager>(deps.clock, options.power)),
      authStateManager(deps.authStateFactory(*powerState)),
      btManager(deps.btManager),
      softBtManager(deps.softBtManager),
      appletManager(std::make_shared<AppletManager>(
          [factory = deps.channelFactory, busy = &apiBusy] { return factory(*busy); }, *this,
          authStateManager, *powerState, options.applet)),
      commandHandler(CommandHandlerServices{*this, *authStateManager, deps.dataController,
                                            deps.accounts, deps.clock, deps.attestation,
                                            softBtManager.get(), deps.factorFlows},
                     options.commands) {
  KS_LOG(Log(), kLogInfo, "FLOW", "ResourceManager created");
  // Listener order: applet manager, Bluetooth manager, phone presence, authentication state.
  powerState->RegisterListener(appletManager);
  if (btManager) {
    powerState->RegisterListener(btManager);
  } else {
    NotPresent("Bluetooth manager", "power listener");
  }
  if (softBtManager) {
    powerState->RegisterListener(softBtManager);
  } else {
    NotPresent("Phone presence monitor", "power listener");
  }
  powerState->RegisterListener(authStateManager);
  // Known before the first lock, so the key-storage clear has its user.
  FindCurrentUserSid();
}

ResourceManager::~ResourceManager() {
  // Nothing may call back into this object once its destruction goes on: the queue thread first,
  // then the start-up tasks, then every listener task (destroying the power-state manager waits
  // for them).
  appletManager->Shutdown();
  startupTasks.Close();
  startupTasks.WaitIdle();
  powerState.reset();
  KS_LOG(Log(), kLogInfo, "FLOW", "ResourceManager destroyed");
}

void ResourceManager::Shutdown() { appletManager->Shutdown(); }

bool ResourceManager::IsFlowAllowed(int32_t flowType) {
  if ((flowType == kEnrollmentFlow || flowType == kAuthenticationFlow) &&
      powerState->CurrentPowerState() == SystemPowerStateManager::kConnectedStandby) {
    KS_LOG(Log(), kLogWarning, "FLOW", "Block this Flow Type in CONNECTED_STANDBY");
    return false;
  }
  return true;
}

int32_t ResourceManager::CurrentFlowType() {
  keystone::MutexLock lock(arbitrationMutex);
  return currentFlowType;
}

uint32_t ResourceManager::OwnerSessionId() {
  keystone::MutexLock lock(arbitrationMutex);
  return ownerSessionId;
}

bool ResourceManager::IsCurrentFlowAllowed() { return IsFlowAllowed(CurrentFlowType()); }

void ResourceManager::SetFlowType(uint32_t sessionId, int32_t flowType,
                                  const keystone::ClientIdentity& client) {
  keystone::MutexLock lock(arbitrationMutex);
  if (ownerSessionId == sessionId && currentFlowType == flowType && ownerUid == client.uid) {
    return;
  }
  if (ownerSessionId == keystone::kNoSessionId) {
    // IsFlowAllowed takes only the power-state mutex, which never waits for this one.
    if (!IsFlowAllowed(flowType)) {
      throw ConnectedStandByException("cannot run this flow in Connected StandBy state");
    }
    ownerSessionId = sessionId;
    ownerUid = client.uid;
    currentFlowType = flowType;
    if (flowType == kAuthenticationFlow) authenticationUid = client.uid;
    return;
  }
  KS_LOG(Log(), kLogWarning, "FLOW", "Applet is currently busy with other flow");
  throw AppletCurrentlyBusyException("Applet is currently busy with other flow");
}

bool ResourceManager::IsPriorityClient(const keystone::ClientIdentity& client) {
  if (client.Elevated()) return true;
  if (!client.Known()) return false;
  const std::string console = CurrentUserSid();
  if (console.empty()) return false;
  try {
    return deps.accounts.UserSid(client.uid) == console;
  } catch (const std::exception& e) {
    KS_LOG(Log(), kLogWarning, "FLOW", "Cannot name the user of uid %u (%s)", client.uid,
           e.what());
    return false;
  }
}

bool ResourceManager::YieldToPriorityClient(const keystone::ClientIdentity& client) {
  const bool authenticating = authStateManager->AuthenticationInProgress();
  uint32_t holder = keystone::ClientIdentity::kUnknownUid;
  {
    keystone::MutexLock lock(arbitrationMutex);
    holder = ownerSessionId != keystone::kNoSessionId ? ownerUid
             : authenticating                         ? authenticationUid
                                                      : holder;
  }
  if (holder == keystone::ClientIdentity::kUnknownUid || holder == client.uid || holder == 0) {
    return false;
  }
  // Looked up without the arbitration mutex: the console user comes from the state mutex and
  // the accounts facility.
  if (!IsPriorityClient(client)) return false;
  if (IsPriorityClient(keystone::ClientIdentity{0, holder})) return false;
  {
    keystone::MutexLock lock(arbitrationMutex);
    if (ownerSessionId != keystone::kNoSessionId && ownerUid != holder) return false;
    KS_LOG(Log(), kLogWarning, "FLOW",
           "Applet released from session %u of uid %u for uid %u (root or the console user)", ownerSessionId,
           holder, client.uid);
    ownerSessionId = keystone::kNoSessionId;
    ownerUid = keystone::ClientIdentity::kUnknownUid;
    currentFlowType = 0;
    authenticationUid = keystone::ClientIdentity::kUnknownUid;
  }
  if (authenticating) authStateManager->AbandonAuthentication(keystone::kAuthErrorAppletInactive);
  return true;
}

void ResourceManager::ReleaseSessionId(uint32_t sessionId) {
  uint32_t owner = 0;
  {
    keystone::MutexLock lock(arbitrationMutex);
    if (sessionId == keystone::kNoSessionId || sessionId == ownerSessionId) {
      ownerSessionId = keystone::kNoSessionId;
      ownerUid = keystone::ClientIdentity::kUnknownUid;
      currentFlowType = 0;
      return;
    }
    owner = ownerSessionId;
  }
  IsOwner(owner, sessionId);
}

void ResourceManager::ReleaseClientSession(uint32_t sessionId,
                                           const keystone::ClientIdentity& client) {
  uint32_t owner = 0;
  {
    keystone::MutexLock lock(arbitrationMutex);
    if ((sessionId == keystone::kNoSessionId || sessionId == ownerSessionId) &&
        (ownerUid == client.uid || client.Elevated())) {
      ownerSessionId = keystone::kNoSessionId;
      ownerUid = keystone::ClientIdentity::kUnknownUid;
      currentFlowType = 0;
      return;
    }
    owner = ownerSessionId;
  }
  IsOwner(owner, sessionId);
}

void ResourceManager::IsOwner(uint32_t ownerId, uint32_t sessionId) {
  KS_LOG(Log(), kLogWarning, "FLOW", "Applet is currently busy oner ID %d , sessionID %d",
         static_cast<int>(ownerId), static_cast<int>(sessionId));
}

Bytes ResourceManager::SendMessageToApplet(const Bytes& request,
                                           const keystone::ClientIdentity& client) {
  Bytes own = commandHandler.HandleRequest(request, client, true);
  if (!own.empty()) return own;

  Bytes last;
  try {
    last = appletManager->SendMessageToApplet(request);
    authStateManager->UpdateAuthenticationState(last);
    for (;;) {
      Bytes hostAnswer = commandHandler.HandleRequest(last, client, false);
      if (hostAnswer.empty()) break;
      last = appletManager->SendMessageToApplet(hostAnswer);
      authStateManager->UpdateAuthenticationState(last);
    }
  } catch (const KILNCallTimeoutException&) {
    KS_LOG(Log(), kLogError, "FLOW", "KILN call timed out; returning the last reply");
    authStateManager->UpdateCurrentAuthenticationErrorState(keystone::kAuthErrorKilnTimeout);
  }
  return last;
}

Bytes ResourceManager::ExecuteMessageToApplet(const Bytes& request) {
  KS_LOG(Log(), kLogInfo, "FLOW", "ExecuteMessageToApplet");
  return appletManager->ExecuteMessageToApplet(request);
}

Bytes ResourceManager::ExecuteFlowMessage(const Bytes& request) {
  KS_LOG(Log(), kLogInfo, "FLOW", "ExecuteFlowMessage");
  Bytes last = appletManager->ExecuteMessageToApplet(request);
  for (;;) {
    Bytes hostAnswer = commandHandler.HandleRequest(last, keystone::kEngineIdentity, false);
    if (hostAnswer.empty()) return last;
    last = appletManager->ExecuteMessageToApplet(hostAnswer);
  }
}

void ResourceManager::FindCurrentUserSid() {
  {
    keystone::MutexLock lock(stateMutex);
    currentUserSid.clear();
  }
  std::string sid;
  try {
    sid = deps.accounts.ConsoleUserSid();
  } catch (const std::exception& e) {
    KS_LOG(Log(), kLogWarning, "FLOW", "Cannot find the console user (%s)", e.what());
    return;
  }
  if (sid.empty()) return;
  {
    keystone::MutexLock lock(stateMutex);
    currentUserSid = sid;
  }
  KS_LOG(Log(), kLogInfo, "FLOW", "current usersid on Console Session: %s", sid.c_str());
}

std::string ResourceManager::CurrentUserSid() {
  keystone::MutexLock lock(stateMutex);
  return currentUserSid;
}

bool ResourceManager::SetAsyncRpcState(bool newState) {
  keystone::MutexLock lock(asyncMutex);
  const bool current = asyncRpcActive.load();
  KS_LOG(Log(), kLogInfo, "FLOW", "SetAsyncRpcState to %d, current state is %d", newState ? 1 : 0,
         current ? 1 : 0);
  if (current == newState) {
    KS_LOG(Log(), kLogInfo, "FLOW", "AsyncRpcState can't be changed");
    return false;
  }
  asyncRpcActive.store(newState);
  KS_LOG(Log(), kLogInfo, "FLOW", "AsyncRpcState changed is now %d", newState ? 1 : 0);
  return true;
}

void ResourceManager::HandleOsUpgrade() {
  try {
    auto key = deps.registry.CreateKey(keystone::kEngineKey, platform::reg_access::kReadWrite);
    const std::optional<platform::RegValue> stored = key->QueryValue(kOsVersionValue);
    const uint32_t old = stored ? stored->AsDword() : 0;
    const uint16_t current = platform::GetWindowsVersionClass(deps.osVersion);
    if (old == current) return;
    const std::string text = std::string("found new OS version, old: ") +
                             platform::OsGenerationName(static_cast<uint16_t>(old)) +
                             " , new :" + platform::OsGenerationName(current);
    KS_LOG(Log(), kLogInfo, "FLOW", "%s", text.c_str());
    key->SetValue(kOsVersionValue, platform::RegValue::Dword(current));
    key->Flush();
    key.reset();
    deps.mirroring.UserUpdated("");
  } catch (const std::exception& e) {
    KS_LOG(Log(), kLogError, "FLOW", "HandleOsUpgrade failed (%s)", e.what());
  } catch (...) {
    KS_LOG(Log(), kLogError, "FLOW", "HandleOsUpgrade failed");
  }
}

void ResourceManager::StartUserRecordTask() {
  IUserRecords* records = &deps.userRecords;
  startupTasks.Launch([records](std::stop_token) {
    try {
      records->updateUserRecord();
    } catch (const std::exception& e) {
      KS_LOG(Log(), kLogError, "FLOW", "User record update failed (%s)", e.what());
    } catch (...) {
      KS_LOG(Log(), kLogError, "FLOW", "User record update failed");
    }
  });
}

void ResourceManager::PhonePresenceUserData(const char* operation, const std::string* user) {
  if (!softBtManager) {
    NotPresent("Phone presence monitor", operation);
    return;
  }
  try {
    if (user != nullptr) {
      softBtManager->UserDataUpdated(*user);
    } else {
      softBtManager->UserDataCleared();
    }
  } catch (const std::exception& e) {
    KS_LOG(Log(), kLogWarning, "FLOW", "SoftBtManager %s failed (%s)", operation, e.what());
  }
}

void ResourceManager::ClearUserData() {
  KS_LOG(Log(), kLogInfo, "FLOW", "ResourceManager ClearUserData");
  PhonePresenceUserData("ClearUserData", nullptr);
  if (!btManager) {
    NotPresent("Bluetooth manager", "ClearUserData");
    return;
  }
  try {
    btManager->ClearUserData();
  } catch (const std::exception& e) {
    KS_LOG(Log(), kLogWarning, "FLOW", "BtManager ClearUserData failed (%s)", e.what());
  }
}

void ResourceManager::UserDataUpdated(const std::string& user) {
  KS_LOG(Log(), kLogInfo, "FLOW", "ResourceManager UserDataUpdated %s", user.c_str());
  PhonePresenceUserData("UserDataUpdated", &user);
  if (!btManager) {
    NotPresent("Bluetooth manager", "UserDataUpdated");
    return;
  }
  try {
    btManager->UserDataUpdated(user);
  } catch (const std::exception& e) {
    KS_LOG(Log(), kLogWarning, "FLOW", "BtManager UserDataUpdated failed (%s)", e.what());
  }
}

uint32_t ResourceManager::NextSessionId() {
  keystone::MutexLock lock(stateMutex);
  if (sessionIdCounter == keystone::kNoSessionId) sessionIdCounter = 0;
  return sessionIdCounter++;
}

bool ResourceManager::TakeResumeMark() {
  keystone::MutexLock lock(stateMutex);
  auto mark = resumeMarks.find(kResumeMarkKey);
  if (mark == resumeMarks.end()) return false;
  const bool wasSet = mark->second;
  mark->second = false;
  return wasSet;
}

void ResourceManager::HandlePowerSleepEvent() {
  GuardEvent("HandlePowerSleepEvent", [this] {
    ReleaseSessionId(keystone::kNoSessionId);
    powerState->Sleep();
    // The caller lets the machine sleep once this returns, so the listeners' work comes first.
    if (!powerState->WaitForSleepHandlers()) {
      KS_LOG(Log(), kLogWarning, "FLOW", "Sleep handling did not end in time; letting the machine sleep");
    }
  });
}

void ResourceManager::HandlePowerResumeEvent() {
  GuardEvent("HandlePowerResumeEvent", [this] {
    {
      keystone::MutexLock lock(stateMutex);
      resumeMarks[kResumeMarkKey] = true;
    }
    powerState->Resume();
  });
}

void ResourceManager::HandleSessionUnlockEvent() {
  GuardEvent("HandleSessionUnlockEvent", [this] {
    FindCurrentUserSid();
    powerState->SessionUnlock();
  });
}

void ResourceManager::HandleSessionLockEvent() {
  GuardEvent("HandleSessionLockEvent", [this] { powerState->SessionLock(); });
}

void ResourceManager::HandleLogoffEvent() {
  GuardEvent("HandleLogoffEvent", [this] {
    powerState->Logoff();
    {
      keystone::MutexLock lock(stateMutex);
      currentUserSid.clear();
    }
    if (!btManager) {
      NotPresent("Bluetooth manager", "ClearRssi");
      return;
    }
    try {
      btManager->ClearRssi();
    } catch (...) {
      KS_LOG(Log(), kLogWarning, "FLOW", "BtManager ClearRssi failed");
    }
  });
}

void ResourceManager::HandleConnectedStandbyEnterEvent() {
  GuardEvent("HandleConnectedStandbyEnterEvent", [this] {
    try {
      appletManager->SendClearTimeoutCacheForOSLoginRequest();
    } catch (const std::exception& e) {
      KS_LOG(Log(), kLogWarning, "FLOW", "Clearing the OSLogin cache failed (%s)", e.what());
    }
    powerState->EnterConnectedStandby();
  });
}

void ResourceManager::HandleConnectedStandbyExitEvent() {
  GuardEvent("HandleConnectedStandbyExitEvent", [this] { powerState->ExitConnectedStandby(); });
}

}  // namespace mfab
