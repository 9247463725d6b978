#pragma once

// The service's RPC server and the helpers its operations share.

#include <cstdint>
#include <span>

#include "common/client_identity.h"
#include "rpc/engine_operations.h"
#include "rpc/server.h"

namespace rpc {

// Starts the process's RPC server on the interface's endpoint: the endpoint (runtime directory
// and socket file), the operations, then listening. Each failing step is logged at level error
// as the run time's step ("RpcServerUseProtseqEp failed (%d)", "RpcServerRegisterIf failed (%d)",
// "RpcServerListen failed (%d)" followed by an empty exit record) with the system's code, and
// the result is false. operations must stay valid until RpcStopListening returned.
// Getting the engine's singletons ready is the caller's step after a true result.
bool RpcStartListening(EngineOperations* operations, const ServerOptions& options = {});

// Stops the process's RPC server: no new calls, open calls end (at most options.stopTimeout),
// then the endpoint is removed. Logs "RpcMgmtStopServerListening failed (%d)" when nothing was
// listening, "RpcServerUnregisterIf failed (%d)" when the endpoint could not be removed.
void RpcStopListening();

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
