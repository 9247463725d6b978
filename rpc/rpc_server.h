#pragma once

// The service's RPC server and the helpers its operations share.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "common/client_identity.h"
#include "common/mutex.h"
#include "rpc/engine_operations.h"
#include "rpc/server.h"

namespace rpc {

// The service's RPC server, as the service starts and stops it: the endpoint (runtime directory
// and socket file), the operations, then listening. The run time's steps keep their log texts.
// Owned by the service's composition root; used from its main thread.
// The running server's load against its limits.
struct ListenerUsage {
  ServerUsage total;
  uint32_t connectionLimit = 0;
  uint32_t callLimit = 0;
};

class RpcListener {
 public:
  RpcListener() = default;
  // Waits for the calls a stop left running (the engine's own stop ends them).
  ~RpcListener();
  RpcListener(const RpcListener&) = delete;
  RpcListener& operator=(const RpcListener&) = delete;

  // Each failing step is logged at level error as the run time's step ("RpcServerUseProtseqEp
  // failed (%d)", "RpcServerRegisterIf failed (%d)", "RpcServerListen failed (%d)" followed by an
  // empty exit record) with the system's code, and the result is false. operations must stay
  // valid until RpcStopListening returned.
  bool RpcStartListening(EngineOperations* operations, const ServerOptions& options = {});
  // No new calls, open calls end (at most options.stopTimeout), then the endpoint is removed.
  // Logs "RpcMgmtStopServerListening failed (%d)" when nothing was listening,
  // "RpcServerUnregisterIf failed (%d)" when the endpoint could not be removed.
  void RpcStopListening();
  // Nothing while no server listens.
  std::optional<ListenerUsage> Usage();

 private:
  keystone::Mutex mutex;  // Guards the members below.
  std::unique_ptr<Server> server GUARDED_BY(mutex);
  // Servers whose calls outlived their stop; each is kept until its threads can be joined.
  std::vector<std::unique_ptr<Server>> stopped GUARDED_BY(mutex);
};

// Copies reply into the client's output buffer: 0xA0000035 when outBufferSize or outBuffer is
// null, 0xA0000036 when the reply is longer than *outBufferSize (left unchanged), otherwise 0
// with *outBufferSize set to the reply's length.
uint32_t populateOutput(std::span<const uint8_t> reply, int32_t* outBufferSize, uint8_t* outBuffer);

// The calling process's id, or 0 (logged) when the connection's credentials are unknown.
uint32_t GetClientPid(const CallContext& call);

// The caller as its connection's credentials name it; unknown (logged as GetClientPid does)
// when they could not be read.
keystone::ClientIdentity ClientOf(const CallContext& call);

}  // namespace rpc
