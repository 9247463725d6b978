#include "rpc/rpc_server.h"

#include <cstring>
#include <memory>
#include <system_error>

#include "common/mutex.h"
#include "common/status.h"
#include "log/logger.h"
#include "platform/paths.h"

namespace rpc {
namespace {

mfab::AuthenticateLogger& Log() { return mfab::AuthenticateLoggerService::Instance(); }

// Codes of the run time's failures that have no system error behind them.
constexpr int kErrorInvalidParameter = 87;
constexpr int kDuplicateEndpoint = 1740;

}  // namespace

RpcListener::~RpcListener() {
  std::unique_ptr<Server> running;
  std::vector<std::unique_ptr<Server>> left;
  {
    keystone::MutexLock lock(mutex);
    running = std::move(server);
    left = std::move(stopped);
  }
  // Each server's destructor stops it if needed and joins its threads.
  running.reset();
  left.clear();
}

bool RpcListener::RpcStartListening(EngineOperations* operations, const ServerOptions& options) {
  keystone::MutexLock lock(mutex);
  if (server) {
    KS_LOG(Log(), mfab::kLogError, "RPC-START", "RpcServerUseProtseqEp failed (%d)",
           kDuplicateEndpoint);
    return false;
  }
  if (operations == nullptr) {
    KS_LOG(Log(), mfab::kLogError, "RPC-START", "RpcServerRegisterIf failed (%d)",
           kErrorInvalidParameter);
    return false;
  }
  auto created = std::make_unique<Server>(*operations, options);
  try {
    created->UseEndpoint();
  } catch (const std::system_error& e) {
    KS_LOG(Log(), mfab::kLogError, "RPC-START", "RpcServerUseProtseqEp failed (%d)",
           e.code().value());
    return false;
  }
  // Each user's client makes its callback directory in here (docs/rpc-protocol.md,
  // "Callbacks"); without it callbacks fail, but every other call still works.
  if (const std::string::size_type slash = created->SocketPath().rfind('/');
      slash != std::string::npos && slash > 0) {
    const std::string callbacks = CallbackDirectory(created->SocketPath().substr(0, slash));
    try {
      platform::CreateDirectories(callbacks, kCallbackDirectoryMode);
    } catch (const std::system_error& e) {
      KS_LOG(Log(), mfab::kLogWarning, "RPC-START", "no callback directory %s: %s",
             callbacks.c_str(), e.what());
    }
  }
  try {
    created->Listen();
  } catch (const std::system_error& e) {
    KS_LOG(Log(), mfab::kLogError, "RPC-START", "RpcServerListen failed (%d)", e.code().value());
    KS_LOG(Log(), mfab::kLogInfo, "RPC-END", "%s", "");
    return false;
  }
  server = std::move(created);
  return true;
}

std::optional<ListenerUsage> RpcListener::Usage() {
  // The server is this listener's own; its counters take only its own short locks.
  keystone::MutexLock lock(mutex);
  if (!server) return std::nullopt;
  return ListenerUsage{server->Usage(), server->ConnectionLimit(), server->CallLimit()};
}

void RpcListener::RpcStopListening() {
  std::unique_ptr<Server> stopping;
  {
    keystone::MutexLock lock(mutex);
    stopping = std::move(server);
  }
  if (!stopping) {
    KS_LOG(Log(), mfab::kLogError, "RPC", "RpcMgmtStopServerListening failed (%d)",
           static_cast<int>(kStatusNotListening));
    return;
  }
  const bool callsEnded = stopping->StopListening();
  try {
    stopping->RemoveEndpoint();
  } catch (const std::system_error& e) {
    KS_LOG(Log(), mfab::kLogError, "RPC", "RpcServerUnregisterIf failed (%d)", e.code().value());
  }
  if (!callsEnded) {
    // Calls still run on the server's threads; it must outlive them.
    keystone::MutexLock lock(mutex);
    stopped.push_back(std::move(stopping));
  }
}

uint32_t populateOutput(std::span<const uint8_t> reply, int32_t* outBufferSize,
                        uint8_t* outBuffer) {
  KS_LOG(Log(), mfab::kLogInfo, "RPC", "PopulateOutput");
  if (outBufferSize == nullptr || outBuffer == nullptr) {
    KS_LOG(Log(), mfab::kLogError, "RPC", "outBufferSize or outBuffer is null");
    return keystone::kStatusInvalidParameter;
  }
  if (*outBufferSize < 0 || reply.size() > static_cast<size_t>(*outBufferSize)) {
    KS_LOG(Log(), mfab::kLogError, "RPC", "insufficient buffer size");
    return keystone::kStatusBufferTooSmall;
  }
  if (!reply.empty()) std::memcpy(outBuffer, reply.data(), reply.size());
  *outBufferSize = static_cast<int32_t>(reply.size());
  return keystone::kStatusSuccess;
}

uint32_t GetClientPid(const CallContext& call) {
  if (!call.Caller()) {
    KS_LOG(Log(), mfab::kLogError, "RPC", "Failed to retrieve client PID. Error code: %d",
           call.IdentityError());
    return 0;
  }
  return call.Caller()->pid;
}

keystone::ClientIdentity ClientOf(const CallContext& call) {
  if (!call.Caller()) {
    GetClientPid(call);
    return {};
  }
  return keystone::ClientIdentity{call.Caller()->pid, call.Caller()->uid};
}

}  // namespace rpc
