#pragma once

// libkeystone-client: the client side of the engine's RPC interface.
//
// A Client calls the 24 operations over the interface's local socket. It is thread-safe: any
// number of threads may call at once. Each call takes a connection from a small pool (or opens
// one), so concurrent calls run on separate connections; at most options.maxIdleConnections
// stay open between calls. Transport failures throw TransportError; an operation's own status
// comes back as its result.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/mutex.h"
#include "rpc/engine_operations.h"
#include "rpc/protocol.h"

namespace rpc {

// The call did not happen or its outcome is unknown: no server, a broken connection, a fault
// from the server (too busy, protocol error, bad arguments...). Status() is the transport
// status (rpc/protocol.h).
class TransportError : public std::runtime_error {
 public:
  TransportError(uint32_t statusCode, const std::string& text)
      : std::runtime_error(text), status(statusCode) {}
  uint32_t Status() const { return status; }

 private:
  uint32_t status;
};

struct ClientOptions {
  // The engine is trusted when it runs as root or as this process's own user; this names one
  // more user it may run as. A server that is none of them is refused before anything is sent.
  std::optional<uint32_t> engineUid;
  // Limit of a synchronous call, above the longest operation (the 300-second secure-desktop
  // program). At the limit the connection is dropped and TransportError(kStatusTimeout) thrown.
  std::chrono::milliseconds callTimeout{330'000};
  // Limit of the asynchronous status call, which waits for the engine's news; at the limit the
  // connection is dropped (which cancels the call) and TransportError(kStatusTimeout) thrown.
  std::chrono::milliseconds asyncCallTimeout{3'600'000};
  // Open connections kept between calls.
  size_t maxIdleConnections = 4;
  // A pooled connection unused for this long is closed rather than reused.
  std::chrono::milliseconds maxIdleTime{60'000};
  // The rest of a reply must arrive within this once it started.
  std::chrono::milliseconds frameTimeout{10'000};
};

class ClientConnection;

// Cancels an asynchronous call from another thread. One token serves one call at a time; a
// token cancelled before its call starts cancels the call as soon as it is sent.
class CancelToken {
 public:
  CancelToken() = default;
  CancelToken(const CancelToken&) = delete;
  CancelToken& operator=(const CancelToken&) = delete;

  // Thread-safe; never throws. The call then returns the operation's "cancelled" result.
  void Cancel();
  bool IsCancelled();
  // Makes the token usable for another call.
  void Reset();

 private:
  friend class Client;
  // Returns false when the token was cancelled already (the caller sends the cancel itself).
  bool Attach(std::shared_ptr<ClientConnection> connection, uint32_t callId);
  void Detach();

  keystone::Mutex mutex;  // Guards the members below.
  bool cancelled GUARDED_BY(mutex) = false;
  std::shared_ptr<ClientConnection> active GUARDED_BY(mutex);
  uint32_t activeCallId GUARDED_BY(mutex) = 0;
};

class Client {
 public:
  // Calls the system engine at its well-known endpoint (ClientEndpointPath), or at socketPath.
  // Connects on the first call; never throws here.
  Client();
  explicit Client(std::string socketPath, ClientOptions options = {});
  // Closes the pooled connections; no call may be in flight.
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  const std::string& SocketPath() const { return socketPath; }

  // The operations, with the parameters of the interface (see rpc/engine_operations.h for the
  // C++ types). Each blocks until the reply or the call limit; throws TransportError.
  void ResetServiceRpc();
  int32_t GetSessionIdRpc();
  void ReleaseSessionIdRpc(int32_t sessionId);
  // Waits until the engine has news or the call is cancelled through cancel (if given).
  int32_t NotifyAuthenticateStatusAsyncRpc(int32_t* outSize, uint8_t* outBuffer,
                                           int32_t& dataState, CancelToken* cancel = nullptr);
  void UpdateAuthenticationErrorStateRpc(int32_t first, int32_t second);
  AppletCallStatus SendMessageToAppletRpc(int32_t reserved, int32_t inSize, const uint8_t* inBytes,
                                          int32_t* outSize, uint8_t* outBuffer);
  void SetBTMockModeRpc();
  BtCallStatus SendMessageToBtDeviceRpc(int32_t idSize, const uint8_t* deviceId, int32_t inSize,
                                        const uint8_t* inBytes, int32_t interactive,
                                        int32_t* outSize, uint8_t* outBuffer);
  BtCallStatus EstablishConnectionWithBtDeviceRpc(int32_t idSize, const uint8_t* deviceId);
  BtCallStatus IsRSSISupportedRpc(int16_t providerType, int32_t& supported);
  BtCallStatus GetRSSIRpc(int32_t idSize, const uint8_t* deviceId, int32_t mustExist,
                          int16_t& rssi);
  BtCallStatus CalibrateRSSIRpc(int32_t idSize, const uint8_t* deviceId);
  BtCallStatus GetDeviceStatusRpc(int32_t idSize, const uint8_t* deviceId, int32_t flag,
                                  int32_t& status);
  BtCallStatus ScanRpc(int16_t scanType, int32_t* outSize, uint8_t* outBuffer);
  void UpdateProximityStateRpc(int32_t idSize, const uint8_t* deviceId, int32_t state);
  int32_t AuthenticationOnDesktopRpc(const char* userSid, const char* second);
  int32_t TriggerDataBackupRpc(int16_t mode, const char* user, int32_t dataSize,
                               const uint8_t* data);
  int32_t GetDiscoveryInfoRpc(int16_t kind, int32_t dataSize, const uint8_t* data,
                              const char* first, const char* second, int32_t* outSize,
                              uint8_t* outBuffer);
  int32_t MirrorFactorSupportedStatusRpc(int32_t dataSize, const uint8_t* data);
  int32_t GetUserRecordsRpc(const char* userSid, int32_t* outSize, uint8_t* outBuffer);
  BtCallStatus IsPhonePresentRpc(int32_t idSize, const uint8_t* deviceId, int32_t& present);
  int32_t SetUserPresenceRpc(int32_t dataSize, const uint8_t* data);
  void InitializeSessionRpc();
  int32_t RunEnrollmentFlowRpc(int32_t value, const char* first, const char* second,
                               int32_t dataSize, const uint8_t* data);

  // Calls procedure number `procedure` with an encoded request payload and returns the reply
  // payload; what the typed methods and keystonectl build on. Throws TransportError.
  std::vector<uint8_t> CallRaw(uint16_t procedure, const std::vector<uint8_t>& request,
                               CancelToken* cancel = nullptr);

  // Connections kept for reuse right now.
  size_t IdleConnections();

 private:
  template <size_t N, typename... Args>
  auto Invoke(CancelToken* cancel, Args&&... args);

  // Sends the request frame (header space first) and hands the reply payload to onReply,
  // which may throw MarshalError. Throws TransportError.
  void Exchange(uint16_t procedure, std::vector<uint8_t>& frame, CancelToken* cancel,
                const std::function<void(std::span<const uint8_t>)>& onReply);
  // A pooled connection, or a new one; the flag says which. Throws TransportError.
  std::shared_ptr<ClientConnection> Acquire(bool& reused);
  void Release(std::shared_ptr<ClientConnection> connection);

  const std::string socketPath;
  const ClientOptions options;
  std::atomic<uint32_t> nextCallId{1};

  keystone::Mutex poolMutex;  // Guards the members below.
  std::vector<std::shared_ptr<ClientConnection>> idle GUARDED_BY(poolMutex);
};

}  // namespace rpc
