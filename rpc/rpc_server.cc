#include "rpc/rpc_server.h"

#include <cstring>
#include <memory>
#include <system_error>

#include "common/mutex.h"
#include "common/status.h"
#include "log/logger.h"

namespace rpc {
namespace {

mfab::AuthenticateLogger& Log() { return mfab::AuthenticateLoggerService::Instance(); }

// Codes of the run time's failures that have no system error behind them.
constexpr int kErrorInvalidParameter = 87;
constexpr int kDuplicateEndpoint = 1740;

keystone::Mutex& ServerMutex() {
  static keystone::Mutex mutex;
  return mutex;
}

// The process's server; only RpcStartListening and RpcStopListening touch it.
std::unique_ptr<Server>& ProcessServer() {
  static std::unique_ptr<Server> server;
  return server;
}

}  // namespace

bool RpcStartListening(EngineOperations* operations, const ServerOptions& options) {
  keystone::MutexLock lock(ServerMutex());
  std::unique_ptr<Server>& current = ProcessServer();
  if (current) {
    KS_LOG(Log(), mfab::kLogError, "RPC-START", "RpcServerUseProtseqEp failed (%d)",
           kDuplicateEndpoint);
    return false;
  }
  if (operations == nullptr) {
    KS_LOG(Log(), mfab::kLogError, "RPC-START", "RpcServerRegisterIf failed (%d)",
           kErrorInvalidParameter);
    return false;
  }
  auto server = std::make_unique<Server>(*operations, options);
  try {
    server->UseEndpoint();
  } catch (const std::system_error& e) {
    KS_LOG(Log(), mfab::kLogError, "RPC-START", "RpcServerUseProtseqEp failed (%d)",
           e.code().value());
    return false;
  }
  try {
    server->Listen();
  } catch (const std::system_error& e) {
    KS_LOG(Log(), mfab::kLogError, "RPC-START", "RpcServerListen failed (%d)", e.code().value());
    KS_LOG(Log(), mfab::kLogInfo, "RPC-END", "%s", "");
    return false;
  }
  current = std::move(server);
  return true;
}

void RpcStopListening() {
  std::unique_ptr<Server> server;
  {
    keystone::MutexLock lock(ServerMutex());
    server = std::move(ProcessServer());
  }
  if (!server) {
    KS_LOG(Log(), mfab::kLogError, "RPC", "RpcMgmtStopServerListening failed (%d)",
           static_cast<int>(kStatusNotListening));
    return;
  }
  const bool callsEnded = server->StopListening();
  try {
    server->RemoveEndpoint();
  } catch (const std::system_error& e) {
    KS_LOG(Log(), mfab::kLogError, "RPC", "RpcServerUnregisterIf failed (%d)", e.code().value());
  }
  if (!callsEnded) {
    // Calls still run on the server's threads; it must outlive them, so it is never destroyed.
    (void)server.release();
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
