#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "applet/api_busy_flag.h"
#include "common/client_identity.h"
#include "common/mutex.h"
#include "common/task_group.h"
#include "engine/applet_manager.h"
#include "engine/bluetooth_manager.h"
#include "engine/command_handler.h"
#include "engine/system_power_state_manager.h"
#include "storage/data_mirroring.h"
#include "storage/user_records_interface.h"
#include "tlv/tlv.h"

namespace platform {
class Accounts;
class Clock;
class OsVersion;
class Registry;
}  // namespace platform

namespace mfab {

class DataController;
class IAttestationClient;

// Creates the authentication state manager over the power-state manager it must consult.
using AuthenticationStateFactory =
    std::function<std::shared_ptr<IAuthenticationState>(SystemPowerStateManager&)>;
// Creates the applet channel (on the queue thread) with the flag an upgrade raises.
using AppletChannelFactoryWithBusyFlag =
    std::function<std::unique_ptr<IAppletChannel>(IApiBusyFlag&)>;

// Everything the resource manager is built from. References are borrowed and must outlive it;
// the nullable members stand for components that are not present yet.
struct ResourceManagerDependencies {
  platform::Clock& clock;
  platform::Registry& registry;
  platform::Accounts& accounts;
  platform::OsVersion& osVersion;
  const DataController& dataController;
  IAttestationClient& attestation;
  IDataMirroring& mirroring;
  IUserRecords& userRecords;
  AuthenticationStateFactory authStateFactory;
  AppletChannelFactoryWithBusyFlag channelFactory;
  // Null when the engine has none: the Bluetooth manager, the phone-presence monitor
  // (SoftBtManager) and the factor-authentication flows.
  std::shared_ptr<IBluetoothManager> btManager;
  std::shared_ptr<IPhonePresenceMonitor> softBtManager;
  IFactorFlowRunner* factorFlows = nullptr;
};

struct ResourceManagerOptions {
  AppletManagerOptions applet;
  SystemPowerStateManager::Options power;
  CommandHandlerOptions commands;
};

// The engine's long-lived services and the arbiter of the applet: owns the power-state manager,
// the authentication state manager, the applet manager and the command handler; decides which
// client session may run a flow against the applet; carries client requests through the command
// handler and the applet manager while the applet asks for host work; knows the console user's
// SID; detects an operating-system upgrade.
//
// The one instance the service owns (service/owned_resource_manager.h), created before the RPC
// server listens and destroyed on the service's thread at stop, after every caller left.
// Thread-safe: called from RPC threads, flow threads, event tasks and the applet queue thread.
// The event handlers and HandleOsUpgrade never throw.
class ResourceManager final : public IAppletOwnership, public ICommandHandlerHost {
 public:
  using Options = ResourceManagerOptions;

  // Flow types of the command handler that connected standby blocks.
  static constexpr int32_t kEnrollmentFlow = 1;
  static constexpr int32_t kAuthenticationFlow = 2;

  ResourceManager(ResourceManagerDependencies dependencies, Options options = {});
  ~ResourceManager() override;
  ResourceManager(const ResourceManager&) = delete;
  ResourceManager& operator=(const ResourceManager&) = delete;

  // Stops the applet queue (requests waiting for it fail) ahead of destruction, so callers
  // inside the manager leave. Idempotent; never throws.
  void Shutdown();

  // True unless the machine is in connected standby and the flow type is 1 or 2.
  bool IsFlowAllowed(int32_t flowType);
  // Claims the applet for the client's sessionId and flowType. Throws
  // AppletCurrentlyBusyException when another session or flow holds it (a session id is the
  // client's only together with its user), ConnectedStandByException when the flow is blocked.
  void SetFlowType(uint32_t sessionId, int32_t flowType,
                   const keystone::ClientIdentity& client) override;
  // When the client is root or the console user and the applet, or the authentication that
  // runs, was claimed by another user (who is neither): frees the applet and ends that
  // authentication with error 0xA000005A, as if its holder had gone idle. True when it did.
  bool YieldToPriorityClient(const keystone::ClientIdentity& client) override;
  // Root, or the user of the console session: the clients no other user may keep out.
  bool IsPriorityClient(const keystone::ClientIdentity& client);
  // The engine's release: frees the applet when sessionId owns it or is 0xFFFFFFFF; otherwise
  // logs and keeps it.
  void ReleaseSessionId(uint32_t sessionId) override;
  // A client's release: as ReleaseSessionId, but only the user who claimed the applet (or root)
  // frees it.
  void ReleaseClientSession(uint32_t sessionId, const keystone::ClientIdentity& client);

  // A client request through the command handler and the applet, with the applet's requests for
  // host work answered on the way; returns the last reply (or the handler's own answer). A
  // library time-out records error 0x301 and returns the last reply received (empty if none).
  // Throws what the command handler and the applet manager throw.
  Bytes SendMessageToApplet(const Bytes& request, const keystone::ClientIdentity& client);
  // The engine's own request; error replies are thrown (see AppletManager).
  Bytes ExecuteMessageToApplet(const Bytes& request);
  // A flow's request: as ExecuteMessageToApplet, and the applet's requests for host work on the
  // way are answered (as for a client's request) until its final reply, which is returned.
  // Throws what ExecuteMessageToApplet and the command handler throw.
  Bytes ExecuteFlowMessage(const Bytes& request);

  // Looks up the console user's SID into CurrentUserSid (empty when none); never throws.
  void FindCurrentUserSid();
  std::string CurrentUserSid() override;
  // Test-and-set of the asynchronous-call flag: false when it already had newState.
  bool SetAsyncRpcState(bool newState);
  // Records the OS generation and triggers user-data mirroring when it changed; never throws.
  void HandleOsUpgrade();
  // Starts the user-record update on its own task (kept until destruction).
  void StartUserRecordTask();
  // The phone-presence monitor and the Bluetooth manager drop their devices' user state. Logs
  // each component that fails or is not present; never throws.
  void ClearUserData();
  // A user's data changed (empty: every user's): the phone-presence monitor and the Bluetooth
  // manager each forget their phone unless the user has their factor enrolled. Logs as ClearUserData; never throws.
  void UserDataUpdated(const std::string& user);
  // The next client session id (GetSessionIdRpc); never 0xFFFFFFFF.
  uint32_t NextSessionId();

  // Raised while a security-version upgrade runs.
  IApiBusyFlag& ApiBusyFlag() { return apiBusy; }
  bool ApiBusy() override { return apiBusy.IsSet(); }
  // Reads and clears the mark the last resume left.
  bool TakeResumeMark() override;

  // Returns after the power-state listeners' sleep handling has ended (or its wait limit passed).
  void HandlePowerSleepEvent();
  void HandlePowerResumeEvent();
  void HandleSessionUnlockEvent();
  void HandleSessionLockEvent();
  void HandleLogoffEvent();
  void HandleConnectedStandbyEnterEvent();
  void HandleConnectedStandbyExitEvent();

  IAuthenticationState& AuthStateManager() { return *authStateManager; }
  AppletManager& Applet() { return *appletManager; }
  SystemPowerStateManager& PowerState() { return *powerState; }
  CommandHandler& Commands() { return commandHandler; }
  // Null while the component is not present.
  const std::shared_ptr<IBluetoothManager>& BtManager() const { return btManager; }
  const std::shared_ptr<IPhonePresenceMonitor>& SoftBtManager() const { return softBtManager; }

  bool IsCurrentFlowAllowed() override;
  uint32_t OwnerSessionId() override;
  int32_t CurrentFlowType();

 private:
  // The phone-presence monitor's part of ClearUserData (user null) and UserDataUpdated; logs
  // its failure.
  void PhonePresenceUserData(const char* operation, const std::string* user);
  // Logs the refusal of a release by a session that does not own the applet.
  void IsOwner(uint32_t ownerId, uint32_t sessionId);

  ResourceManagerDependencies deps;

  keystone::Mutex asyncMutex;  // Guards the test-and-set of the flag below.
  std::atomic<bool> asyncRpcActive{false};
  AtomicApiBusyFlag apiBusy;

  keystone::Mutex arbitrationMutex;  // Guards the members below.
  uint32_t ownerSessionId GUARDED_BY(arbitrationMutex) = 0xFFFFFFFF;
  uint32_t ownerUid GUARDED_BY(arbitrationMutex) = keystone::ClientIdentity::kUnknownUid;
  int32_t currentFlowType GUARDED_BY(arbitrationMutex) = 0;
  // Who last claimed the applet for an authentication flow: the authentication that runs is
  // theirs, also after they released the applet.
  uint32_t authenticationUid GUARDED_BY(arbitrationMutex) =
      keystone::ClientIdentity::kUnknownUid;

  keystone::Mutex stateMutex;  // Guards the members below.
  std::string currentUserSid GUARDED_BY(stateMutex);
  std::map<uint16_t, bool> resumeMarks GUARDED_BY(stateMutex);
  uint32_t sessionIdCounter GUARDED_BY(stateMutex) = 1;

  // Destroyed explicitly before the listeners it holds (see the destructor).
  std::unique_ptr<SystemPowerStateManager> powerState;
  std::shared_ptr<IAuthenticationState> authStateManager;
  std::shared_ptr<IBluetoothManager> btManager;
  std::shared_ptr<IPhonePresenceMonitor> softBtManager;
  std::shared_ptr<AppletManager> appletManager;
  CommandHandler commandHandler;
  // The start-up tasks (the user-record update); joined before the members they use go.
  keystone::TaskGroup startupTasks;
};

}  // namespace mfab
