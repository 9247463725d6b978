#include "rpc/engine_rpc_wiring.h"

#include <stdexcept>
#include <utility>

#include "engine/resource_manager.h"
#include "flows/discovery_commands.h"
#include "flows/enrollment_flow_runner.h"
#include "storage/data_mirroring.h"
#include "storage/user_records_interface.h"
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

void ResourceManagerRpcServices::MirrorDataCleared() {
  Engine();  // the operations reach the mirror only while the engine runs
  data.mirroring.DataCleared();
}

void ResourceManagerRpcServices::MirrorUserUpdated(const std::string& user) {
  Engine();
  data.mirroring.UserUpdated(user);
}

void ResourceManagerRpcServices::MirrorUpdateAll() {
  Engine();
  data.mirroring.UpdateAll();
}

void ResourceManagerRpcServices::MirrorFactorStatus(const std::vector<uint8_t>& support) {
  Engine();
  data.mirroring.MirrorFactorStatus(support);
}

void ResourceManagerRpcServices::ClearUserData() { Engine()->ClearUserData(); }

void ResourceManagerRpcServices::UserDataUpdated(const std::string& user) {
  Engine()->UserDataUpdated(user);
}

void ResourceManagerRpcServices::StartUserRecordTask() { Engine()->StartUserRecordTask(); }

std::vector<uint8_t> ResourceManagerRpcServices::Discover(int16_t kind,
                                                          const std::vector<uint8_t>& bytes,
                                                          const std::string& first,
                                                          const std::string& second) {
  Engine();
  return data.discovery.Discover(kind, bytes, first, second);
}

std::vector<uint8_t> ResourceManagerRpcServices::GetSavedDisplayName(const std::string& sid) {
  Engine();
  return data.userRecords.getSavedDisplayName(sid);
}

uint32_t ResourceManagerRpcServices::RunEnrollmentFlow(uint32_t sessionId,
                                                       const keystone::ClientIdentity& client,
                                                       const std::string& user,
                                                       const std::string& factorId) {
  Engine();
  return enrollments.RunEnrollmentFlow(sessionId, client, user, factorId);
}

EngineRpcServer::EngineRpcServer(StoredDataComponents storedData,
                                 mfab::IEnrollmentFlowRunner& enrollment, ServerOptions options,
                                 EngineRpcOptions operationOptions)
    : serverOptions(std::move(options)),
      services(storedData, enrollment),
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
