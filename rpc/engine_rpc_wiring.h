#pragma once

// The client RPC server inside the engine: the client operations over the resource manager, and
// the server as the service starts and stops it.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/engine_components.h"
#include "rpc/engine_rpc_operations.h"
#include "rpc/server.h"

namespace mfab {
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

// The engine as the client operations reach it: the resource manager singleton, created on the
// first call that needs it (a call may arrive before the service's own start-up created it).
// Once closed, nothing creates it again: operations fail and the status call ends as if the
// state manager were being deleted. Thread-safe.
class ResourceManagerRpcServices final : public EngineRpcServices {
 public:
  // enrollment is borrowed and must outlive the server.
  ResourceManagerRpcServices(StoredDataComponents storedData,
                             mfab::IEnrollmentFlowRunner& enrollment)
      : data(storedData), enrollments(enrollment) {}

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
  uint32_t RunEnrollmentFlow(uint32_t sessionId, const keystone::ClientIdentity& client,
                             const std::string& user, const std::string& factorId) override;

  void Open() { closed = false; }
  void Close() { closed = true; }

 private:
  // The resource manager, created if needed; throws std::runtime_error once closed.
  std::shared_ptr<mfab::ResourceManager> Engine();

  const StoredDataComponents data;
  mfab::IEnrollmentFlowRunner& enrollments;
  std::atomic<bool> closed{false};
};

// The client RPC server of the service: listens on the interface's endpoint with the engine's
// operations. The service calls StartListening and StopListening from its main thread.
class EngineRpcServer final : public mfab::IRpcServerControl {
 public:
  EngineRpcServer(StoredDataComponents storedData, mfab::IEnrollmentFlowRunner& enrollment,
                  ServerOptions serverOptions = {}, EngineRpcOptions operationOptions = {});
  ~EngineRpcServer() override;
  EngineRpcServer(const EngineRpcServer&) = delete;
  EngineRpcServer& operator=(const EngineRpcServer&) = delete;

  // False (logged by the RPC layer) when the endpoint cannot be used.
  bool StartListening() override;
  // Stops the server (open calls end, at most serverOptions.stopTimeout), then closes the way
  // into the engine.
  void StopListening() override;

 private:
  const ServerOptions serverOptions;
  ResourceManagerRpcServices services;
  EngineRpcOperations operations;
  std::atomic<bool> listening{false};
};

}  // namespace rpc
