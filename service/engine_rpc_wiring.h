#pragma once

// The client RPC server inside the engine: the client operations over the resource manager, and
// the server as the service starts and stops it.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "rpc/engine_rpc_operations.h"
#include "rpc/rpc_server.h"
#include "rpc/server.h"
#include "service/owned_resource_manager.h"
#include "service/rpc_server_control.h"

namespace mfab {
class DesktopAuthentication;
class DiscoveryCommands;
class IEnrollmentFlowRunner;
class IDataMirroring;
class IUserRecords;
class ResourceManager;
}  // namespace mfab

namespace rpc {

// The components behind the stored-data operations (16 to 19). Borrowed; they must outlive the
// server.
struct StoredDataComponents {
  mfab::IDataMirroring& mirroring;
  mfab::IUserRecords& userRecords;
  mfab::DiscoveryCommands& discovery;
};

// The engine as the client operations reach it: the resource manager the service owns. While it
// does not exist (before the start-up made it, once its destruction began) the operations fail and
// the status call ends as if the state manager were being deleted. Thread-safe.
class ResourceManagerRpcServices final : public EngineRpcServices {
 public:
  // desktop and enrollment must outlive this object.
  ResourceManagerRpcServices(mfab::OwnedResourceManager& resourceManager,
                             StoredDataComponents storedData,
                             mfab::DesktopAuthentication& desktop,
                             mfab::IEnrollmentFlowRunner& enrollment)
      : resources(resourceManager),
        data(storedData),
        desktopAuthentication(desktop),
        enrollments(enrollment) {}

  uint32_t NextSessionId() override;
  void ReleaseSessionId(uint32_t sessionId, const keystone::ClientIdentity& client) override;
  std::vector<uint8_t> SendMessageToApplet(const std::vector<uint8_t>& request,
                                           const keystone::ClientIdentity& client) override;
  bool IsPriorityClient(const keystone::ClientIdentity& client) override;
  bool SetAsyncRpcState(bool newState) override;
  StatusPoll PollAuthenticationStatus() override;
  std::vector<uint8_t> GetAuthenticationStatus() override;
  void AuthenticationStatusUpdateCompleted() override;
  void UpdateAuthenticationErrorState(int32_t identifier, uint32_t errorCode) override;
  void RequestSessionVerification() override;
  bool SessionVerificationPending() override;
  void MirrorDataCleared() override;
  void MirrorUserUpdated(const std::string& user) override;
  void MirrorUpdateAll() override;
  void MirrorFactorStatus(const std::vector<uint8_t>& support) override;
  void ClearUserData() override;
  void UserDataUpdated(const std::string& user) override;
  void StartUserRecordTask() override;
  std::vector<uint8_t> Discover(int16_t kind, const std::vector<uint8_t>& bytes,
                                const std::string& first, const std::string& second) override;
  std::vector<uint8_t> GetSavedDisplayName(const std::string& sid) override;
  int32_t AuthenticationOnDesktop(const std::optional<keystone::ClientIdentity>& caller,
                                  int identityError, const std::string& userSid,
                                  const std::string& second,
                                  const std::function<bool()>& stopRequested) override;
  uint32_t RunEnrollmentFlow(uint32_t sessionId, const keystone::ClientIdentity& client,
                             const std::string& user, const std::string& factorId) override;
  // The resource manager's Bluetooth manager.
  std::shared_ptr<mfab::BtManager> Bluetooth() override;
  // The resource manager's phone-presence monitor.
  std::shared_ptr<mfab::IPhonePresenceMonitor> PhonePresence() override;

 private:
  // Runs work on the resource manager; mfab::EngineNotRunningError when there is none.
  template <typename Work>
  decltype(auto) Engine(Work&& work) {
    return resources.Use(std::forward<Work>(work));
  }

  mfab::OwnedResourceManager& resources;
  const StoredDataComponents data;
  mfab::DesktopAuthentication& desktopAuthentication;
  mfab::IEnrollmentFlowRunner& enrollments;
};

// The client RPC server of the service: listens on the interface's endpoint with the engine's
// operations. The service calls StartListening and StopListening from its main thread.
class EngineRpcServer final : public mfab::IRpcServerControl {
 public:
  EngineRpcServer(mfab::OwnedResourceManager& resources, StoredDataComponents storedData,
                  mfab::DesktopAuthentication& desktop, mfab::IEnrollmentFlowRunner& enrollment,
                  ServerOptions serverOptions = {}, EngineRpcOptions operationOptions = {});
  ~EngineRpcServer() override;
  EngineRpcServer(const EngineRpcServer&) = delete;
  EngineRpcServer& operator=(const EngineRpcServer&) = delete;

  // False (logged by the RPC layer) when the endpoint cannot be used.
  bool StartListening() override;
  // Stops the server (open calls end, at most serverOptions.stopTimeout).
  void StopListening() override;
  // The server's connections and calls against their limits; nothing while it does not listen.
  std::optional<ListenerUsage> Usage() { return listener.Usage(); }

 private:
  const ServerOptions serverOptions;
  ResourceManagerRpcServices services;
  EngineRpcOperations operations;
  RpcListener listener;
  std::atomic<bool> listening{false};
};

}  // namespace rpc
