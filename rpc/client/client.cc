#include "rpc/client/client.h"

#include <system_error>
#include <utility>

#include "platform/unix_socket.h"
#include "rpc/frame_io.h"
#include "rpc/marshal.h"

namespace rpc {

// One connection to the server. The calling thread that holds it reads and writes; a cancel
// from another thread writes too, so writes and closing go under writeMutex.
class ClientConnection {
 public:
  explicit ClientConnection(platform::UnixStream s) : stream(std::move(s)) {}

  void Send(std::span<const uint8_t> frame, platform::Deadline deadline) {
    keystone::MutexLock lock(writeMutex);
    if (closed) throw std::system_error(EPIPE, std::generic_category(), "send");
    stream.SendAll(frame, deadline);
  }

  void SendCancel(uint32_t callId) noexcept {
    const auto frame = HeaderOnlyFrame(FrameKind::kCancel, 0, callId, 0);
    try {
      Send(frame, platform::DeadlineAfter(kCancelSendLimit));
    } catch (const std::system_error&) {
      // The call is ending anyway: the connection broke.
    }
  }

  void Close() noexcept {
    keystone::MutexLock lock(writeMutex);
    closed = true;
    stream.Close();
  }

  // Reading belongs to the thread holding the connection.
  platform::UnixStream stream;
  FrameReader reader;
  std::chrono::steady_clock::time_point lastUsed;

 private:
  static constexpr std::chrono::milliseconds kCancelSendLimit{1000};

  keystone::Mutex writeMutex;  // Guards closed and writes to the stream.
  bool closed GUARDED_BY(writeMutex) = false;
};

namespace {

// Statuses after which the server has closed the connection.
bool ServerClosesAfter(uint32_t status) {
  return status == kStatusProtocolError || status == kStatusUnknownVersion;
}

std::string FaultText(uint32_t status, uint16_t procedure) {
  std::string text(TransportStatusText(status));
  if (procedure < kOperationCount) text += " (" + std::string(kOperations[procedure].name) + ")";
  return text + " [status " + std::to_string(status) + "]";
}

}  // namespace

void CancelToken::Cancel() {
  std::shared_ptr<ClientConnection> connection;
  uint32_t callId = 0;
  {
    keystone::MutexLock lock(mutex);
    cancelled = true;
    connection = active;
    callId = activeCallId;
  }
  if (connection) connection->SendCancel(callId);
}

bool CancelToken::IsCancelled() {
  keystone::MutexLock lock(mutex);
  return cancelled;
}

void CancelToken::Reset() {
  keystone::MutexLock lock(mutex);
  cancelled = false;
}

bool CancelToken::Attach(std::shared_ptr<ClientConnection> connection, uint32_t callId) {
  keystone::MutexLock lock(mutex);
  if (cancelled) return false;
  active = std::move(connection);
  activeCallId = callId;
  return true;
}

void CancelToken::Detach() {
  std::shared_ptr<ClientConnection> connection;
  keystone::MutexLock lock(mutex);
  connection.swap(active);
}

Client::Client() : Client(ClientEndpointPath()) {}

Client::Client(std::string path, ClientOptions clientOptions)
    : socketPath(std::move(path)), options(clientOptions) {}

Client::~Client() {
  std::vector<std::shared_ptr<ClientConnection>> connections;
  {
    keystone::MutexLock lock(poolMutex);
    connections.swap(idle);
  }
  for (const auto& connection : connections) connection->Close();
}

size_t Client::IdleConnections() {
  keystone::MutexLock lock(poolMutex);
  return idle.size();
}

std::shared_ptr<ClientConnection> Client::Acquire(bool& reused) {
  std::vector<std::shared_ptr<ClientConnection>> stale;
  std::shared_ptr<ClientConnection> connection;
  {
    keystone::MutexLock lock(poolMutex);
    const auto now = std::chrono::steady_clock::now();
    while (!idle.empty() && !connection) {
      std::shared_ptr<ClientConnection> candidate = std::move(idle.back());
      idle.pop_back();
      if (now - candidate->lastUsed > options.maxIdleTime || candidate->reader.HasBuffered()) {
        stale.push_back(std::move(candidate));
      } else {
        connection = std::move(candidate);
      }
    }
  }
  for (const auto& old : stale) old->Close();
  reused = connection != nullptr;
  if (connection) return connection;
  std::vector<uint32_t> trusted{0, platform::CurrentUserId()};
  if (options.engineUid) trusted.push_back(*options.engineUid);
  try {
    return std::make_shared<ClientConnection>(ConnectToTrustedPeer(socketPath, trusted));
  } catch (const UntrustedPeerError& e) {
    throw TransportError(kStatusUntrustedServer,
                         "refusing the engine at " + socketPath + ": " + e.what());
  } catch (const std::system_error& e) {
    throw TransportError(kStatusServerUnavailable,
                         "cannot reach the engine at " + socketPath + ": " + e.what());
  }
}

void Client::Release(std::shared_ptr<ClientConnection> connection) {
  connection->lastUsed = std::chrono::steady_clock::now();
  {
    keystone::MutexLock lock(poolMutex);
    if (idle.size() < options.maxIdleConnections) {
      idle.push_back(std::move(connection));
      return;
    }
  }
  connection->Close();
}

void Client::Exchange(uint16_t procedure, std::vector<uint8_t>& frame, CancelToken* cancel,
                      const std::function<void(std::span<const uint8_t>)>& onReply) {
  if (frame.size() - kFrameHeaderSize > kMaxFramePayload) {
    throw TransportError(kStatusBadStubData, "request larger than a frame may be");
  }
  uint32_t callId = nextCallId.fetch_add(1);
  if (callId == 0) callId = nextCallId.fetch_add(1);
  FinishFrame(frame, FrameKind::kRequest, procedure, callId);
  const bool async = procedure < kOperationCount && kOperations[procedure].async;
  const platform::Deadline deadline =
      platform::DeadlineAfter(async ? options.asyncCallTimeout : options.callTimeout);

  bool reused = false;
  std::shared_ptr<ClientConnection> connection = Acquire(reused);
  try {
    connection->Send(frame, deadline);
  } catch (const std::system_error& e) {
    connection->Close();
    // A pooled connection the server has closed meanwhile took nothing; a fresh one may.
    if (!reused || e.code().value() != EPIPE) {
      throw TransportError(kStatusCallFailed, std::string("sending the call failed: ") + e.what());
    }
    connection = Acquire(reused);
    try {
      connection->Send(frame, deadline);
    } catch (const std::system_error& again) {
      connection->Close();
      throw TransportError(kStatusCallFailed,
                           std::string("sending the call failed: ") + again.what());
    }
  }
  if (cancel != nullptr && !cancel->Attach(connection, callId)) connection->SendCancel(callId);

  FrameHeader header;
  std::span<const uint8_t> payload;
  FrameReader::Status status = FrameReader::Status::kClosed;
  try {
    status = connection->reader.Next(connection->stream, deadline, options.frameTimeout,
                                     kMaxFramePayload, header, payload);
  } catch (const std::system_error& e) {
    if (cancel != nullptr) cancel->Detach();
    connection->Close();
    throw TransportError(kStatusCallFailed, std::string("receiving the reply failed: ") + e.what());
  }
  if (cancel != nullptr) cancel->Detach();

  switch (status) {
    case FrameReader::Status::kFrame:
      break;
    case FrameReader::Status::kIdle:
      connection->Close();
      throw TransportError(kStatusTimeout, "no reply within the call limit");
    case FrameReader::Status::kClosed:
    case FrameReader::Status::kTruncated:
      connection->Close();
      throw TransportError(kStatusCallFailed, "the engine closed the connection during the call");
    case FrameReader::Status::kBadVersion:
      connection->Close();
      throw TransportError(kStatusUnknownVersion, "the engine speaks another protocol version");
    case FrameReader::Status::kTimedOut:
    case FrameReader::Status::kBadMagic:
    case FrameReader::Status::kTooLarge:
      connection->Close();
      throw TransportError(kStatusProtocolError, "malformed reply");
  }

  if (header.kind == static_cast<uint8_t>(FrameKind::kFault)) {
    const bool ours = header.callId == callId;
    if (ours && !ServerClosesAfter(header.status)) {
      Release(std::move(connection));
    } else {
      connection->Close();
    }
    throw TransportError(header.status, FaultText(header.status, procedure));
  }
  if (header.kind != static_cast<uint8_t>(FrameKind::kReply) || header.callId != callId ||
      header.procedure != procedure) {
    connection->Close();
    throw TransportError(kStatusProtocolError, "reply does not match the call");
  }
  try {
    onReply(payload);
  } catch (const MarshalError& e) {
    connection->Close();
    throw TransportError(kStatusBadStubData, std::string("malformed reply: ") + e.what());
  }
  Release(std::move(connection));
}

std::vector<uint8_t> Client::CallRaw(uint16_t procedure, const std::vector<uint8_t>& request,
                                     CancelToken* cancel) {
  std::vector<uint8_t> frame(kFrameHeaderSize);
  ByteWriter(frame).Bytes(request.data(), request.size());
  std::vector<uint8_t> reply;
  Exchange(procedure, frame, cancel,
           [&reply](std::span<const uint8_t> payload) { reply.assign(payload.begin(), payload.end()); });
  return reply;
}

template <size_t N, typename... Args>
auto Client::Invoke(CancelToken* cancel, Args&&... args) {
  ProxyCall<N> call(typename ProxyCall<N>::Arguments(std::forward<Args>(args)...));
  std::vector<uint8_t> frame(kFrameHeaderSize);
  try {
    call.EncodeRequest(frame);
  } catch (const MarshalError& e) {
    throw TransportError(e.Status(), std::string(kOperations[N].name) + ": " + e.what());
  }
  using Result = typename ProxyCall<N>::Result;
  if constexpr (std::is_void_v<Result>) {
    Exchange(N, frame, cancel, [&call](std::span<const uint8_t> payload) { call.DecodeReply(payload); });
  } else {
    Result result{};
    Exchange(N, frame, cancel,
             [&call, &result](std::span<const uint8_t> payload) { result = call.DecodeReply(payload); });
    return result;
  }
}

void Client::ResetServiceRpc() { Invoke<0>(nullptr); }
int32_t Client::GetSessionIdRpc() { return Invoke<1>(nullptr); }
void Client::ReleaseSessionIdRpc(int32_t sessionId) { Invoke<2>(nullptr, sessionId); }
int32_t Client::NotifyAuthenticateStatusAsyncRpc(int32_t* outSize, uint8_t* outBuffer,
                                                 int32_t& dataState, CancelToken* cancel) {
  return Invoke<3>(cancel, outSize, outBuffer, dataState);
}
void Client::UpdateAuthenticationErrorStateRpc(int32_t first, int32_t second) {
  Invoke<4>(nullptr, first, second);
}
AppletCallStatus Client::SendMessageToAppletRpc(int32_t reserved, int32_t inSize,
                                                const uint8_t* inBytes, int32_t* outSize,
                                                uint8_t* outBuffer) {
  return Invoke<5>(nullptr, reserved, inSize, inBytes, outSize, outBuffer);
}
void Client::SetBTMockModeRpc() { Invoke<6>(nullptr); }
BtCallStatus Client::SendMessageToBtDeviceRpc(int32_t idSize, const uint8_t* deviceId,
                                              int32_t inSize, const uint8_t* inBytes,
                                              int32_t interactive, int32_t* outSize,
                                              uint8_t* outBuffer) {
  return Invoke<7>(nullptr, idSize, deviceId, inSize, inBytes, interactive, outSize, outBuffer);
}
BtCallStatus Client::EstablishConnectionWithBtDeviceRpc(int32_t idSize, const uint8_t* deviceId) {
  return Invoke<8>(nullptr, idSize, deviceId);
}
BtCallStatus Client::IsRSSISupportedRpc(int16_t providerType, int32_t& supported) {
  return Invoke<9>(nullptr, providerType, supported);
}
BtCallStatus Client::GetRSSIRpc(int32_t idSize, const uint8_t* deviceId, int32_t mustExist,
                                int16_t& rssi) {
  return Invoke<10>(nullptr, idSize, deviceId, mustExist, rssi);
}
BtCallStatus Client::CalibrateRSSIRpc(int32_t idSize, const uint8_t* deviceId) {
  return Invoke<11>(nullptr, idSize, deviceId);
}
BtCallStatus Client::GetDeviceStatusRpc(int32_t idSize, const uint8_t* deviceId, int32_t flag,
                                        int32_t& status) {
  return Invoke<12>(nullptr, idSize, deviceId, flag, status);
}
BtCallStatus Client::ScanRpc(int16_t scanType, int32_t* outSize, uint8_t* outBuffer) {
  return Invoke<13>(nullptr, scanType, outSize, outBuffer);
}
void Client::UpdateProximityStateRpc(int32_t idSize, const uint8_t* deviceId, int32_t state) {
  Invoke<14>(nullptr, idSize, deviceId, state);
}
int32_t Client::AuthenticationOnDesktopRpc(const char* userSid, const char* second) {
  return Invoke<15>(nullptr, userSid, second);
}
int32_t Client::TriggerDataBackupRpc(int16_t mode, const char* user, int32_t dataSize,
                                     const uint8_t* data) {
  return Invoke<16>(nullptr, mode, user, dataSize, data);
}
int32_t Client::GetDiscoveryInfoRpc(int16_t kind, int32_t dataSize, const uint8_t* data,
                                    const char* first, const char* second, int32_t* outSize,
                                    uint8_t* outBuffer) {
  return Invoke<17>(nullptr, kind, dataSize, data, first, second, outSize, outBuffer);
}
int32_t Client::MirrorFactorSupportedStatusRpc(int32_t dataSize, const uint8_t* data) {
  return Invoke<18>(nullptr, dataSize, data);
}
int32_t Client::GetUserRecordsRpc(const char* userSid, int32_t* outSize, uint8_t* outBuffer) {
  return Invoke<19>(nullptr, userSid, outSize, outBuffer);
}
BtCallStatus Client::IsPhonePresentRpc(int32_t idSize, const uint8_t* deviceId, int32_t& present) {
  return Invoke<20>(nullptr, idSize, deviceId, present);
}
int32_t Client::SetUserPresenceRpc(int32_t dataSize, const uint8_t* data) {
  return Invoke<21>(nullptr, dataSize, data);
}
void Client::InitializeSessionRpc() { Invoke<22>(nullptr); }
int32_t Client::RunEnrollmentFlowRpc(int32_t value, const char* first, const char* second,
                                     int32_t dataSize, const uint8_t* data) {
  return Invoke<23>(nullptr, value, first, second, dataSize, data);
}

// The proxies above must have the table's signatures (the async one takes a cancel token too).
template <size_t... N>
constexpr bool ProxiesMatchTable(std::index_sequence<N...>) {
  constexpr auto kMethods = std::make_tuple(
      &Client::ResetServiceRpc, &Client::GetSessionIdRpc, &Client::ReleaseSessionIdRpc,
      &Client::NotifyAuthenticateStatusAsyncRpc, &Client::UpdateAuthenticationErrorStateRpc,
      &Client::SendMessageToAppletRpc, &Client::SetBTMockModeRpc, &Client::SendMessageToBtDeviceRpc,
      &Client::EstablishConnectionWithBtDeviceRpc, &Client::IsRSSISupportedRpc, &Client::GetRSSIRpc,
      &Client::CalibrateRSSIRpc, &Client::GetDeviceStatusRpc, &Client::ScanRpc,
      &Client::UpdateProximityStateRpc, &Client::AuthenticationOnDesktopRpc,
      &Client::TriggerDataBackupRpc, &Client::GetDiscoveryInfoRpc,
      &Client::MirrorFactorSupportedStatusRpc, &Client::GetUserRecordsRpc,
      &Client::IsPhonePresentRpc, &Client::SetUserPresenceRpc, &Client::InitializeSessionRpc,
      &Client::RunEnrollmentFlowRpc);
  using Methods = std::remove_const_t<decltype(kMethods)>;
  static_assert(std::tuple_size_v<Methods> == kOperationCount);
  return (std::is_same_v<std::tuple_element_t<N, Methods>,
                         std::conditional_t<kOperations[N].async,
                                            typename Signature<N>::template ProxyMethod<Client, CancelToken*>,
                                            typename Signature<N>::template ProxyMethod<Client>>> &&
          ...);
}
static_assert(ProxiesMatchTable(std::make_index_sequence<kOperationCount>()),
              "Client does not match the operation table");

}  // namespace rpc
