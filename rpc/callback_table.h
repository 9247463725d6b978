#pragma once

// The callback interface a client serves on its own socket (docs/rpc-protocol.md, "Callbacks"):
// the engine calls it for the smart-card PIN prompt and the signature made in the user's
// session. Same frames and parameter encodings as the engine's interface (rpc/protocol.h,
// rpc/operation_table.h); its own procedure numbers:
//
//   0 PingRpc               none                                                   -> long
//   1 SmartCardGetPinRpc    in long first, in long second, in/out size + bytes      -> long
//   2 SmartCardSignHashRpc  in long first, in long dataSize, in bytes[dataSize],
//                           in string certificateSha1, in/out size + bytes          -> long
//
// The engine passes the prompt's attempt number as the first long of procedure 1 and the value
// the client registered with as the second; procedure 2 carries that value as its first long.

#include <array>
#include <cstddef>
#include <cstdint>

#include "rpc/operation_table.h"

namespace rpc {

namespace table {

inline constexpr ParamSpec kCallbackGetPin[] = {Long("first"), Long("second"), OutSize(),
                                                OutBuffer(2)};
inline constexpr ParamSpec kCallbackSignHash[] = {Long("first"),    Long("dataSize"),
                                                  Bytes("data", 1), String("certificateSha1"),
                                                  OutSize(),        OutBuffer(4)};

}  // namespace table

inline constexpr uint16_t kCallbackPing = 0;
inline constexpr uint16_t kCallbackGetPin = 1;
inline constexpr uint16_t kCallbackSignHash = 2;

inline constexpr std::array<OperationSpec, 3> kCallbackOperations = {{
    {kCallbackPing, "PingRpc", false, ResultType::kLong, {}},
    {kCallbackGetPin, "SmartCardGetPinRpc", false, ResultType::kLong, table::kCallbackGetPin},
    {kCallbackSignHash, "SmartCardSignHashRpc", false, ResultType::kLong, table::kCallbackSignHash},
}};
static_assert(TableIsConsistent(kCallbackOperations));

// The capacities the engine offers for the answers; a client that returns more fails the call.
inline constexpr int32_t kCallbackPinCapacity = 256;
inline constexpr int32_t kCallbackSignatureCapacity = 1024;
// Largest payload of a callback frame in either direction: the hash to sign, the thumbprint and
// a signature fit many times over, and neither side ever holds more for one call.
inline constexpr uint32_t kMaxCallbackPayload = 64 * 1024;
// The value a client answers a ping with.
inline constexpr int32_t kCallbackPingAnswer = 0;

}  // namespace rpc
