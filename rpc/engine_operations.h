#pragma once

// The engine side of the client interface: one method per operation of rpc/operation_table.h,
// with the marshalled parameters as C++ types:
//   long -> int32_t, short -> int16_t, bytes[n] -> const uint8_t* (null when the client passed
//   null), string -> const char* (never null), in/out size + bytes -> int32_t* and uint8_t*
//   (each null when the client passed null; the buffer holds *size bytes), reference in/out
//   long, enum32 and short -> int32_t& and int16_t&, out enum32 -> int32_t&.
// The server calls the methods on its own threads, up to its call limit at once; an
// implementation keeps no per-call state and relies on the locking of what it calls. A method
// must not throw: a failure becomes its documented result (an escaping exception is logged and
// the client gets a transport fault instead of a result).

#include <atomic>
#include <cstdint>
#include <optional>

namespace rpc {

// Result of SendMessageToAppletRpc.
enum class AppletCallStatus : uint16_t {
  kSuccess = 0,
  kBufferTooSmall = 1,
  kGeneralFailure = 2,
  kAppletBusy = 3,
  kApiBusy = 4,
  kInvalidApi = 5,
  kNotElevated = 6,
  kSvnUpgrade = 7,
  kConnectedStandby = 8,
  kAttestationFailure = 9,
  // The data directory could not be cleared (the applet asked for it); outside 0..9 on purpose.
  kClearDiskFailed = 10,
};

// Result of the Bluetooth operations; a Bluetooth exception's own code travels as it is.
enum class BtCallStatus : uint16_t {
  kSuccess = 0,
  kInvalidDeviceId = 1,
  kBufferTooSmall = 3,
  kNotResponsive = 4,
  kInternalError = 5,
  kUnsupportedFactor = 6,
  kGeneralFailure = 7,
};

// Results and data states of NotifyAuthenticateStatusAsyncRpc.
inline constexpr int32_t kNotifyStatusDelivered = 0;
inline constexpr int32_t kNotifyAlreadyWithinCall = 1;
inline constexpr int32_t kNotifyCancelled = 2;
inline constexpr int32_t kNotifyBadCancelStatus = 3;
inline constexpr int32_t kNotifyBufferTooSmall = 4;
inline constexpr int32_t kDataStateWritten = 3;
inline constexpr int32_t kDataStateNone = 5;

// The caller of a call: the credentials the kernel recorded when the client connected (its
// effective user and group at that moment). Nothing the client does later changes them.
struct CallerIdentity {
  uint32_t pid = 0;
  uint32_t uid = 0;
  uint32_t gid = 0;
};

// What an operation learns about its call (the binding handle of the interface).
// Valid for the duration of the call; not copyable.
class CallContext {
 public:
  CallContext(uint16_t procedureNumber, std::optional<CallerIdentity> callerIdentity,
              int identityErrorCode = 0, const std::atomic<bool>* serverStopping = nullptr)
      : procedure(procedureNumber),
        caller(callerIdentity),
        identityError(identityErrorCode),
        stopping(serverStopping) {}
  virtual ~CallContext() = default;
  CallContext(const CallContext&) = delete;
  CallContext& operator=(const CallContext&) = delete;

  uint16_t Procedure() const { return procedure; }
  // Empty when the connection's credentials could not be read; IdentityError() says why.
  const std::optional<CallerIdentity>& Caller() const { return caller; }
  int IdentityError() const { return identityError; }
  // Whether the server is stopping: a call that waits for something should end now.
  bool ServerStopping() const { return stopping != nullptr && stopping->load(); }

 private:
  uint16_t procedure;
  std::optional<CallerIdentity> caller;
  int identityError;
  const std::atomic<bool>* stopping;
};

// The call of the asynchronous operation. The operation runs on a server thread of its own and
// completes the call itself; until it does, the output parameters it was given stay valid.
class AsyncCallContext : public CallContext {
 public:
  using CallContext::CallContext;

  // kCallNotCancelled (1791) while the call stands; kCallCancelled (0) once the client
  // cancelled it or went away; kStatusNotListening (1715) while the server stops.
  // Thread-safe, never blocks.
  virtual int32_t TestCancel() const = 0;
  // Sends the result with the output parameters as they now stand. Once, before the operation
  // returns; a second call is ignored. A client that went away loses the reply. Never throws.
  virtual void Complete(int32_t result) = 0;
};

// Implemented by the engine; see the comment at the top of the file.
class EngineOperations {
 public:
  virtual ~EngineOperations() = default;

  virtual void ResetServiceRpc(CallContext& call) = 0;
  virtual int32_t GetSessionIdRpc(CallContext& call) = 0;
  virtual void ReleaseSessionIdRpc(CallContext& call, int32_t sessionId) = 0;
  // Asynchronous: completes through call.Complete with an enum32 result.
  virtual void NotifyAuthenticateStatusAsyncRpc(AsyncCallContext& call, int32_t* outSize,
                                                uint8_t* outBuffer, int32_t& dataState) = 0;
  virtual void UpdateAuthenticationErrorStateRpc(CallContext& call, int32_t first,
                                                 int32_t second) = 0;
  virtual AppletCallStatus SendMessageToAppletRpc(CallContext& call, int32_t reserved,
                                                  int32_t inSize, const uint8_t* inBytes,
                                                  int32_t* outSize, uint8_t* outBuffer) = 0;
  virtual void SetBTMockModeRpc(CallContext& call) = 0;
  virtual BtCallStatus SendMessageToBtDeviceRpc(CallContext& call, int32_t idSize,
                                                const uint8_t* deviceId, int32_t inSize,
                                                const uint8_t* inBytes, int32_t interactive,
                                                int32_t* outSize, uint8_t* outBuffer) = 0;
  virtual BtCallStatus EstablishConnectionWithBtDeviceRpc(CallContext& call, int32_t idSize,
                                                          const uint8_t* deviceId) = 0;
  virtual BtCallStatus IsRSSISupportedRpc(CallContext& call, int16_t providerType,
                                          int32_t& supported) = 0;
  virtual BtCallStatus GetRSSIRpc(CallContext& call, int32_t idSize, const uint8_t* deviceId,
                                  int32_t mustExist, int16_t& rssi) = 0;
  virtual BtCallStatus CalibrateRSSIRpc(CallContext& call, int32_t idSize,
                                        const uint8_t* deviceId) = 0;
  virtual BtCallStatus GetDeviceStatusRpc(CallContext& call, int32_t idSize,
                                          const uint8_t* deviceId, int32_t flag,
                                          int32_t& status) = 0;
  virtual BtCallStatus ScanRpc(CallContext& call, int16_t scanType, int32_t* outSize,
                               uint8_t* outBuffer) = 0;
  virtual void UpdateProximityStateRpc(CallContext& call, int32_t idSize, const uint8_t* deviceId,
                                       int32_t state) = 0;
  virtual int32_t AuthenticationOnDesktopRpc(CallContext& call, const char* userSid,
                                             const char* second) = 0;
  virtual int32_t TriggerDataBackupRpc(CallContext& call, int16_t mode, const char* user,
                                       int32_t dataSize, const uint8_t* data) = 0;
  virtual int32_t GetDiscoveryInfoRpc(CallContext& call, int16_t kind, int32_t dataSize,
                                      const uint8_t* data, const char* first, const char* second,
                                      int32_t* outSize, uint8_t* outBuffer) = 0;
  virtual int32_t MirrorFactorSupportedStatusRpc(CallContext& call, int32_t dataSize,
                                                 const uint8_t* data) = 0;
  virtual int32_t GetUserRecordsRpc(CallContext& call, const char* userSid, int32_t* outSize,
                                    uint8_t* outBuffer) = 0;
  virtual BtCallStatus IsPhonePresentRpc(CallContext& call, int32_t idSize,
                                         const uint8_t* deviceId, int32_t& present) = 0;
  virtual int32_t SetUserPresenceRpc(CallContext& call, int32_t dataSize,
                                     const uint8_t* data) = 0;
  virtual void InitializeSessionRpc(CallContext& call) = 0;
  virtual int32_t RunEnrollmentFlowRpc(CallContext& call, int32_t value, const char* first,
                                       const char* second, int32_t dataSize,
                                       const uint8_t* data) = 0;
};

}  // namespace rpc
