#include "rpc/server.h"

#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "log/logger.h"
#include "platform/paths.h"
#include "rpc/frame_io.h"
#include "rpc/marshal.h"
#include "rpc/operation_table.h"

namespace rpc {
namespace {

mfab::AuthenticateLogger& Log() { return mfab::AuthenticateLoggerService::Instance(); }

constexpr unsigned kDirectoryMode = 0755;
constexpr unsigned kSocketMode = 0666;
// A refused connection is told why within this, or not at all.
constexpr std::chrono::milliseconds kRefusalSendLimit{100};

std::string DirectoryOf(const std::string& path) {
  const std::string::size_type slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return {};
  return path.substr(0, slash);
}

std::string_view OperationName(uint16_t procedure) {
  return procedure < kOperationCount ? kOperations[procedure].name : std::string_view("?");
}

}  // namespace

struct Server::Connection {
  explicit Connection(platform::UnixStream s) : stream(std::move(s)) {}

  platform::UnixStream stream;
  std::optional<CallerIdentity> caller;
  int identityError = 0;
  std::thread thread;  // owned by the server

  // Touched only by the connection's own thread.
  FrameReader reader;
  std::vector<uint8_t> reply;
  std::shared_ptr<AsyncCall> async;
  std::thread asyncThread;  // owned by the connection's thread

  keystone::Mutex writeMutex;  // One frame at a time on the stream.

  keystone::Mutex stateMutex;  // Guards closed, and the stream against closing while shut down.
  bool closed GUARDED_BY(stateMutex) = false;

  bool finished = false;  // Guarded by the server's connectionsMutex.
};

// The context of one open asynchronous call; shared by the connection's thread (which sets
// cancelled) and the call's own thread (which completes it).
class Server::AsyncCall final : public AsyncCallContext {
 public:
  AsyncCall(Server& owner, Connection& conn, const FrameHeader& header,
            std::unique_ptr<PendingAsyncCall> decoded)
      : AsyncCallContext(header.procedure, conn.caller, conn.identityError),
        server(owner),
        connection(conn),
        callId(header.callId),
        pending(std::move(decoded)) {}

  int32_t TestCancel() const override {
    if (server.stopping.load()) return static_cast<int32_t>(kStatusNotListening);
    return cancelled.load() ? kCallCancelled : kCallNotCancelled;
  }

  void Complete(int32_t result) override {
    if (completed.exchange(true)) {
      KS_LOG(Log(), mfab::kLogError, "RPC", "%s completed twice; the second result is dropped",
             std::string(OperationName(Procedure())).c_str());
      return;
    }
    std::vector<uint8_t> frame(kFrameHeaderSize);
    try {
      pending->EncodeReply(frame, result);
      FinishFrame(frame, FrameKind::kReply, Procedure(), callId);
    } catch (const MarshalError& e) {
      KS_LOG(Log(), mfab::kLogError, "RPC", "%s: reply not sent: %s",
             std::string(OperationName(Procedure())).c_str(), e.what());
      frame.assign(kFrameHeaderSize, 0);
      FinishFrame(frame, FrameKind::kFault, Procedure(), callId, e.Status());
    }
    // The slot is free before the client can see the reply and call again.
    server.ReleaseCall();
    server.SendFrame(connection, frame);
  }

  // Ends a call the operation returned from without completing.
  void FailIfOpen() {
    if (completed.exchange(true)) return;
    KS_LOG(Log(), mfab::kLogError, "RPC", "%s returned without completing its call",
           std::string(OperationName(Procedure())).c_str());
    server.ReleaseCall();
    server.SendFault(connection, callId, Procedure(), kStatusCallFailed);
  }

  Server& server;
  Connection& connection;
  const uint32_t callId;
  const std::unique_ptr<PendingAsyncCall> pending;
  std::atomic<bool> cancelled{false};
  std::atomic<bool> completed{false};
};

Server::Server(EngineOperations& engine, ServerOptions serverOptions)
    : operations(engine),
      options(std::move(serverOptions)),
      socketPath(options.socketPath.empty() ? DefaultEndpointPath() : options.socketPath) {}

Server::~Server() {
  StopListening();
  JoinAll();
  if (endpointCreated) {
    try {
      RemoveEndpoint();
    } catch (const std::system_error& e) {
      KS_LOG(Log(), mfab::kLogWarning, "RPC", "%s", e.what());
    }
  }
}

void Server::UseEndpoint() {
  if (const std::string directory = DirectoryOf(socketPath); !directory.empty()) {
    platform::CreateDirectories(directory, kDirectoryMode);
  }
  listener = platform::UnixListener::Bind(socketPath, kSocketMode);
  endpointCreated = true;
}

void Server::Listen() {
  if (listening) return;
  if (!listener.IsOpen()) throw std::system_error(EBADF, std::generic_category(), "listen");
  listener.Listen(options.backlog);
  stopping = false;
  acceptor = std::thread([this] { AcceptLoop(); });
  listening = true;
}

bool Server::StopListening() {
  if (!listening) return true;
  listening = false;
  {
    keystone::MutexLock lock(connectionsMutex);
    stopping = true;
  }
  connectionsChanged.notify_all();
  listener.Wake();
  if (acceptor.joinable()) acceptor.join();
  listener.Close();

  bool ended = false;
  {
    keystone::MutexLock lock(connectionsMutex);
    for (const std::unique_ptr<Connection>& connection : connections) {
      keystone::MutexLock state(connection->stateMutex);
      if (!connection->closed) connection->stream.ShutdownRead();
    }
    const auto deadline = std::chrono::steady_clock::now() + options.stopTimeout;
    while (activeConnections != 0 &&
           connectionsChanged.wait_until(lock.Native(), deadline) == std::cv_status::no_timeout) {
    }
    ended = activeConnections == 0;
    if (!ended) {
      KS_LOG(Log(), mfab::kLogError, "RPC",
             "RPC server stopped with %u connections still in a call", activeConnections);
      return false;
    }
  }
  JoinAll();
  return true;
}

void Server::RemoveEndpoint() {
  endpointCreated = false;
  platform::RemoveSocketFile(socketPath);
}

uint32_t Server::OpenConnections() {
  keystone::MutexLock lock(connectionsMutex);
  return activeConnections;
}

void Server::AcceptLoop() {
  while (!stopping.load()) {
    std::optional<platform::UnixStream> stream;
    try {
      stream = listener.Accept();
    } catch (const std::system_error& e) {
      KS_LOG(Log(), mfab::kLogError, "RPC", "accept failed: %s", e.what());
      keystone::MutexLock lock(connectionsMutex);
      connectionsChanged.wait_for(lock.Native(), options.acceptRetryDelay,
                                  [this] { return stopping.load(); });
      continue;
    }
    if (!stream) continue;
    ReapFinished();
    StartConnection(std::move(*stream));
  }
}

void Server::StartConnection(platform::UnixStream stream) {
  bool full = false;
  {
    keystone::MutexLock lock(connectionsMutex);
    full = activeConnections >= options.maxConnections;
  }
  if (full) {
    KS_LOG(Log(), mfab::kLogWarning, "RPC", "connection refused: %u connections open",
           options.maxConnections);
    const auto frame = HeaderOnlyFrame(FrameKind::kFault, 0, 0, kStatusServerTooBusy);
    try {
      stream.SendAll(frame, platform::DeadlineAfter(kRefusalSendLimit));
    } catch (const std::system_error&) {
      // The refused client is gone already.
    }
    return;
  }
  auto connection = std::make_unique<Connection>(std::move(stream));
  try {
    const platform::PeerCredentials peer = connection->stream.Credentials();
    connection->caller = CallerIdentity{peer.pid, peer.uid, peer.gid};
  } catch (const std::system_error& e) {
    connection->identityError = e.code().value();
  }
  Connection& ref = *connection;
  keystone::MutexLock lock(connectionsMutex);
  try {
    ref.thread = std::thread([this, &ref] { Serve(ref); });
  } catch (const std::system_error& e) {
    KS_LOG(Log(), mfab::kLogError, "RPC", "no thread for a connection: %s", e.what());
    return;
  }
  ++activeConnections;
  connections.push_back(std::move(connection));
}

void Server::ReapFinished() {
  std::list<std::unique_ptr<Connection>> done;
  {
    keystone::MutexLock lock(connectionsMutex);
    for (auto it = connections.begin(); it != connections.end();) {
      if ((*it)->finished) {
        done.push_back(std::move(*it));
        it = connections.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (const std::unique_ptr<Connection>& connection : done) connection->thread.join();
}

void Server::JoinAll() {
  std::list<std::unique_ptr<Connection>> all;
  {
    keystone::MutexLock lock(connectionsMutex);
    all.swap(connections);
  }
  for (const std::unique_ptr<Connection>& connection : all) {
    if (connection->thread.joinable()) connection->thread.join();
  }
}

void Server::Serve(Connection& connection) {
  try {
    for (;;) {
      const bool asyncOpen = connection.async && !connection.async->completed.load();
      const platform::Deadline idleDeadline =
          asyncOpen ? platform::kNoDeadline : platform::DeadlineAfter(options.idleTimeout);
      FrameHeader header;
      std::span<const uint8_t> payload;
      const FrameReader::Status status =
          connection.reader.Next(connection.stream, idleDeadline, options.frameTimeout,
                                 options.maxFramePayload, header, payload);
      if (status == FrameReader::Status::kFrame) {
        if (!HandleFrame(connection, header, payload)) break;
        connection.reader.Trim();
        continue;
      }
      switch (status) {
        case FrameReader::Status::kClosed:
        case FrameReader::Status::kIdle:
          break;
        case FrameReader::Status::kTruncated:
          KS_LOG(Log(), mfab::kLogWarning, "RPC", "client closed inside a frame");
          break;
        case FrameReader::Status::kTimedOut:
          KS_LOG(Log(), mfab::kLogWarning, "RPC", "frame not completed in time");
          SendFault(connection, 0, 0, kStatusProtocolError);
          break;
        case FrameReader::Status::kBadMagic:
          KS_LOG(Log(), mfab::kLogWarning, "RPC", "not a protocol frame");
          SendFault(connection, 0, 0, kStatusProtocolError);
          break;
        case FrameReader::Status::kBadVersion:
          KS_LOG(Log(), mfab::kLogWarning, "RPC", "protocol version %u not supported",
                 static_cast<unsigned>(header.version));
          SendFault(connection, header.callId, header.procedure, kStatusUnknownVersion);
          break;
        case FrameReader::Status::kTooLarge:
          KS_LOG(Log(), mfab::kLogWarning, "RPC", "frame of %u bytes refused", header.length);
          SendFault(connection, header.callId, header.procedure, kStatusProtocolError);
          break;
        case FrameReader::Status::kFrame:
          break;
      }
      break;
    }
  } catch (const std::exception& e) {
    KS_LOG(Log(), mfab::kLogWarning, "RPC", "connection ended: %s", e.what());
  }
  // An open asynchronous call learns that its client is gone (or misbehaved), and ends; its
  // reply goes out only while the server stops, when the client is still there to take it.
  if (connection.async) connection.async->cancelled = true;
  if (!stopping.load()) {
    keystone::MutexLock state(connection.stateMutex);
    connection.stream.ShutdownBoth();
  }
  JoinAsync(connection);
  {
    keystone::MutexLock state(connection.stateMutex);
    connection.closed = true;
    connection.stream.Close();
  }
  keystone::MutexLock lock(connectionsMutex);
  connection.finished = true;
  --activeConnections;
  connectionsChanged.notify_all();
}

bool Server::HandleFrame(Connection& connection, const FrameHeader& header,
                         std::span<const uint8_t> payload) {
  switch (static_cast<FrameKind>(header.kind)) {
    case FrameKind::kRequest: {
      if (connection.async && !connection.async->completed.load()) {
        KS_LOG(Log(), mfab::kLogWarning, "RPC", "request while an asynchronous call is open");
        SendFault(connection, header.callId, header.procedure, kStatusProtocolError);
        return false;
      }
      const Stub& stub = StubFor(header.procedure);
      if (stub.sync == nullptr && stub.async == nullptr) {
        return SendFault(connection, header.callId, header.procedure, kStatusProcedureOutOfRange);
      }
      if (!AdmitCall()) {
        KS_LOG(Log(), mfab::kLogWarning, "RPC", "server too busy: %u calls in flight",
               options.maxCalls);
        return SendFault(connection, header.callId, header.procedure, kStatusServerTooBusy);
      }
      return stub.async != nullptr ? StartAsync(connection, header, payload)
                                   : RunSync(connection, header, payload);
    }
    case FrameKind::kCancel:
      if (!payload.empty()) break;
      // A cancel that crossed the reply, or for another call, changes nothing.
      if (connection.async && connection.async->callId == header.callId) {
        connection.async->cancelled = true;
      }
      return true;
    case FrameKind::kReply:
    case FrameKind::kFault:
      break;
  }
  KS_LOG(Log(), mfab::kLogWarning, "RPC", "unexpected frame kind %u",
         static_cast<unsigned>(header.kind));
  SendFault(connection, header.callId, header.procedure, kStatusProtocolError);
  return false;
}

bool Server::RunSync(Connection& connection, const FrameHeader& header,
                     std::span<const uint8_t> payload) {
  const Stub& stub = StubFor(header.procedure);
  CallContext call(header.procedure, connection.caller, connection.identityError);
  std::vector<uint8_t>& reply = connection.reply;
  reply.assign(kFrameHeaderSize, 0);
  uint32_t fault = 0;
  try {
    stub.sync(operations, call, payload, reply);
  } catch (const MarshalError& e) {
    KS_LOG(Log(), mfab::kLogWarning, "RPC", "%s: %s",
           std::string(OperationName(header.procedure)).c_str(), e.what());
    fault = e.Status();
  } catch (const std::exception& e) {
    KS_LOG(Log(), mfab::kLogError, "RPC", "%s threw: %s",
           std::string(OperationName(header.procedure)).c_str(), e.what());
    fault = kStatusCallFailed;
  } catch (...) {
    KS_LOG(Log(), mfab::kLogError, "RPC", "%s threw",
           std::string(OperationName(header.procedure)).c_str());
    fault = kStatusCallFailed;
  }
  // The slot is free before the client can see the reply and call again.
  ReleaseCall();
  if (fault != 0) return SendFault(connection, header.callId, header.procedure, fault);
  FinishFrame(reply, FrameKind::kReply, header.procedure, header.callId);
  const bool sent = SendFrame(connection, reply);
  if (reply.capacity() > kMaxFramePayload / 4) std::vector<uint8_t>().swap(reply);
  return sent;
}

bool Server::StartAsync(Connection& connection, const FrameHeader& header,
                        std::span<const uint8_t> payload) {
  std::unique_ptr<PendingAsyncCall> pending;
  try {
    pending = StubFor(header.procedure).async(payload);
  } catch (const MarshalError& e) {
    KS_LOG(Log(), mfab::kLogWarning, "RPC", "%s: %s",
           std::string(OperationName(header.procedure)).c_str(), e.what());
    ReleaseCall();
    return SendFault(connection, header.callId, header.procedure, e.Status());
  }
  // The previous asynchronous call of this connection has completed; its thread is ending.
  JoinAsync(connection);
  auto call = std::make_shared<AsyncCall>(*this, connection, header, std::move(pending));
  connection.async = call;
  try {
    connection.asyncThread = std::thread([this, &connection, call] { RunAsync(connection, call); });
  } catch (const std::system_error& e) {
    KS_LOG(Log(), mfab::kLogError, "RPC", "no thread for an asynchronous call: %s", e.what());
    connection.async.reset();
    ReleaseCall();
    return SendFault(connection, header.callId, header.procedure, kStatusServerTooBusy);
  }
  return true;
}

void Server::RunAsync(Connection&, const std::shared_ptr<AsyncCall>& call) {
  try {
    call->pending->Invoke(operations, *call);
  } catch (const std::exception& e) {
    KS_LOG(Log(), mfab::kLogError, "RPC", "%s threw: %s",
           std::string(OperationName(call->Procedure())).c_str(), e.what());
  } catch (...) {
    KS_LOG(Log(), mfab::kLogError, "RPC", "%s threw",
           std::string(OperationName(call->Procedure())).c_str());
  }
  call->FailIfOpen();
}

void Server::JoinAsync(Connection& connection) {
  if (connection.asyncThread.joinable()) connection.asyncThread.join();
}

bool Server::SendFrame(Connection& connection, std::span<const uint8_t> frame) {
  try {
    keystone::MutexLock lock(connection.writeMutex);
    connection.stream.SendAll(frame, platform::DeadlineAfter(options.sendTimeout));
    return true;
  } catch (const std::system_error& e) {
    // The client went away or stopped reading; its reply is dropped.
    KS_LOG(Log(), mfab::kLogInfo, "RPC", "reply dropped: %s", e.what());
    return false;
  }
}

bool Server::SendFault(Connection& connection, uint32_t callId, uint16_t procedure,
                       uint32_t status) {
  const auto frame = HeaderOnlyFrame(FrameKind::kFault, procedure, callId, status);
  return SendFrame(connection, frame);
}

bool Server::AdmitCall() {
  uint32_t current = inFlight.load();
  do {
    if (current >= options.maxCalls) return false;
  } while (!inFlight.compare_exchange_weak(current, current + 1));
  return true;
}

void Server::ReleaseCall() { inFlight.fetch_sub(1); }

}  // namespace rpc
