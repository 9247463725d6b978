#pragma once

// The frame sizes of a SendMessageToBtDeviceRpc call whose reply is as long as its message, as
// the client library and the server encode them: what a raw baseline of "the same sizes" sends.

#include <cstdint>
#include <stdexcept>
#include <vector>

#include "bench/raw_echo.h"
#include "rpc/marshal.h"

namespace keystone::bench {

inline HopSizes SendMessageToBtDeviceFrames(size_t messageSize, size_t idSize = 8) {
  std::vector<uint8_t> id(idSize);
  std::vector<uint8_t> message(messageSize);
  std::vector<uint8_t> out(messageSize);
  int32_t outSize = static_cast<int32_t>(messageSize);
  rpc::ProxyCall<7> call({static_cast<int32_t>(idSize), id.data(),
                          static_cast<int32_t>(messageSize), message.data(), 0, &outSize,
                          out.data()});
  std::vector<uint8_t> request(rpc::kFrameHeaderSize);
  call.EncodeRequest(request);
  // The reply: the status, the size, the buffer with its count. Decoding it proves the layout.
  std::vector<uint8_t> reply;
  rpc::ByteWriter writer(reply);
  writer.U16(0);
  writer.U8(1);
  writer.I32(static_cast<int32_t>(messageSize));
  writer.U8(1);
  writer.U32(static_cast<uint32_t>(messageSize));
  writer.Bytes(out.data(), out.size());
  call.DecodeReply(reply);
  return {request.size(), rpc::kFrameHeaderSize + reply.size()};
}

}  // namespace keystone::bench
