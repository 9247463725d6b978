#pragma once

// The engine's implementation of the 24 client operations at the RPC boundary: what each one
// calls, how a reply reaches the client's buffer, and how every failure becomes the operation's
// documented result.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/client_identity.h"
#include "common/mutex.h"
#include "rpc/engine_operations.h"

namespace mfab {
class BtManager;
class IPhonePresenceMonitor;
}  // namespace mfab

namespace rpc {

// What the operations need of the engine. The production implementation goes through the
// resource manager (service/engine_rpc_wiring.h); tests hand in a fake. Thread-safe. Every method
// may throw what the engine throws; the operations turn that into their results.
class EngineRpcServices {
 public:
  // The authentication status as one poll of the notification call sees it.
  enum class StatusPoll { kUnchanged, kChanged, kMarkedForDeletion };

  virtual ~EngineRpcServices() = default;

  virtual uint32_t NextSessionId() = 0;
  // Frees the applet when the client's user holds it with sessionId.
  virtual void ReleaseSessionId(uint32_t sessionId, const keystone::ClientIdentity& client) = 0;
  // The client's request through the command handler and the applet; the last reply.
  virtual std::vector<uint8_t> SendMessageToApplet(const std::vector<uint8_t>& request,
                                                   const keystone::ClientIdentity& client) = 0;
  // Root, or the user of the console session: the clients no other user may keep out.
  virtual bool IsPriorityClient(const keystone::ClientIdentity& client) = 0;
  // Test-and-set of the asynchronous-call flag; false when it already had newState.
  virtual bool SetAsyncRpcState(bool newState) = 0;

  // kMarkedForDeletion also when the engine's state manager is gone (the service stops).
  virtual StatusPoll PollAuthenticationStatus() = 0;
  // The current status, serialized; empty when there is none.
  virtual std::vector<uint8_t> GetAuthenticationStatus() = 0;
  virtual void AuthenticationStatusUpdateCompleted() = 0;
  virtual void UpdateAuthenticationErrorState(int32_t identifier, uint32_t errorCode) = 0;

  // Asks the applet queue to make sure a session is open; pending until it tried.
  virtual void RequestSessionVerification() = 0;
  virtual bool SessionVerificationPending() = 0;

  // The registry mirror's triggers (IDataMirroring).
  virtual void MirrorDataCleared() = 0;
  virtual void MirrorUserUpdated(const std::string& user) = 0;
  virtual void MirrorUpdateAll() = 0;
  virtual void MirrorFactorStatus(const std::vector<uint8_t>& support) = 0;
  // The resource manager's user-data work (ResourceManager::ClearUserData, UserDataUpdated,
  // StartUserRecordTask).
  virtual void ClearUserData() = 0;
  virtual void UserDataUpdated(const std::string& user) = 0;
  virtual void StartUserRecordTask() = 0;
  // Discovery's reply record of one kind (DiscoveryCommands::Discover).
  virtual std::vector<uint8_t> Discover(int16_t kind, const std::vector<uint8_t>& data,
                                        const std::string& first, const std::string& second) = 0;
  // The user's saved display name as a serialized UserRecordResponse.
  virtual std::vector<uint8_t> GetSavedDisplayName(const std::string& sid) = 0;
  // The caller check and the desktop program's run: the program's exit code or a status. caller
  // is empty when the connection's credentials could not be read (identityError says why).
  // stopRequested tells a running program's wait to give up.
  virtual int32_t AuthenticationOnDesktop(const std::optional<keystone::ClientIdentity>& caller,
                                          int identityError, const std::string& userSid,
                                          const std::string& second,
                                          const std::function<bool()>& stopRequested) = 0;

  // The client's enrollment of a factor for a user (IEnrollmentFlowRunner); its status.
  virtual uint32_t RunEnrollmentFlow(uint32_t sessionId, const keystone::ClientIdentity& client,
                                     const std::string& user, const std::string& factorId) = 0;

  // The Bluetooth manager behind operations 7 to 14; null when the engine has no Bluetooth
  // factor (the operations then answer that it is not present).
  virtual std::shared_ptr<mfab::BtManager> Bluetooth() { return nullptr; }
  // The phone-presence monitor behind operations 20 and 21; null when the engine has none.
  virtual std::shared_ptr<mfab::IPhonePresenceMonitor> PhonePresence() { return nullptr; }
};

// Limits of the operations; tests shrink them.
struct EngineRpcOptions {
  // How often the notification call looks for a cancel and for news.
  std::chrono::milliseconds notifyPollInterval{100};
  // InitializeSessionRpc: how often it looks whether the session was verified, and for how long.
  std::chrono::milliseconds sessionCheckInterval{100};
  std::chrono::milliseconds sessionVerifyLimit{std::chrono::seconds(10)};
  // How long a displacing client waits for the displaced status wait to give up its slot.
  std::chrono::milliseconds displaceLimit{std::chrono::seconds(2)};
};

// The 24 operations. Components that are not present in the engine (the Bluetooth manager when
// no Bluetooth factor is configured, phone presence) make their operations log that and return
// the general failure of their kind (BtCallStatus 7, 0xA0000031, nothing for the operations
// without a result), except where an operation's answer needs no component.
//
// Keeps no per-call state; thread-safe as far as services is. Never throws.
class EngineRpcOperations final : public EngineOperations {
 public:
  explicit EngineRpcOperations(EngineRpcServices& services, EngineRpcOptions options = {});

  void ResetServiceRpc(CallContext& call) override;
  int32_t GetSessionIdRpc(CallContext& call) override;
  void ReleaseSessionIdRpc(CallContext& call, int32_t sessionId) override;
  void NotifyAuthenticateStatusAsyncRpc(AsyncCallContext& call, int32_t* outSize,
                                        uint8_t* outBuffer, int32_t& dataState) override;
  void UpdateAuthenticationErrorStateRpc(CallContext& call, int32_t first,
                                         int32_t second) override;
  AppletCallStatus SendMessageToAppletRpc(CallContext& call, int32_t reserved, int32_t inSize,
                                          const uint8_t* inBytes, int32_t* outSize,
                                          uint8_t* outBuffer) override;
  void SetBTMockModeRpc(CallContext& call) override;
  BtCallStatus SendMessageToBtDeviceRpc(CallContext& call, int32_t idSize,
                                        const uint8_t* deviceId, int32_t inSize,
                                        const uint8_t* inBytes, int32_t interactive,
                                        int32_t* outSize, uint8_t* outBuffer) override;
  BtCallStatus EstablishConnectionWithBtDeviceRpc(CallContext& call, int32_t idSize,
                                                  const uint8_t* deviceId) override;
  BtCallStatus IsRSSISupportedRpc(CallContext& call, int16_t providerType,
                                  int32_t& supported) override;
  BtCallStatus GetRSSIRpc(CallContext& call, int32_t idSize, const uint8_t* deviceId,
                          int32_t mustExist, int16_t& rssi) override;
  BtCallStatus CalibrateRSSIRpc(CallContext& call, int32_t idSize,
                                const uint8_t* deviceId) override;
  BtCallStatus GetDeviceStatusRpc(CallContext& call, int32_t idSize, const uint8_t* deviceId,
                                  int32_t flag, int32_t& status) override;
  BtCallStatus ScanRpc(CallContext& call, int16_t scanType, int32_t* outSize,
                       uint8_t* outBuffer) override;
  void UpdateProximityStateRpc(CallContext& call, int32_t idSize, const uint8_t* deviceId,
                               int32_t state) override;
  int32_t AuthenticationOnDesktopRpc(CallContext& call, const char* userSid,
                                     const char* second) override;
  int32_t TriggerDataBackupRpc(CallContext& call, int16_t mode, const char* user,
                               int32_t dataSize, const uint8_t* data) override;
  int32_t GetDiscoveryInfoRpc(CallContext& call, int16_t kind, int32_t dataSize,
                              const uint8_t* data, const char* first, const char* second,
                              int32_t* outSize, uint8_t* outBuffer) override;
  int32_t MirrorFactorSupportedStatusRpc(CallContext& call, int32_t dataSize,
                                         const uint8_t* data) override;
  int32_t GetUserRecordsRpc(CallContext& call, const char* userSid, int32_t* outSize,
                            uint8_t* outBuffer) override;
  BtCallStatus IsPhonePresentRpc(CallContext& call, int32_t idSize, const uint8_t* deviceId,
                                 int32_t& present) override;
  int32_t SetUserPresenceRpc(CallContext& call, int32_t dataSize, const uint8_t* data) override;
  void InitializeSessionRpc(CallContext& call) override;
  int32_t RunEnrollmentFlowRpc(CallContext& call, int32_t value, const char* first,
                               const char* second, int32_t dataSize,
                               const uint8_t* data) override;

 private:
  // The notification call after admission; returns its result and sets dataState. Ends
  // cancelled when displaced is set.
  int32_t NotifyLoop(AsyncCallContext& call, int32_t* outSize, uint8_t* outBuffer,
                     int32_t& dataState, const std::atomic<bool>& displaced);
  // When the status wait is held by a user other than the client's, and the client is root or
  // the console user while the holder is neither: ends the holder's wait and takes the slot.
  bool DisplaceWaiter(AsyncCallContext& call, const keystone::ClientIdentity& client);
  AppletCallStatus SendMessage(CallContext& call, int32_t inSize, const uint8_t* inBytes,
                               int32_t* outSize, uint8_t* outBuffer);
  // The Bluetooth manager for operation; null (logged as not present) when there is none.
  std::shared_ptr<mfab::BtManager> Bluetooth(const char* operation);
  // The phone-presence monitor for operation; null (logged as not present) when there is none.
  std::shared_ptr<mfab::IPhonePresenceMonitor> PhonePresence(const char* operation);

  EngineRpcServices& services;
  const EngineRpcOptions options;

  keystone::Mutex waiterMutex;  // Guards the members below.
  uint32_t waiterUid GUARDED_BY(waiterMutex) = keystone::ClientIdentity::kUnknownUid;
  std::shared_ptr<std::atomic<bool>> waiterDisplaced GUARDED_BY(waiterMutex);
};

}  // namespace rpc
