#pragma once

#include <chrono>
#include <functional>
#include <future>
#include <memory>

#include "engine/flow_host.h"
#include "engine/resource_manager.h"
#include "engine/running_flows.h"
#include "engine/service_components.h"
#include "storage/mirroring_host.h"

namespace platform {
class Accounts;
class Clock;
class OsVersion;
class Registry;
}  // namespace platform

namespace mfab {

class DataController;
class IKilnLibrary;
class IPolicyMirrorReader;
class LibraryAttestationClient;

// The client RPC server as the service starts and stops it. Not wired yet: EngineComponents takes
// one when the RPC layer provides it.
class IRpcServerControl {
 public:
  virtual ~IRpcServerControl() = default;
  // Starts listening; false (after logging why) when the server cannot listen.
  virtual bool StartListening() = 0;
  virtual void StopListening() = 0;
};

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
  const DataController& dataController;
  // The registry mirror (its triggers, and its policy identifiers for the data loader).
  IDataMirroring& mirroring;
  IPolicyMirrorReader& policyReader;
  IUserRecords& userRecords;
  // The host-interface library; nullptr loads the one the registry configures.
  std::shared_ptr<IKilnLibrary> kilnLibrary;
  // The RPC server; nullptr while the RPC layer is not wired in.
  std::shared_ptr<IRpcServerControl> rpcServer;
  // The factor-authentication flows the applet asks for, and every running flow (cancelled by a
  // sleep, shut down before the RPC server stops); nullptr: not present.
  IFactorFlowRunner* factorFlows = nullptr;
  IRunningFlows* runningFlows = nullptr;
};

// The registry mirroring's way to the applet and to the resource manager's user-data work: the
// resource manager that is running, or std::runtime_error when there is none.
class EngineMirroringHost final : public IMirroringHost {
 public:
  Bytes GetPolicyData() override;
  Bytes SendMessageUsingQueue(const Bytes& request) override;
  void StartUserRecordTask() override;
  void ClearUserData() override;
};

// A flow's way to the applet: the resource manager that is running, or std::runtime_error when
// there is none.
class EngineFlowHost final : public IFlowHost {
 public:
  Bytes ExecuteMessageToApplet(const Bytes& request) override;
};

// Everything the service host starts, stops and forwards events to, on top of the resource
// manager. Constructing it installs the resource manager's production factory; StartRpcServer
// creates the singleton, DestroyResourceManager destroys it. The start-up's mirroring steps log
// their failures instead of passing them on. Thread-safe (see ServiceComponents).
class EngineComponents final : public ServiceComponents {
 public:
  using Options = EngineComponentsOptions;

  explicit EngineComponents(EngineEnvironment environment, Options options = {});
  // As above, and the resource manager is created by factory instead (for tests).
  EngineComponents(EngineEnvironment environment, ResourceManager::Factory factory,
                   Options options = {});
  ~EngineComponents() override;
  EngineComponents(const EngineComponents&) = delete;
  EngineComponents& operator=(const EngineComponents&) = delete;

  bool StartRpcServer() override;
  void StopRpcServer() override;
  void MirrorDataIfEmpty() override;
  bool FirmwareChanged() override;
  void PolicyUpdated() override;
  std::future<bool> StartTraceLogCleanup() override;
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
  // The resource manager for an event; logs and returns nullptr when there is none.
  std::shared_ptr<ResourceManager> ManagerFor(const char* event);

  EngineEnvironment environment;
  const Options options;
  std::unique_ptr<platform::OsVersion> osVersion;
  std::unique_ptr<LibraryAttestationClient> attestation;
};

}  // namespace mfab
