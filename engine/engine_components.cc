#include "engine/engine_components.h"

#include <exception>
#include <stdexcept>
#include <utility>

#include "applet/kiln_library.h"
#include "engine/attestation_client.h"
#include "engine/authentication_state_manager.h"
#include "log/logger.h"
#include "platform/os_version.h"
#include "storage/data_controller.h"

namespace mfab {
namespace {

AuthenticateLogger& Log() { return AuthenticateLoggerService::Instance(); }

std::shared_ptr<ResourceManager> RunningManager() {
  std::shared_ptr<ResourceManager> manager = ResourceManager::Current();
  if (!manager) throw std::runtime_error("the resource manager is not running");
  return manager;
}

// The authentication state manager behind the engine's view of it.
class AuthenticationStateAdapter final : public IAuthenticationState {
 public:
  explicit AuthenticationStateAdapter(SystemPowerStateManager& powerState)
      : manager(std::make_shared<AuthenticationStateManager>(powerState)) {}

  void UpdateAuthenticationState(const Bytes& reply) override {
    manager->UpdateAuthenticationState(reply);
  }
  Bytes GetStatus() override { return manager->GetStatus(); }
  void StatusUpdateCompleted() override { manager->StatusUpdateCompleted(); }
  void UpdateAuthenticationErrorState(int32_t identifier, uint32_t errorCode) override {
    manager->UpdateAuthenticationErrorState(identifier, errorCode);
  }
  void UpdateCurrentAuthenticationErrorState(uint32_t errorCode) override {
    manager->UpdateCurrentAuthenticationErrorState(errorCode);
  }
  void AbandonAuthentication(uint32_t errorCode) override {
    manager->AbandonAuthentication(errorCode);
  }
  bool AuthenticationInProgress() override { return manager->AuthenticationInProgress(); }
  uint32_t CurrentAuthenticationActionId() override {
    return manager->CurrentAuthenticationActionId();
  }
  void SetMonitoring(bool wanted) override { manager->SetMonitoring(wanted); }
  bool StatusChanged() override { return manager->StatusChanged(); }
  bool MarkedForDeletion() override { return manager->MarkedForDeletion(); }

  void HandlePowerSleepEvent() override { manager->HandlePowerSleepEvent(); }
  void HandlePowerResumeEvent() override { manager->HandlePowerResumeEvent(); }
  void HandleSessionUnlockEvent() override { manager->HandleSessionUnlockEvent(); }
  void HandleSessionLockEvent() override { manager->HandleSessionLockEvent(); }
  void HandleSessionLogoffEvent() override { manager->HandleSessionLogoffEvent(); }
  void HandleEnterConnectedStandbyEvent() override { manager->HandleEnterConnectedStandbyEvent(); }
  void HandleExitConnectedStandbyEvent() override { manager->HandleExitConnectedStandbyEvent(); }

 private:
  const std::shared_ptr<AuthenticationStateManager> manager;
};

}  // namespace

Bytes EngineMirroringHost::GetPolicyData() { return RunningManager()->Applet().GetPolicyData(); }

Bytes EngineMirroringHost::SendMessageUsingQueue(const Bytes& request) {
  return RunningManager()->Applet().SendMessageUsingQueue(request);
}

void EngineMirroringHost::StartUserRecordTask() { RunningManager()->StartUserRecordTask(); }

void EngineMirroringHost::ClearUserData() { RunningManager()->ClearUserData(); }

Bytes EngineFlowHost::ExecuteMessageToApplet(const Bytes& request) {
  return RunningManager()->ExecuteFlowMessage(request);
}

EngineComponents::EngineComponents(EngineEnvironment engineEnvironment, Options componentOptions)
    : environment(std::move(engineEnvironment)),
      options(componentOptions),
      osVersion(platform::CreateOsVersion(environment.registry)),
      attestation(std::make_unique<LibraryAttestationClient>(environment.registry)) {
  if (!environment.kilnLibrary) {
    // Loaded at its first call, on the applet queue thread.
    environment.kilnLibrary = std::make_shared<SharedKilnLibrary>(environment.registry);
  }
  ResourceManager::InstallFactory([this] { return CreateResourceManager(); });
}

EngineComponents::EngineComponents(EngineEnvironment engineEnvironment,
                                   ResourceManager::Factory factory, Options componentOptions)
    : EngineComponents(std::move(engineEnvironment), componentOptions) {
  ResourceManager::InstallFactory(std::move(factory));
}

EngineComponents::~EngineComponents() {
  // The resource manager borrows members of this object.
  DestroyResourceManager();
  ResourceManager::InstallFactory(nullptr);
}

std::unique_ptr<ResourceManager> EngineComponents::CreateResourceManager() {
  ResourceManagerDependencies dependencies{
      environment.clock,
      environment.registry,
      environment.accounts,
      *osVersion,
      environment.dataController,
      *attestation,
      environment.mirroring,
      environment.userRecords,
      [](SystemPowerStateManager& power) -> std::shared_ptr<IAuthenticationState> {
        return std::make_shared<AuthenticationStateAdapter>(power);
      },
      [this](IApiBusyFlag& busy) -> std::unique_ptr<IAppletChannel> {
        const AppletSessionServices services{
            environment.registry,       environment.clock,        *osVersion,
            environment.dataController, environment.policyReader, busy};
        return std::make_unique<SessionAppletChannel>(services, environment.kilnLibrary,
                                                      options.session);
      },
      nullptr,
      nullptr,
      environment.factorFlows,
  };
  return std::make_unique<ResourceManager>(std::move(dependencies), options.resources);
}

bool EngineComponents::StartRpcServer() {
  if (environment.rpcServer) {
    if (!environment.rpcServer->StartListening()) return false;
  } else {
    KS_LOG(Log(), kLogInfo, "FLOW", "RPC server is not present (StartListening)");
  }
  try {
    ResourceManager::Instance();
  } catch (const std::exception& e) {
    KS_LOG(Log(), kLogCritical, "FLOW", "The resource manager could not be created (%s)", e.what());
    if (environment.rpcServer) environment.rpcServer->StopListening();
    return false;
  }
  return true;
}

void EngineComponents::StopRpcServer() {
  // Calls that run a flow end within a step instead of at the flow's limit.
  if (environment.runningFlows) environment.runningFlows->Shutdown();
  if (environment.rpcServer) {
    environment.rpcServer->StopListening();
  } else {
    KS_LOG(Log(), kLogInfo, "FLOW", "RPC server is not present (StopListening)");
  }
}

void EngineComponents::MirrorDataIfEmpty() {
  try {
    environment.mirroring.MirrorDataIfEmpty();
  } catch (const std::exception& e) {
    KS_LOG(Log(), kLogError, "FLOW", "Mirroring the stored data failed (%s)", e.what());
  }
}

bool EngineComponents::FirmwareChanged() {
  std::shared_ptr<ResourceManager> manager = ResourceManager::Current();
  if (!manager) return false;
  if (!manager->Applet().WaitForFirstChannelAttempt(options.firmwareCheckWait)) {
    KS_LOG(Log(), kLogWarning, "FLOW",
           "The applet library is still initializing; the firmware is taken as unchanged");
    return false;
  }
  return manager->Applet().FwUpgraded();
}

void EngineComponents::PolicyUpdated() {
  try {
    environment.mirroring.PolicyUpdated();
  } catch (const std::exception& e) {
    KS_LOG(Log(), kLogError, "FLOW", "Mirroring the policy failed (%s)", e.what());
  }
}

std::future<bool> EngineComponents::StartTraceLogCleanup() {
  const DataController* controller = &environment.dataController;
  return std::async(std::launch::async, [controller] {
    // Temporaries of writes that a killed engine left; this process's own are kept.
    controller->RemoveInterruptedWrites();
    try {
      return controller->DeleteEtlLogs();
    } catch (const std::exception& e) {
      KS_LOG(Log(), kLogError, "FLOW", "Trace-log clean-up failed (%s)", e.what());
      return false;
    }
  });
}

void EngineComponents::HandleOsUpgrade() {
  if (auto manager = ManagerFor("OS upgrade check")) manager->HandleOsUpgrade();
}

void EngineComponents::StartUserRecordTask() {
  if (auto manager = ManagerFor("User record task")) manager->StartUserRecordTask();
}

void EngineComponents::DestroyResourceManager() { ResourceManager::DestroyInstance(); }

std::shared_ptr<ResourceManager> EngineComponents::ManagerFor(const char* event) {
  std::shared_ptr<ResourceManager> manager = ResourceManager::Current();
  if (!manager) {
    KS_LOG(Log(), kLogWarning, "FLOW", "%s dropped: the resource manager is not running", event);
  }
  return manager;
}

void EngineComponents::HandlePowerSleepEvent() {
  // A user's answer or a device cannot span the sleep.
  if (environment.runningFlows) environment.runningFlows->CancelRunningFlows();
  if (auto m = ManagerFor("Sleep event")) m->HandlePowerSleepEvent();
}
void EngineComponents::HandlePowerResumeEvent() {
  if (auto m = ManagerFor("Resume event")) m->HandlePowerResumeEvent();
}
void EngineComponents::HandleConnectedStandbyEnterEvent() {
  if (auto m = ManagerFor("Enter connected standby event")) m->HandleConnectedStandbyEnterEvent();
}
void EngineComponents::HandleConnectedStandbyExitEvent() {
  if (auto m = ManagerFor("Exit connected standby event")) m->HandleConnectedStandbyExitEvent();
}
void EngineComponents::HandleLogoffEvent() {
  if (auto m = ManagerFor("Logoff event")) m->HandleLogoffEvent();
}
void EngineComponents::HandleSessionLockEvent() {
  if (auto m = ManagerFor("Session lock event")) m->HandleSessionLockEvent();
}
void EngineComponents::HandleSessionUnlockEvent() {
  if (auto m = ManagerFor("Session unlock event")) m->HandleSessionUnlockEvent();
}

}  // namespace mfab
