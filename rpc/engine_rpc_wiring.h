#pragma once

// The client RPC server inside the engine: the client operations over the resource manager, and
// the server as the service starts and stops it.

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/engine_components.h"
#include "rpc/engine_rpc_operations.h"
#include "rpc/server.h"

namespace mfab {
class DesktopAuthentication;
class ResourceManager;
}  // namespace mfab

namespace rpc {

// The engine as the client operations reach it: the resource manager singleton, created on the
// first call that needs it (a call may arrive before the service's own start-up created it).
// Once closed, nothing creates it again: operations fail and the status call ends as if the
// state manager were being deleted. Thread-safe.
class ResourceManagerRpcServices final : public EngineRpcServices {
 public:
  // desktop must outlive this object.
  explicit ResourceManagerRpcServices(mfab::DesktopAuthentication& desktop)
      : desktopAuthentication(desktop) {}

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
  int32_t AuthenticationOnDesktop(const mfab::DesktopCaller& caller, const std::string& userSid,
                                  const std::string& second,
                                  const std::function<bool()>& stopRequested) override;

  void Open() { closed = false; }
  void Close() { closed = true; }

 private:
  // The resource manager, created if needed; throws std::runtime_error once closed.
  std::shared_ptr<mfab::ResourceManager> Engine();

  mfab::DesktopAuthentication& desktopAuthentication;
  std::atomic<bool> closed{false};
};

// The client RPC server of the service: listens on the interface's endpoint with the engine's
// operations. The service calls StartListening and StopListening from its main thread.
class EngineRpcServer final : public mfab::IRpcServerControl {
 public:
  // desktop must outlive the server.
  explicit EngineRpcServer(mfab::DesktopAuthentication& desktop, ServerOptions serverOptions = {},
                           EngineRpcOptions operationOptions = {});
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
