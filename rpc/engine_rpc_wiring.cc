#include "rpc/engine_rpc_wiring.h"

#include <stdexcept>
#include <utility>

#include "engine/desktop_authentication.h"
#include "engine/resource_manager.h"
#include "rpc/rpc_server.h"

namespace rpc {

std::shared_ptr<mfab::ResourceManager> ResourceManagerRpcServices::Engine() {
  if (closed) throw std::runtime_error("the engine is stopping");
  std::shared_ptr<mfab::ResourceManager> manager = mfab::ResourceManager::Current();
  if (manager) return manager;
  mfab::ResourceManager::Instance();
  manager = mfab::ResourceManager::Current();
  if (!manager) throw std::runtime_error("the engine is stopping");
  return manager;
}

uint32_t ResourceManagerRpcServices::NextSessionId() { return Engine()->NextSessionId(); }

void ResourceManagerRpcServices::ReleaseSessionId(uint32_t sessionId,
                                                  const keystone::ClientIdentity& client) {
  Engine()->ReleaseClientSession(sessionId, client);
}

std::vector<uint8_t> ResourceManagerRpcServices::SendMessageToApplet(
    const std::vector<uint8_t>& request, const keystone::ClientIdentity& client) {
  return Engine()->SendMessageToApplet(request, client);
}

bool ResourceManagerRpcServices::IsPriorityClient(const keystone::ClientIdentity& client) {
  return Engine()->IsPriorityClient(client);
}

bool ResourceManagerRpcServices::SetAsyncRpcState(bool newState) {
  return Engine()->SetAsyncRpcState(newState);
}

EngineRpcServices::StatusPoll ResourceManagerRpcServices::PollAuthenticationStatus() {
  // A fresh reference each poll: the loop must not keep the engine alive while it stops.
  std::shared_ptr<mfab::ResourceManager> manager =
      closed ? nullptr : mfab::ResourceManager::Current();
  if (!manager) return StatusPoll::kMarkedForDeletion;
  mfab::IAuthenticationState& state = manager->AuthStateManager();
  if (state.MarkedForDeletion()) return StatusPoll::kMarkedForDeletion;
  return state.StatusChanged() ? StatusPoll::kChanged : StatusPoll::kUnchanged;
}

std::vector<uint8_t> ResourceManagerRpcServices::GetAuthenticationStatus() {
  return Engine()->AuthStateManager().GetStatus();
}

void ResourceManagerRpcServices::AuthenticationStatusUpdateCompleted() {
  if (std::shared_ptr<mfab::ResourceManager> manager = mfab::ResourceManager::Current()) {
    manager->AuthStateManager().StatusUpdateCompleted();
  }
}

void ResourceManagerRpcServices::UpdateAuthenticationErrorState(int32_t identifier,
                                                                uint32_t errorCode) {
  Engine()->AuthStateManager().UpdateAuthenticationErrorState(identifier, errorCode);
}

void ResourceManagerRpcServices::RequestSessionVerification() {
  Engine()->Applet().RequestSessionVerification();
}

bool ResourceManagerRpcServices::SessionVerificationPending() {
  std::shared_ptr<mfab::ResourceManager> manager = mfab::ResourceManager::Current();
  return manager && manager->Applet().SessionVerificationPending();
}

int32_t ResourceManagerRpcServices::AuthenticationOnDesktop(
    const mfab::DesktopCaller& caller, const std::string& userSid, const std::string& second,
    const std::function<bool()>& stopRequested) {
  // Needs nothing of the resource manager: it may run while the engine stops.
  return desktopAuthentication.AuthenticationOnDesktopRpc(caller, userSid, second, stopRequested);
}

EngineRpcServer::EngineRpcServer(mfab::DesktopAuthentication& desktop, ServerOptions options,
                                 EngineRpcOptions operationOptions)
    : serverOptions(std::move(options)),
      services(desktop),
      operations(services, operationOptions) {}

EngineRpcServer::~EngineRpcServer() {
  if (listening) StopListening();
}

bool EngineRpcServer::StartListening() {
  services.Open();
  const bool started = RpcStartListening(&operations, serverOptions);
  listening = started;
  return started;
}

void EngineRpcServer::StopListening() {
  RpcStopListening();
  listening = false;
  services.Close();
}

}  // namespace rpc
