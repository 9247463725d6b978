#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include "engine/flow_host.h"
#include "engine/resource_manager.h"
#include "engine/running_flows.h"
#include "engine/service_components.h"
#include "service/owned_resource_manager.h"
#include "service/rpc_server_control.h"
#include "storage/mirroring_host.h"

namespace platform {
class Accounts;
class Clock;
class OsVersion;
class Registry;
class SignedFileVerifier;
}  // namespace platform

namespace mfab {

class DataController;
class IKilnLibrary;
class IPolicyMirrorReader;
class LibraryAttestationClient;

struct EngineComponentsOptions {
  ResourceManagerOptions resources;
  AppletSessionOptions session;
  // How long the start-up waits for the applet library's first initialization before it takes
  // the firmware as unchanged.
  std::chrono::milliseconds firmwareCheckWait{std::chrono::seconds(60)};
};

// The production collaborators of the resource manager. References must outlive the components;
// the rest is owned by them.
struct EngineEnvironment {
  platform::Clock& clock;
  platform::Registry& registry;
  platform::Accounts& accounts;
  // Checks the plug-ins the engine loads (the attestation client).
  platform::SignedFileVerifier& verifier;
  const DataController& dataController;
  // The registry mirror (its triggers, and its policy identifiers for the data loader).
  IDataMirroring& mirroring;
  IPolicyMirrorReader& policyReader;
  IUserRecords& userRecords;
  // The host-interface library; nullptr loads the one the registry configures.
  std::shared_ptr<IKilnLibrary> kilnLibrary;
  // Where the resource manager these components create lives, as other threads reach it.
  OwnedResourceManager& resources;
  // The RPC server (over resources); nullptr for none.
  IRpcServerControl* rpcServer;
  // The factor-authentication flows the applet asks for, and every running flow (cancelled by a
  // sleep, shut down before the RPC server stops); nullptr: not present.
  IFactorFlowRunner* factorFlows = nullptr;
  IRunningFlows* runningFlows = nullptr;
  // The Bluetooth manager (a power listener of the resource manager); nullptr: not present.
  std::shared_ptr<IBluetoothManager> btManager;
  // Ends every wait on a phone before the RPC server waits for its calls; empty: nothing to stop.
  std::function<void()> stopBluetooth;
  // The phone-presence monitor (a power listener of the resource manager); nullptr: not present.
  std::shared_ptr<IPhonePresenceMonitor> softBtManager;
};

// The registry mirroring's way to the applet and to the resource manager's user-data work,
// through the resource manager the service owns; EngineNotRunningError when there is none.
class EngineMirroringHost final : public IMirroringHost {
 public:
  explicit EngineMirroringHost(OwnedResourceManager& resourceManager) : resources(resourceManager) {}

  Bytes GetPolicyData() override;
  Bytes SendMessageUsingQueue(const Bytes& request) override;
  void StartUserRecordTask() override;
  void ClearUserData() override;

 private:
  OwnedResourceManager& resources;
};

// A flow's way to the applet: the resource manager the service owns, or EngineNotRunningError
// when there is none.
class EngineFlowHost final : public IFlowHost {
 public:
  explicit EngineFlowHost(OwnedResourceManager& resourceManager) : resources(resourceManager) {}

  Bytes ExecuteMessageToApplet(const Bytes& request) override;

 private:
  OwnedResourceManager& resources;
};

// Everything the service host starts, stops and forwards events to. Creates the resource manager
// in StartRpcServer, before the RPC server listens, and destroys it in DestroyResourceManager on
// the service's thread once nobody uses it. The start-up's mirroring steps log their failures
// instead of passing them on. Thread-safe (see ServiceComponents).
class EngineComponents final : public ServiceComponents {
 public:
  using Options = EngineComponentsOptions;
  using ResourceManagerFactory = std::function<std::unique_ptr<ResourceManager>()>;

  explicit EngineComponents(EngineEnvironment environment, Options options = {});
  // As above, and the resource manager is created by factory instead (for tests).
  EngineComponents(EngineEnvironment environment, ResourceManagerFactory factory,
                   Options options = {});
  ~EngineComponents() override;
  EngineComponents(const EngineComponents&) = delete;
  EngineComponents& operator=(const EngineComponents&) = delete;

  bool StartRpcServer() override;
  void StopRpcServer() override;
  void MirrorDataIfEmpty() override;
  bool FirmwareChanged() override;
  void PolicyUpdated() override;
  bool RunTraceLogCleanup() override;
  void HandleOsUpgrade() override;
  void StartUserRecordTask() override;
  void DestroyResourceManager() override;

  void HandlePowerSleepEvent() override;
  void HandlePowerResumeEvent() override;
  void HandleConnectedStandbyEnterEvent() override;
  void HandleConnectedStandbyExitEvent() override;
  void HandleLogoffEvent() override;
  void HandleSessionLockEvent() override;
  void HandleSessionUnlockEvent() override;

  // The production resource manager over this object's collaborators.
  std::unique_ptr<ResourceManager> CreateResourceManager();

 private:
  // Runs an event's work on the resource manager; logs when there is none.
  template <typename Work>
  void ForEvent(const char* event, Work&& work);

  EngineEnvironment environment;
  const Options options;
  const ResourceManagerFactory factory;
  std::unique_ptr<platform::OsVersion> osVersion;
  std::unique_ptr<LibraryAttestationClient> attestation;
};

}  // namespace mfab
