#include "service/engine_rpc_wiring.h"

#include <stdexcept>
#include <utility>

#include "bluetooth/bt_manager.h"
#include "engine/desktop_authentication.h"
#include "engine/resource_manager.h"
#include "flows/discovery_commands.h"
#include "flows/enrollment_flow_runner.h"
#include "storage/data_mirroring.h"
#include "storage/user_records_interface.h"

namespace rpc {

using mfab::ResourceManager;

uint32_t ResourceManagerRpcServices::NextSessionId() {
  return Engine([](ResourceManager& m) { return m.NextSessionId(); });
}

void ResourceManagerRpcServices::ReleaseSessionId(uint32_t sessionId,
                                                  const keystone::ClientIdentity& client) {
  Engine([&](ResourceManager& m) { m.ReleaseClientSession(sessionId, client); });
}

std::vector<uint8_t> ResourceManagerRpcServices::SendMessageToApplet(
    const std::vector<uint8_t>& request, const keystone::ClientIdentity& client) {
  return Engine([&](ResourceManager& m) { return m.SendMessageToApplet(request, client); });
}

bool ResourceManagerRpcServices::IsPriorityClient(const keystone::ClientIdentity& client) {
  return Engine([&](ResourceManager& m) { return m.IsPriorityClient(client); });
}

bool ResourceManagerRpcServices::SetAsyncRpcState(bool newState) {
  return Engine([&](ResourceManager& m) { return m.SetAsyncRpcState(newState); });
}

EngineRpcServices::StatusPoll ResourceManagerRpcServices::PollAuthenticationStatus() {
  // Entered afresh each poll: the loop never keeps the engine from stopping.
  StatusPoll poll = StatusPoll::kMarkedForDeletion;
  resources.TryUse([&](ResourceManager& m) {
    mfab::IAuthenticationState& state = m.AuthStateManager();
    if (state.MarkedForDeletion()) return;
    poll = state.StatusChanged() ? StatusPoll::kChanged : StatusPoll::kUnchanged;
  });
  return poll;
}

std::vector<uint8_t> ResourceManagerRpcServices::GetAuthenticationStatus() {
  return Engine([](ResourceManager& m) { return m.AuthStateManager().GetStatus(); });
}

void ResourceManagerRpcServices::AuthenticationStatusUpdateCompleted() {
  resources.TryUse([](ResourceManager& m) { m.AuthStateManager().StatusUpdateCompleted(); });
}

void ResourceManagerRpcServices::UpdateAuthenticationErrorState(int32_t identifier,
                                                                uint32_t errorCode) {
  Engine([&](ResourceManager& m) {
    m.AuthStateManager().UpdateAuthenticationErrorState(identifier, errorCode);
  });
}

void ResourceManagerRpcServices::RequestSessionVerification() {
  Engine([](ResourceManager& m) { m.Applet().RequestSessionVerification(); });
}

bool ResourceManagerRpcServices::SessionVerificationPending() {
  bool pending = false;
  resources.TryUse(
      [&](ResourceManager& m) { pending = m.Applet().SessionVerificationPending(); });
  return pending;
}

// The stored-data operations run only while the engine does.

void ResourceManagerRpcServices::MirrorDataCleared() {
  Engine([this](ResourceManager&) { data.mirroring.DataCleared(); });
}

void ResourceManagerRpcServices::MirrorUserUpdated(const std::string& user) {
  Engine([&](ResourceManager&) { data.mirroring.UserUpdated(user); });
}

void ResourceManagerRpcServices::MirrorUpdateAll() {
  Engine([this](ResourceManager&) { data.mirroring.UpdateAll(); });
}

void ResourceManagerRpcServices::MirrorFactorStatus(const std::vector<uint8_t>& support) {
  Engine([&](ResourceManager&) { data.mirroring.MirrorFactorStatus(support); });
}

void ResourceManagerRpcServices::ClearUserData() {
  Engine([](ResourceManager& m) { m.ClearUserData(); });
}

void ResourceManagerRpcServices::UserDataUpdated(const std::string& user) {
  Engine([&](ResourceManager& m) { m.UserDataUpdated(user); });
}

void ResourceManagerRpcServices::StartUserRecordTask() {
  Engine([](ResourceManager& m) { m.StartUserRecordTask(); });
}

std::vector<uint8_t> ResourceManagerRpcServices::Discover(int16_t kind,
                                                          const std::vector<uint8_t>& bytes,
                                                          const std::string& first,
                                                          const std::string& second) {
  return Engine([&](ResourceManager&) { return data.discovery.Discover(kind, bytes, first, second); });
}

std::shared_ptr<mfab::BtManager> ResourceManagerRpcServices::Bluetooth() {
  // The manager the service gave the resource manager is the one Bluetooth manager there is.
  return Engine([](mfab::ResourceManager& m) {
    return std::dynamic_pointer_cast<mfab::BtManager>(m.BtManager());
  });
}

std::shared_ptr<mfab::IPhonePresenceMonitor> ResourceManagerRpcServices::PhonePresence() {
  return Engine([](mfab::ResourceManager& m) { return m.SoftBtManager(); });
}

std::vector<uint8_t> ResourceManagerRpcServices::GetSavedDisplayName(const std::string& sid) {
  return Engine([&](ResourceManager&) { return data.userRecords.getSavedDisplayName(sid); });
}

int32_t ResourceManagerRpcServices::AuthenticationOnDesktop(
    const std::optional<keystone::ClientIdentity>& caller, int identityError,
    const std::string& userSid, const std::string& second,
    const std::function<bool()>& stopRequested) {
  // Needs nothing of the resource manager: it may run while the engine stops.
  return desktopAuthentication.AuthenticationOnDesktopRpc(
      mfab::DesktopCaller{caller, identityError}, userSid, second, stopRequested);
}

uint32_t ResourceManagerRpcServices::RunEnrollmentFlow(uint32_t sessionId,
                                                       const keystone::ClientIdentity& client,
                                                       const std::string& user,
                                                       const std::string& factorId) {
  // The flow reaches the applet through the manager on its own; it is not held for the flow's
  // whole run, so a stop does not wait for the user.
  Engine([](ResourceManager&) {});
  return enrollments.RunEnrollmentFlow(sessionId, client, user, factorId);
}

EngineRpcServer::EngineRpcServer(mfab::OwnedResourceManager& resources,
                                 StoredDataComponents storedData,
                                 mfab::DesktopAuthentication& desktop,
                                 mfab::IEnrollmentFlowRunner& enrollment, ServerOptions options,
                                 EngineRpcOptions operationOptions)
    : serverOptions(std::move(options)),
      services(resources, storedData, desktop, enrollment),
      operations(services, operationOptions) {}

EngineRpcServer::~EngineRpcServer() {
  if (listening) StopListening();
}

bool EngineRpcServer::StartListening() {
  const bool started = listener.RpcStartListening(&operations, serverOptions);
  listening = started;
  return started;
}

void EngineRpcServer::StopListening() {
  if (!listening.exchange(false)) return;
  listener.RpcStopListening();
}

}  // namespace rpc
