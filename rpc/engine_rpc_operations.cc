#include "rpc/engine_rpc_operations.h"

#include <exception>
#include <optional>
#include <span>
#include <string>
#include <thread>

#include "bluetooth/bluetooth_exceptions.h"
#include "bluetooth/bt_manager.h"
#include "common/exceptions.h"
#include "common/status.h"
#include "engine/phone_presence_monitor.h"
#include "log/logger.h"
#include "rpc/protocol.h"
#include "rpc/rpc_server.h"

namespace rpc {
namespace {

using keystone::kStatusBufferTooSmall;
using keystone::kStatusGeneralFailure;
using keystone::kStatusInvalidParameter;
using keystone::kStatusSuccess;
using mfab::kLogError;
using mfab::kLogInfo;
using mfab::kLogWarning;

constexpr int16_t kNoRssiProviderType = 3;

constexpr const char* kBtManager = "Bluetooth manager";
constexpr const char* kPhonePresence = "Phone-presence monitor";

mfab::AuthenticateLogger& Log() { return mfab::AuthenticateLoggerService::Instance(); }


// The entry and exit records of an operation whose component is not in the engine yet.
void NotPresent(const char* operation, const char* component) noexcept {
  KS_LOG(Log(), kLogInfo, "RPC-START", "%s", operation);
  KS_LOG(Log(), kLogWarning, "RPC-END", "%s is not present (%s)", component, operation);
}

// Runs an operation's work where nothing may escape to the RPC runtime: a failure is logged
// under "RPC-END" and the operation answers onFailure. Failures with answers of their own are
// mapped inside work.
template <typename Result, typename Work>
Result Guarded(const char* operation, Result onFailure, Work&& work) noexcept {
  try {
    return work();
  } catch (const std::exception& e) {
    KS_LOG(Log(), kLogError, "RPC-END", "%s failed: %s", operation, e.what());
  } catch (...) {
    KS_LOG(Log(), kLogError, "RPC-END", "%s failed: Unknown error", operation);
  }
  return onFailure;
}

template <typename Work>
void Guarded(const char* operation, Work&& work) noexcept {
  Guarded(operation, 0, [&] {
    work();
    return 0;
  });
}

std::vector<uint8_t> CopyIn(int32_t size, const uint8_t* bytes) {
  if (bytes == nullptr || size <= 0) return {};
  return std::vector<uint8_t>(bytes, bytes + size);
}

// TriggerDataBackupRpc by mode: 0 clears the mirror and the devices' user state, 1 updates one
// user (empty: every user), 2 updates everything; other modes do nothing.
int32_t TriggerDataBackup(EngineRpcServices& services, int16_t mode, const std::string& user) {
  try {
    switch (mode) {
      case 0:
        KS_LOG(Log(), kLogInfo, "RPC-FLOW", "Clear All");
        services.MirrorDataCleared();
        services.ClearUserData();
        break;
      case 1:
        KS_LOG(Log(), kLogInfo, "RPC-FLOW", "Update User");
        services.MirrorUserUpdated(user);
        services.UserDataUpdated(user);
        services.StartUserRecordTask();
        break;
      case 2:
        KS_LOG(Log(), kLogInfo, "RPC-FLOW", "Update All");
        services.MirrorUpdateAll();
        break;
      default:
        break;
    }
    return static_cast<int32_t>(kStatusSuccess);
  } catch (const mfab::ReadMirrorDataException&) {
    KS_LOG(Log(), kLogError, "RPC-END", "Couldn't read data for mirroring");
  } catch (const mfab::WriteMirrorDataException&) {
    KS_LOG(Log(), kLogError, "RPC-END", "Couldn't write data for mirroring");
  } catch (const std::exception& e) {
    KS_LOG(Log(), kLogError, "RPC-END", "std::exception: %s", e.what());
  } catch (...) {
    KS_LOG(Log(), kLogError, "RPC-END", "triggering data backup failed");
  }
  return static_cast<int32_t>(kStatusGeneralFailure);
}

// Which failures of a stored-data operation have statuses of their own; any other is 0xA0000031.
constexpr unsigned kMapsInvalidParameter = 1;  // InvalidParamException: 0xA0000035
constexpr unsigned kMapsPolicyNotSet = 2;      // PolicyNotSetException: 0xA0000050

// Runs work; nullopt when it succeeded, else the status its failure maps to (logged).
template <typename Work>
std::optional<uint32_t> DataFailure(unsigned mappings, Work work) {
  try {
    work();
    return std::nullopt;
  } catch (const mfab::InvalidParamException& e) {
    if ((mappings & kMapsInvalidParameter) != 0) {
      KS_LOG(Log(), kLogError, "RPC-END", "Invalid parameter: %s", e.what());
      return kStatusInvalidParameter;
    }
    KS_LOG(Log(), kLogError, "RPC-END", "Unkown Exception");
  } catch (const mfab::PolicyNotSetException&) {
    if ((mappings & kMapsPolicyNotSet) != 0) {
      KS_LOG(Log(), kLogError, "RPC-END", "Policy Not Set");
      return keystone::kStatusPolicyNotSet;
    }
    KS_LOG(Log(), kLogError, "RPC-END", "Unkown Exception");
  } catch (const std::exception& e) {
    KS_LOG(Log(), kLogError, "RPC-END", "Unkown Exception");
    KS_LOG(Log(), kLogInfo, "RPC-END", "%s", e.what());
  } catch (...) {
    KS_LOG(Log(), kLogError, "RPC-END", "Unkown Exception");
  }
  return kStatusGeneralFailure;
}

// How a Bluetooth operation answers and logs its failures: whether a Bluetooth exception gives
// its own code, a format with one %s for it, one for another std::exception, and the text for
// anything else; null formats are not logged.
struct BtFailureLog {
  bool mapsBluetooth;
  const char* bluetooth;
  const char* standard;
  const char* other;
};

// Runs a Bluetooth operation's work; a Bluetooth exception becomes its own code (when the
// operation maps them), anything else the general failure.
template <typename Work>
BtCallStatus BtCall(const BtFailureLog& log, Work&& work) noexcept {
  try {
    try {
      return work();
    } catch (const BluetoothExceptions::BluetoothException& e) {
      if (!log.mapsBluetooth) throw;
      if (log.bluetooth != nullptr) {
        KS_LOG(Log(), kLogError, "RPC-END", std::string(log.bluetooth), e.what());
      }
      return static_cast<BtCallStatus>(e.Code());
    }
  } catch (const std::exception& e) {
    if (log.standard != nullptr) {
      KS_LOG(Log(), kLogError, "RPC-END", std::string(log.standard), e.what());
    }
  } catch (...) {
    if (log.other != nullptr) KS_LOG(Log(), kLogError, "RPC-END", "%s", log.other);
  }
  return BtCallStatus::kGeneralFailure;
}

// populateOutput's status as a Bluetooth operation's result.
BtCallStatus BtOutputStatus(uint32_t status) {
  switch (status) {
    case kStatusSuccess: return BtCallStatus::kSuccess;
    case kStatusBufferTooSmall: return BtCallStatus::kBufferTooSmall;
    case kStatusInvalidParameter: return BtCallStatus::kInternalError;
    default: return BtCallStatus::kGeneralFailure;
  }
}

}  // namespace

EngineRpcOperations::EngineRpcOperations(EngineRpcServices& engineServices,
                                         EngineRpcOptions operationOptions)
    : services(engineServices), options(operationOptions) {}

void EngineRpcOperations::ResetServiceRpc(CallContext& /*call*/) {
  KS_LOG(Log(), kLogInfo, "RPC-START", "ResetServiceRpc");
  KS_LOG(Log(), kLogError, "RPC-END", "ResetServiceRpc is not supported in Production");
}

int32_t EngineRpcOperations::GetSessionIdRpc(CallContext& /*call*/) {
  KS_LOG(Log(), kLogInfo, "RPC-START", "GetSessionIdRpc");
  // On failure, the id that stands for no session: the client cannot claim the applet with it.
  const uint32_t id =
      Guarded("GetSessionIdRpc", keystone::kNoSessionId, [&] { return services.NextSessionId(); });
  KS_LOG(Log(), kLogInfo, "RPC-END", "GetSessionIdRpc");
  return static_cast<int32_t>(id);
}

void EngineRpcOperations::ReleaseSessionIdRpc(CallContext& call, int32_t sessionId) {
  KS_LOG(Log(), kLogInfo, "RPC-START", "ReleaseSessionIdRpc");
  Guarded("ReleaseSessionIdRpc", [&] {
    services.ReleaseSessionId(static_cast<uint32_t>(sessionId), ClientOf(call));
  });
  KS_LOG(Log(), kLogInfo, "RPC-END", "ReleaseSessionIdRpc");
}

void EngineRpcOperations::NotifyAuthenticateStatusAsyncRpc(AsyncCallContext& call,
                                                           int32_t* outSize, uint8_t* outBuffer,
                                                           int32_t& dataState) {
  dataState = kDataStateNone;
  bool admitted = false;
  int32_t result = kNotifyCancelled;
  std::shared_ptr<std::atomic<bool>> displaced;
  KS_LOG(Log(), kLogInfo, "RPC-START", "RPC-START - AsyncFunc");
  const bool failed = Guarded("NotifyAuthenticateStatusAsyncRpc", true, [&] {
    const keystone::ClientIdentity client = ClientOf(call);
    admitted = services.SetAsyncRpcState(true) || DisplaceWaiter(call, client);
    if (!admitted) return false;
    displaced = std::make_shared<std::atomic<bool>>(false);
    {
      keystone::MutexLock lock(waiterMutex);
      waiterUid = client.uid;
      waiterDisplaced = displaced;
    }
    result = NotifyLoop(call, outSize, outBuffer, dataState, *displaced);
    return false;
  });
  if (!failed && !admitted) {
    KS_LOG(Log(), kLogWarning, "RPC-END", "RPC Async ASYNC_RPC_ERROR_ALREADY_WITHIN_CALL ");
    call.Complete(kNotifyAlreadyWithinCall);
    return;
  }
  if (failed) {
    dataState = kDataStateNone;
    result = kNotifyCancelled;
  }
  if (displaced) {
    keystone::MutexLock lock(waiterMutex);
    if (waiterDisplaced == displaced) {
      waiterUid = keystone::ClientIdentity::kUnknownUid;
      waiterDisplaced.reset();
    }
  }
  call.Complete(result);
  if (!admitted) return;
  Guarded("NotifyAuthenticateStatusAsyncRpc", [&] { services.SetAsyncRpcState(false); });
  KS_LOG(Log(), kLogInfo, "RPC-END", "RPC-END - AsyncFunc");
}

bool EngineRpcOperations::DisplaceWaiter(AsyncCallContext& call,
                                         const keystone::ClientIdentity& client) {
  uint32_t holder = keystone::ClientIdentity::kUnknownUid;
  std::shared_ptr<std::atomic<bool>> flag;
  {
    keystone::MutexLock lock(waiterMutex);
    holder = waiterUid;
    flag = waiterDisplaced;
  }
  if (!flag || holder == client.uid || !services.IsPriorityClient(client) ||
      services.IsPriorityClient(keystone::ClientIdentity{0, holder})) {
    return false;
  }
  KS_LOG(Log(), kLogWarning, "RPC-FLOW",
         "The status wait of uid %u is given up for uid %u (root or the console user)", holder,
         client.uid);
  *flag = true;
  // The displaced wait notices within one poll and frees the slot.
  const auto deadline = std::chrono::steady_clock::now() + options.displaceLimit;
  while (std::chrono::steady_clock::now() < deadline && call.TestCancel() == kCallNotCancelled) {
    std::this_thread::sleep_for(options.notifyPollInterval / 4);
    if (services.SetAsyncRpcState(true)) return true;
  }
  return false;
}

int32_t EngineRpcOperations::NotifyLoop(AsyncCallContext& call, int32_t* outSize,
                                        uint8_t* outBuffer, int32_t& dataState,
                                        const std::atomic<bool>& displaced) {
  KS_LOG(Log(), kLogInfo, "RPC-START", "RPC Async call - start running ");
  for (;;) {
    // No lock is held here: the loop only sleeps and polls.
    std::this_thread::sleep_for(options.notifyPollInterval);
    const int32_t cancel = call.TestCancel();
    if (displaced.load()) {
      KS_LOG(Log(), kLogInfo, "RPC-END", "RPC-END - AsyncFunc - Call given up for another client");
      if (outSize != nullptr) *outSize = 0;
      dataState = kDataStateNone;
      return kNotifyCancelled;
    }
    if (cancel == kCallCancelled) {
      KS_LOG(Log(), kLogInfo, "RPC-END", "RPC-END - AsyncFunc - Call cancelled by Client");
      if (outSize != nullptr) *outSize = 0;
      dataState = kDataStateNone;
      return kNotifyCancelled;
    }
    if (cancel != kCallNotCancelled) {
      KS_LOG(Log(), kLogWarning, "RPC-END", "RPC-END - Exiting AsyncFunc due to bad status %d",
             cancel);
      dataState = kDataStateNone;
      return kNotifyBadCancelStatus;
    }
    const EngineRpcServices::StatusPoll poll = services.PollAuthenticationStatus();
    if (poll == EngineRpcServices::StatusPoll::kMarkedForDeletion) {
      KS_LOG(Log(), kLogInfo, "RPC-END", "Authentication State manager mark for deletion");
      dataState = kDataStateNone;
      services.AuthenticationStatusUpdateCompleted();
      return kNotifyCancelled;
    }
    if (poll == EngineRpcServices::StatusPoll::kChanged) break;
  }

  KS_LOG(Log(), kLogInfo, "RPC-FLOW",
         "NotifyAuthenticateStatusAsyncRpc: AuthenticationStatus Changed");
  const std::vector<uint8_t> status = services.GetAuthenticationStatus();
  int32_t result = kNotifyStatusDelivered;
  if (populateOutput(status, outSize, outBuffer) != kStatusSuccess) {
    KS_LOG(Log(), kLogError, "RPC-END", "Data size doesn not match actual response size");
    dataState = kDataStateNone;
    result = kNotifyBufferTooSmall;
  } else {
    dataState = kDataStateWritten;
  }
  services.AuthenticationStatusUpdateCompleted();
  return result;
}

void EngineRpcOperations::UpdateAuthenticationErrorStateRpc(CallContext& /*call*/, int32_t first,
                                                            int32_t second) {
  // first: the authentication's identifier (0x7B47 of its status); second: the client's error.
  KS_LOG(Log(), kLogInfo, "RPC-START", "UpdateAuthenticationErrorStateRpc");
  Guarded("UpdateAuthenticationErrorStateRpc", [&] {
    services.UpdateAuthenticationErrorState(first, static_cast<uint32_t>(second));
  });
  KS_LOG(Log(), kLogInfo, "RPC-END", "End UpdateAuthenticationErrorStateRpc");
}

AppletCallStatus EngineRpcOperations::SendMessageToAppletRpc(CallContext& call,
                                                             int32_t /*reserved*/, int32_t inSize,
                                                             const uint8_t* inBytes,
                                                             int32_t* outSize,
                                                             uint8_t* outBuffer) {
  KS_LOG(Log(), kLogInfo, "RPC-START", "SendMessageToAppletRpc");
  const AppletCallStatus status = SendMessage(call, inSize, inBytes, outSize, outBuffer);
  KS_LOG(Log(), kLogInfo, "RPC-END", "SendMessageToAppletRpc");
  return status;
}

AppletCallStatus EngineRpcOperations::SendMessage(CallContext& call, int32_t inSize,
                                                  const uint8_t* inBytes, int32_t* outSize,
                                                  uint8_t* outBuffer) {
  std::vector<uint8_t> reply;
  try {
    reply = services.SendMessageToApplet(CopyIn(inSize, inBytes), ClientOf(call));
  } catch (const mfab::AppletCurrentlyBusyException&) {
    KS_LOG(Log(), kLogError, "RPC-END", "Applet currently busy");
    return AppletCallStatus::kAppletBusy;
  } catch (const mfab::ApiCurrentlyBusyException&) {
    KS_LOG(Log(), kLogError, "RPC-END", "API currently busy");
    return AppletCallStatus::kApiBusy;
  } catch (const mfab::InvalidApiException&) {
    KS_LOG(Log(), kLogError, "RPC-END", "Invalid API call");
    return AppletCallStatus::kInvalidApi;
  } catch (const mfab::NotElevatedException&) {
    KS_LOG(Log(), kLogError, "RPC-END", "Insufficient privileges");
    return AppletCallStatus::kNotElevated;
  } catch (const mfab::SVNUpgradeException&) {
    KS_LOG(Log(), kLogError, "RPC-END",
           "Couldn't complete the applet activity , FSVN version upgrade was identify");
    return AppletCallStatus::kSvnUpgrade;
  } catch (const mfab::ConnectedStandByException&) {
    KS_LOG(Log(), kLogError, "RPC-END",
           "Couldn't complete the applet activity , Connected Stand By state");
    return AppletCallStatus::kConnectedStandby;
  } catch (const mfab::GenericException& e) {
    KS_LOG(Log(), kLogError, "RPC-END", "Attestation failure: %s", e.what());
    return AppletCallStatus::kAttestationFailure;
  } catch (const mfab::ClearDiskException&) {
    KS_LOG(Log(), kLogError, "RPC-END", "Couldn't delete all SDS files");
    return AppletCallStatus::kClearDiskFailed;
  } catch (const std::exception& e) {
    KS_LOG(Log(), kLogError, "RPC-END", "Exception: %s", e.what());
    return AppletCallStatus::kGeneralFailure;
  } catch (...) {
    KS_LOG(Log(), kLogError, "RPC-END", "Unknown error");
    return AppletCallStatus::kGeneralFailure;
  }
  switch (populateOutput(reply, outSize, outBuffer)) {
    case kStatusSuccess: return AppletCallStatus::kSuccess;
    case kStatusBufferTooSmall: return AppletCallStatus::kBufferTooSmall;
    case kStatusInvalidParameter: return AppletCallStatus::kInvalidApi;
    default: return AppletCallStatus::kGeneralFailure;
  }
}

void EngineRpcOperations::SetBTMockModeRpc(CallContext& /*call*/) {
  KS_LOG(Log(), kLogInfo, "RPC-START", "SetBTMockModeRpc");
  KS_LOG(Log(), kLogError, "RPC-END", "SetBTMockModeRpc is not supported in Production");
}

// The Bluetooth operations, through the Bluetooth manager.

BtCallStatus EngineRpcOperations::SendMessageToBtDeviceRpc(CallContext& /*call*/, int32_t idSize,
                                                           const uint8_t* deviceId,
                                                           int32_t inSize, const uint8_t* inBytes,
                                                           int32_t interactive, int32_t* outSize,
                                                           uint8_t* outBuffer) {
  constexpr const char* kName = "SendMessageToBtDeviceRpc";
  const std::shared_ptr<mfab::BtManager> bt = Bluetooth(kName);
  if (!bt) return BtCallStatus::kGeneralFailure;
  KS_LOG(Log(), kLogInfo, "RPC-START", "%s", kName);
  const BtCallStatus status =
      BtCall({true, "BluetoothException: %s", "BluetoothException: %s", "Unknown exception"}, [&] {
        const std::vector<uint8_t> reply = bt->SendMessageToBtDevice(CopyIn(idSize, deviceId),
                                                      CopyIn(inSize, inBytes), interactive == 1);
        return BtOutputStatus(populateOutput(reply, outSize, outBuffer));
      });
  KS_LOG(Log(), kLogInfo, "RPC-END", "%s", kName);
  return status;
}

BtCallStatus EngineRpcOperations::EstablishConnectionWithBtDeviceRpc(CallContext& /*call*/,
                                                                     int32_t idSize,
                                                                     const uint8_t* deviceId) {
  constexpr const char* kName = "EstablishConnectionWithBtDeviceRpc";
  const std::shared_ptr<mfab::BtManager> bt = Bluetooth(kName);
  if (!bt) return BtCallStatus::kGeneralFailure;
  KS_LOG(Log(), kLogInfo, "RPC-START", "%s", kName);
  // Every failure is a general one here, a Bluetooth exception included.
  const BtCallStatus status =
      BtCall({false, nullptr, "BluetoothException: %s", "Unknown exception"}, [&] {
        return bt->EstablishConnectionWithBtDevice(CopyIn(idSize, deviceId))
                   ? BtCallStatus::kSuccess
                   : BtCallStatus::kNotResponsive;
      });
  KS_LOG(Log(), kLogInfo, "RPC-END", "%s", kName);
  return status;
}

BtCallStatus EngineRpcOperations::IsRSSISupportedRpc(CallContext& /*call*/, int16_t providerType,
                                                     int32_t& supported) {
  constexpr const char* kName = "IsRSSISupportedRpc";
  // Provider type 3 is refused before the Bluetooth manager is asked.
  if (providerType == kNoRssiProviderType) {
    KS_LOG(Log(), kLogInfo, "RPC-START", "%s", kName);
    KS_LOG(Log(), kLogInfo, "RPC-END", "%s", kName);
    return BtCallStatus::kGeneralFailure;
  }
  const std::shared_ptr<mfab::BtManager> bt = Bluetooth(kName);
  if (!bt) return BtCallStatus::kGeneralFailure;
  KS_LOG(Log(), kLogInfo, "RPC-START", "%s", kName);
  const BtCallStatus status =
      BtCall({false, nullptr, "Unknown exception", "Unknown exception"}, [&] {
        // A negative short names no provider; as an unsigned type it is one the manager refuses.
        supported = bt->IsRSSISupported(static_cast<uint16_t>(providerType)) ? 1 : 0;
        return BtCallStatus::kSuccess;
      });
  KS_LOG(Log(), kLogInfo, "RPC-END", "%s", kName);
  return status;
}

BtCallStatus EngineRpcOperations::GetRSSIRpc(CallContext& /*call*/, int32_t idSize,
                                             const uint8_t* deviceId, int32_t mustExist,
                                             int16_t& rssi) {
  constexpr const char* kName = "GetRSSIRpc";
  const std::shared_ptr<mfab::BtManager> bt = Bluetooth(kName);
  if (!bt) return BtCallStatus::kGeneralFailure;
  KS_LOG(Log(), kLogInfo, "RPC-START", "%s", kName);
  const BtCallStatus status =
      BtCall({true, "BluetoothException: %s", "std::exception: %s", "Unknown exception"}, [&] {
        rssi = bt->GetRSSI(CopyIn(idSize, deviceId), mustExist == 1);
        KS_LOG(Log(), kLogInfo, "RPC-FLOW", "GetRssiRpc succeeded. RSSI = %d", rssi);
        return BtCallStatus::kSuccess;
      });
  KS_LOG(Log(), kLogInfo, "RPC-END", "%s", kName);
  return status;
}

BtCallStatus EngineRpcOperations::CalibrateRSSIRpc(CallContext& /*call*/, int32_t idSize,
                                                   const uint8_t* deviceId) {
  constexpr const char* kName = "CalibrateRSSIRpc";
  const std::shared_ptr<mfab::BtManager> bt = Bluetooth(kName);
  if (!bt) return BtCallStatus::kGeneralFailure;
  KS_LOG(Log(), kLogInfo, "RPC-START", "%s", kName);
  const BtCallStatus status = BtCall({true, nullptr, nullptr, nullptr}, [&] {
    bt->CalibrateRssi(CopyIn(idSize, deviceId));
    return BtCallStatus::kSuccess;
  });
  KS_LOG(Log(), kLogInfo, "RPC-END", "%s", kName);
  return status;
}

BtCallStatus EngineRpcOperations::GetDeviceStatusRpc(CallContext& /*call*/, int32_t idSize,
                                                     const uint8_t* deviceId, int32_t flag,
                                                     int32_t& status) {
  constexpr const char* kName = "GetDeviceStatusRpc";
  const std::shared_ptr<mfab::BtManager> bt = Bluetooth(kName);
  if (!bt) return BtCallStatus::kGeneralFailure;
  KS_LOG(Log(), kLogInfo, "RPC-START", "%s", kName);
  const BtCallStatus result =
      BtCall({true, "BluetoothException: %s", "Unknown exception", "Unknown exception"}, [&] {
        status = bt->GetDeviceStatus(CopyIn(idSize, deviceId), flag == 1);
        return BtCallStatus::kSuccess;
      });
  KS_LOG(Log(), kLogInfo, "RPC-END", "%s", kName);
  return result;
}

BtCallStatus EngineRpcOperations::ScanRpc(CallContext& /*call*/, int16_t scanType,
                                          int32_t* outSize, uint8_t* outBuffer) {
  constexpr const char* kName = "ScanRpc";
  const std::shared_ptr<mfab::BtManager> bt = Bluetooth(kName);
  if (!bt) return BtCallStatus::kGeneralFailure;
  KS_LOG(Log(), kLogInfo, "RPC-START", "%s", kName);
  const BtCallStatus status =
      BtCall({true, "BluetoothException: %s", "Exception: %s", "Unknown exception"}, [&] {
        const std::vector<uint8_t> records = bt->Scan(static_cast<uint16_t>(scanType));
        return BtOutputStatus(populateOutput(records, outSize, outBuffer));
      });
  KS_LOG(Log(), kLogInfo, "RPC-END", "%s", kName);
  return status;
}

void EngineRpcOperations::UpdateProximityStateRpc(CallContext& /*call*/, int32_t idSize,
                                                  const uint8_t* deviceId, int32_t state) {
  constexpr const char* kName = "UpdateProximityStateRpc";
  const std::shared_ptr<mfab::BtManager> bt = Bluetooth(kName);
  if (!bt) return;
  KS_LOG(Log(), kLogInfo, "RPC-START", "%s", kName);
  // Failures are swallowed without a record: the client learns nothing either way.
  BtCall({false, nullptr, nullptr, nullptr}, [&] {
    bt->UpdateProximityState(CopyIn(idSize, deviceId), state);
    return BtCallStatus::kSuccess;
  });
  KS_LOG(Log(), kLogInfo, "RPC-END", "%s", kName);
}

std::shared_ptr<mfab::IPhonePresenceMonitor> EngineRpcOperations::PhonePresence(
    const char* operation) {
  std::shared_ptr<mfab::IPhonePresenceMonitor> monitor;
  try {
    monitor = services.PhonePresence();
  } catch (const std::exception& e) {
    KS_LOG(Log(), kLogWarning, "RPC-END", "%s: %s", operation, e.what());
  }
  if (!monitor) NotPresent(operation, kPhonePresence);
  return monitor;
}

std::shared_ptr<mfab::BtManager> EngineRpcOperations::Bluetooth(const char* operation) {
  std::shared_ptr<mfab::BtManager> bt;
  try {
    bt = services.Bluetooth();
  } catch (const std::exception& e) {
    KS_LOG(Log(), kLogWarning, "RPC-END", "%s: %s", operation, e.what());
  }
  if (!bt) NotPresent(operation, kBtManager);
  return bt;
}

int32_t EngineRpcOperations::AuthenticationOnDesktopRpc(CallContext& call, const char* userSid,
                                                        const char* second) {
  KS_LOG(Log(), kLogInfo, "RPC-START", "AuthenticationOnDesktopRpc");
  const int32_t result =
      Guarded("AuthenticationOnDesktopRpc", static_cast<int32_t>(kStatusGeneralFailure), [&] {
        std::optional<keystone::ClientIdentity> caller;
        if (call.Caller()) caller = ClientOf(call);
        // The program may run for minutes; a stopping server ends the wait.
        return services.AuthenticationOnDesktop(caller, call.IdentityError(), userSid, second,
                                                [&call] { return call.ServerStopping(); });
      });
  KS_LOG(Log(), kLogInfo, "RPC-END", "AuthenticationOnDesktopRpc");
  return result;
}

int32_t EngineRpcOperations::TriggerDataBackupRpc(CallContext& /*call*/, int16_t mode,
                                                  const char* user, int32_t /*dataSize*/,
                                                  const uint8_t* /*data*/) {
  KS_LOG(Log(), kLogInfo, "RPC-START", "TriggerDataBackupRpc");
  const int32_t result = TriggerDataBackup(services, mode, user != nullptr ? user : "");
  KS_LOG(Log(), kLogInfo, "RPC-END", "TriggerDataBackupRpc");
  return result;
}

int32_t EngineRpcOperations::GetDiscoveryInfoRpc(CallContext& /*call*/, int16_t kind,
                                                 int32_t dataSize, const uint8_t* data,
                                                 const char* first, const char* second,
                                                 int32_t* outSize, uint8_t* outBuffer) {
  KS_LOG(Log(), kLogInfo, "RPC-START", "GetDiscoveryInfoRpc");
  std::vector<uint8_t> reply;
  const std::optional<uint32_t> failure =
      DataFailure(kMapsInvalidParameter | kMapsPolicyNotSet, [&] {
        reply = services.Discover(kind, CopyIn(dataSize, data), first != nullptr ? first : "",
                                  second != nullptr ? second : "");
      });
  const int32_t result =
      static_cast<int32_t>(failure ? *failure : populateOutput(reply, outSize, outBuffer));
  KS_LOG(Log(), kLogInfo, "RPC-END", "GetDiscoveryInfoRpc");
  return result;
}

int32_t EngineRpcOperations::MirrorFactorSupportedStatusRpc(CallContext& /*call*/,
                                                            int32_t dataSize,
                                                            const uint8_t* data) {
  KS_LOG(Log(), kLogInfo, "RPC-START", "MirrorFactorSupportedStatusRpc");
  const std::optional<uint32_t> failure = DataFailure(
      kMapsPolicyNotSet, [&] { services.MirrorFactorStatus(CopyIn(dataSize, data)); });
  const int32_t result = static_cast<int32_t>(failure.value_or(kStatusSuccess));
  KS_LOG(Log(), kLogInfo, "RPC-END", "MirrorFactorSupportedStatusRpc");
  return result;
}

int32_t EngineRpcOperations::GetUserRecordsRpc(CallContext& /*call*/, const char* userSid,
                                               int32_t* outSize, uint8_t* outBuffer) {
  KS_LOG(Log(), kLogInfo, "RPC-START", "GetUserRecordsRpc");
  std::vector<uint8_t> reply;
  const std::optional<uint32_t> failure = DataFailure(
      0, [&] { reply = services.GetSavedDisplayName(userSid != nullptr ? userSid : ""); });
  // populateOutput's status is the result, whatever it is.
  const int32_t result =
      static_cast<int32_t>(failure ? *failure : populateOutput(reply, outSize, outBuffer));
  KS_LOG(Log(), kLogInfo, "RPC-END", "GetUserRecordsRpc");
  return result;
}

BtCallStatus EngineRpcOperations::IsPhonePresentRpc(CallContext& /*call*/, int32_t idSize,
                                                    const uint8_t* deviceId, int32_t& present) {
  constexpr const char* kName = "IsPhonePresentRpc";
  const std::shared_ptr<mfab::IPhonePresenceMonitor> monitor = PhonePresence(kName);
  if (!monitor) return BtCallStatus::kGeneralFailure;
  KS_LOG(Log(), kLogInfo, "RPC-START", "%s", kName);
  const BtCallStatus status =
      BtCall({true, "BluetoothException: %s", "std::exception: %s", "Unknown exception"}, [&] {
        present = monitor->IsPhonePresent(CopyIn(idSize, deviceId)) ? 1 : 0;
        return BtCallStatus::kSuccess;
      });
  KS_LOG(Log(), kLogInfo, "RPC-END", "%s", kName);
  return status;
}

int32_t EngineRpcOperations::SetUserPresenceRpc(CallContext& /*call*/, int32_t dataSize,
                                                const uint8_t* data) {
  constexpr const char* kName = "SetUserPresenceRpc";
  const std::shared_ptr<mfab::IPhonePresenceMonitor> monitor = PhonePresence(kName);
  if (monitor) {
    KS_LOG(Log(), kLogInfo, "RPC-START", "%s", kName);
    // Failures are swallowed without a record; the result is 0 in every case.
    BtCall({false, nullptr, nullptr, nullptr}, [&] {
      monitor->SetUserPresence(CopyIn(dataSize, data));
      return BtCallStatus::kSuccess;
    });
    KS_LOG(Log(), kLogInfo, "RPC-END", "%s", kName);
  }
  return static_cast<int32_t>(kStatusSuccess);
}

void EngineRpcOperations::InitializeSessionRpc(CallContext& call) {
  KS_LOG(Log(), kLogInfo, "RPC-START", "InitializeSessionRpc");
  try {
    services.RequestSessionVerification();
    const auto deadline = std::chrono::steady_clock::now() + options.sessionVerifyLimit;
    while (services.SessionVerificationPending() && !call.ServerStopping()) {
      if (std::chrono::steady_clock::now() >= deadline) {
        KS_LOG(Log(), kLogWarning, "RPC-FLOW", "The applet session was not verified in time");
        break;
      }
      std::this_thread::sleep_for(options.sessionCheckInterval);
    }
  } catch (...) {
    KS_LOG(Log(), kLogError, "RPC-END", "External open session throw exception");
    return;
  }
  KS_LOG(Log(), kLogInfo, "RPC-END", "InitializeSessionRpc");
}

int32_t EngineRpcOperations::RunEnrollmentFlowRpc(CallContext& call, int32_t value,
                                                  const char* first, const char* second,
                                                  int32_t /*dataSize*/, const uint8_t* /*data*/) {
  // The data bytes are not used by the enrollment.
  KS_LOG(Log(), kLogInfo, "RPC-START", "RunEnrollmentFlowRpc");
  const uint32_t result = Guarded("RunEnrollmentFlowRpc", kStatusGeneralFailure, [&] {
    return services.RunEnrollmentFlow(static_cast<uint32_t>(value), ClientOf(call),
                                      first != nullptr ? first : "",
                                      second != nullptr ? second : "");
  });
  KS_LOG(Log(), kLogInfo, "RPC-END", "RunEnrollmentFlowRpc");
  return static_cast<int32_t>(result);
}

}  // namespace rpc
