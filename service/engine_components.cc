#include "service/engine_components.h"

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

}  // namespace

Bytes EngineMirroringHost::GetPolicyData() {
  return resources.Use([](ResourceManager& manager) { return manager.Applet().GetPolicyData(); });
}

Bytes EngineMirroringHost::SendMessageUsingQueue(const Bytes& request) {
  return resources.Use([&](ResourceManager& manager) {
    return manager.Applet().SendMessageUsingQueue(request);
  });
}

void EngineMirroringHost::StartUserRecordTask() {
  resources.Use([](ResourceManager& manager) { manager.StartUserRecordTask(); });
}

void EngineMirroringHost::ClearUserData() {
  resources.Use([](ResourceManager& manager) { manager.ClearUserData(); });
}

Bytes EngineFlowHost::ExecuteMessageToApplet(const Bytes& request) {
  return resources.Use(
      [&](ResourceManager& manager) { return manager.ExecuteFlowMessage(request); });
}

EngineComponents::EngineComponents(EngineEnvironment engineEnvironment, Options componentOptions)
    : EngineComponents(std::move(engineEnvironment), nullptr, componentOptions) {}

EngineComponents::EngineComponents(EngineEnvironment engineEnvironment,
                                   ResourceManagerFactory managerFactory, Options componentOptions)
    : environment(std::move(engineEnvironment)),
      options(componentOptions),
      factory(std::move(managerFactory)),
      osVersion(platform::CreateOsVersion(environment.registry)),
      attestation(std::make_unique<LibraryAttestationClient>(environment.registry,
                                                             environment.verifier)) {
  if (!environment.kilnLibrary) {
    // Loaded at its first call, on the applet queue thread.
    environment.kilnLibrary = std::make_shared<SharedKilnLibrary>(environment.registry);
  }
}

EngineComponents::~EngineComponents() {
  // The server calls into the resource manager, which borrows members of this object.
  if (environment.rpcServer) environment.rpcServer->StopListening();
  DestroyResourceManager();
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
        return std::make_shared<AuthenticationStateManager>(power);
      },
      [this](IApiBusyFlag& busy) -> std::unique_ptr<IAppletChannel> {
        const AppletSessionServices services{
            environment.registry,       environment.clock,        *osVersion,
            environment.dataController, environment.policyReader, busy};
        return std::make_unique<SessionAppletChannel>(services, environment.kilnLibrary,
                                                      options.session);
      },
      environment.btManager,
      environment.softBtManager,
      environment.factorFlows,
  };
  return std::make_unique<ResourceManager>(std::move(dependencies), options.resources);
}

bool EngineComponents::StartRpcServer() {
  // Made before the server listens, so the first call finds it.
  try {
    environment.resources.Set(factory ? factory() : CreateResourceManager());
  } catch (const std::exception& e) {
    KS_LOG(Log(), kLogCritical, "FLOW", "The resource manager could not be created (%s)", e.what());
    return false;
  }
  if (!environment.rpcServer) {
    KS_LOG(Log(), kLogInfo, "FLOW", "RPC server is not present (StartListening)");
    return true;
  }
  if (environment.rpcServer->StartListening()) return true;
  DestroyResourceManager();
  return false;
}

void EngineComponents::StopRpcServer() {
  // Calls that run a flow end within a step instead of at the flow's limit, and calls waiting
  // for a phone end now instead of at their reply limit.
  if (environment.runningFlows) environment.runningFlows->Shutdown();
  if (environment.stopBluetooth) environment.stopBluetooth();
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
  bool changed = false;
  environment.resources.TryUse([&](ResourceManager& manager) {
    if (!manager.Applet().WaitForFirstChannelAttempt(options.firmwareCheckWait)) {
      KS_LOG(Log(), kLogWarning, "FLOW",
             "The applet library is still initializing; the firmware is taken as unchanged");
      return;
    }
    changed = manager.Applet().FwUpgraded();
  });
  return changed;
}

void EngineComponents::PolicyUpdated() {
  try {
    environment.mirroring.PolicyUpdated();
  } catch (const std::exception& e) {
    KS_LOG(Log(), kLogError, "FLOW", "Mirroring the policy failed (%s)", e.what());
  }
}

bool EngineComponents::RunTraceLogCleanup() {
  try {
    // Temporaries of writes that a killed engine left; this process's own are kept.
    environment.dataController.RemoveInterruptedWrites();
    return environment.dataController.DeleteEtlLogs();
  } catch (const std::exception& e) {
    KS_LOG(Log(), kLogError, "FLOW", "Trace-log clean-up failed (%s)", e.what());
    return false;
  }
}

template <typename Work>
void EngineComponents::ForEvent(const char* event, Work&& work) {
  if (!environment.resources.TryUse(std::forward<Work>(work))) {
    KS_LOG(Log(), kLogWarning, "FLOW", "%s dropped: the resource manager is not running", event);
  }
}

void EngineComponents::HandleOsUpgrade() {
  ForEvent("OS upgrade check", [](ResourceManager& m) { m.HandleOsUpgrade(); });
}

void EngineComponents::StartUserRecordTask() {
  ForEvent("User record task", [](ResourceManager& m) { m.StartUserRecordTask(); });
}

void EngineComponents::DestroyResourceManager() { environment.resources.Destroy(); }

void EngineComponents::HandlePowerSleepEvent() {
  // A user's answer or a device cannot span the sleep.
  if (environment.runningFlows) environment.runningFlows->CancelRunningFlows();
  ForEvent("Sleep event", [](ResourceManager& m) { m.HandlePowerSleepEvent(); });
}
void EngineComponents::HandlePowerResumeEvent() {
  ForEvent("Resume event", [](ResourceManager& m) { m.HandlePowerResumeEvent(); });
}
void EngineComponents::HandleConnectedStandbyEnterEvent() {
  ForEvent("Enter connected standby event",
           [](ResourceManager& m) { m.HandleConnectedStandbyEnterEvent(); });
}
void EngineComponents::HandleConnectedStandbyExitEvent() {
  ForEvent("Exit connected standby event",
           [](ResourceManager& m) { m.HandleConnectedStandbyExitEvent(); });
}
void EngineComponents::HandleLogoffEvent() {
  ForEvent("Logoff event", [](ResourceManager& m) { m.HandleLogoffEvent(); });
}
void EngineComponents::HandleSessionLockEvent() {
  ForEvent("Session lock event", [](ResourceManager& m) { m.HandleSessionLockEvent(); });
}
void EngineComponents::HandleSessionUnlockEvent() {
  ForEvent("Session unlock event", [](ResourceManager& m) { m.HandleSessionUnlockEvent(); });
}

}  // namespace mfab
