#pragma once

#include <chrono>
#include <functional>
#include <future>
#include <memory>

#include "engine/resource_manager.h"
#include "engine/service_components.h"

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
  // Checks the plug-ins the engine loads (the attestation client).
  platform::SignedFileVerifier& verifier;
  const DataController& dataController;
  IPolicyMirrorReader& policyReader;
  // The host-interface library; nullptr loads the one the registry configures.
  std::shared_ptr<IKilnLibrary> kilnLibrary;
  // The RPC server; nullptr while the RPC layer is not wired in.
  std::shared_ptr<IRpcServerControl> rpcServer;
};

// Everything the service host starts, stops and forwards events to, on top of the resource
// manager. Constructing it installs the resource manager's production factory; StartRpcServer
// creates the singleton, DestroyResourceManager destroys it. Registry mirroring and the user
// records are not present yet: their operations log that. Thread-safe (see ServiceComponents).
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
  DataMirroringNotPresent mirroring;
  UserRecordsNotPresent userRecords;
};

}  // namespace mfab
