// libFuzzer target over the engine's RPC protocol (docs/rpc-protocol.md). The first input byte,
// modulo 3, says what the rest is:
//   0  the bytes a client sent on a connection. The server's frame assembler splits them (its
//      verdict on each frame must be the one the frame layout gives), and every request frame
//      runs through its operation's server stub into an engine that checks the arguments it was
//      handed and answers by a script taken from the call id. A decoded request must encode to
//      the same bytes, and the client library must decode the reply to exactly the answer.
//   1  procedure (1 byte), request length (2 bytes, little-endian), request payload, reply
//      payload. The client library decodes the reply for the call the request describes; a
//      reply it accepts must be what the server encodes from the outputs it decoded.
//   2  procedure (1 byte), the client's arguments (ClientCall::Choose in rpc_fuzz_calls.h),
//      script (4 bytes). The client library must encode the call or refuse it with the status
//      the arguments call for; the server must hand the engine the same arguments.

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "fuzz/rpc_fuzz_calls.h"
#include "platform/unix_socket.h"
#include "rpc/frame_io.h"
#include "rpc/marshal.h"
#include "rpc/protocol.h"

namespace {

using rpcfuzz::CallCheck;
using rpcfuzz::Choices;
using rpcfuzz::Fail;

// A connection's bytes are written into a socket pair before the reader runs, so they must fit
// in its buffer.
constexpr size_t kMaxStream = 64 * 1024;
constexpr int kMaxFramesPerStream = 16;
constexpr std::chrono::milliseconds kReadLimit{2000};

rpcfuzz::FuzzEngine engine;

template <size_t N>
void ServeRequest(std::span<const uint8_t> payload, uint32_t callId) {
  // A copy of exactly the payload's size, so that a read past it is caught.
  const std::vector<uint8_t> request(payload.begin(), payload.end());
  CallCheck<N> check(CallCheck<N>::Role::kMirror, callId);
  check.request = request;
  rpcfuzz::ServeAndVerify(engine, check, request);
}

// Runs a server call's engine method with the check armed.
template <size_t N>
void InvokeServerCall(rpc::ServerCall<N>& serverCall, CallCheck<N>& check) {
  engine.Expect(check);
  if constexpr (rpc::kOperations[N].async) {
    rpcfuzz::CompletedCall call(N, rpcfuzz::kFuzzCaller);
    serverCall.Invoke(engine, call);
    if (!call.completed) Fail("the asynchronous operation did not complete");
  } else {
    rpc::CallContext call(N, rpcfuzz::kFuzzCaller);
    serverCall.Invoke(engine, call);
  }
  engine.Disarm();
  if (!check.called) Fail("a server call did not reach the engine");
}

template <size_t N>
void DecodeReply(std::span<const uint8_t> requestBytes, std::span<const uint8_t> replyBytes) {
  using Check = CallCheck<N>;
  const std::vector<uint8_t> request(requestBytes.begin(), requestBytes.end());
  rpc::ServerCall<N> serverCall;
  try {
    serverCall.Decode(request);
  } catch (const rpc::MarshalError&) {
    return;
  }
  serverCall.AllocateOutputs();
  Check capture(Check::Role::kCapture, 0);
  capture.request = request;
  InvokeServerCall(serverCall, capture);

  const std::vector<uint8_t> reply(replyBytes.begin(), replyBytes.end());
  typename Check::StoredResult result{};
  try {
    if constexpr (std::is_void_v<typename Check::Result>) {
      capture.proxy->DecodeReply(reply);
    } else {
      result = capture.proxy->DecodeReply(reply);
    }
  } catch (const rpc::MarshalError& e) {
    if (e.Status() != rpc::kStatusBadStubData)
      Fail("a reply refused with another status than 1783");
    return;
  }

  Check replay(Check::Role::kReplay, 0);
  replay.replaySource = &capture.client;
  replay.replayResult = result;
  InvokeServerCall(serverCall, replay);
  std::vector<uint8_t> again;
  rpc::ByteWriter out(again);
  try {
    if constexpr (std::is_void_v<typename Check::Result>) {
      serverCall.EncodeReply(out);
    } else {
      serverCall.EncodeReply(out, result);
    }
  } catch (const rpc::MarshalError&) {
    Fail("the server cannot send outputs the client library accepted");
  }
  if (again != reply) Fail("an accepted reply does not encode to the same bytes");
}

template <size_t N>
void EncodeCall(Choices& choices) {
  using Check = CallCheck<N>;
  Check check(Check::Role::kCompare, 0);
  check.client.Choose(choices);
  check.script = choices.U32();
  check.proxy.emplace(check.client.Pass());
  std::vector<uint8_t> encoded;
  uint32_t status = 0;
  try {
    check.proxy->EncodeRequest(encoded);
  } catch (const rpc::MarshalError& e) {
    status = e.Status();
  }
  if (status != check.client.EncodeStatus()) Fail("the client library's verdict on a call");
  if (status != 0) return;
  const std::vector<uint8_t> request(encoded.begin(), encoded.end());
  if (!rpcfuzz::ServeAndVerify(engine, check, request)) {
    Fail("the server refuses a request the client library encoded");
  }
}

using ServeFunction = void (*)(std::span<const uint8_t>, uint32_t);
using DecodeFunction = void (*)(std::span<const uint8_t>, std::span<const uint8_t>);
using EncodeFunction = void (*)(Choices&);

template <size_t... N>
constexpr auto MakeTables(std::index_sequence<N...>) {
  return std::make_tuple(std::array<ServeFunction, sizeof...(N)>{&ServeRequest<N>...},
                         std::array<DecodeFunction, sizeof...(N)>{&DecodeReply<N>...},
                         std::array<EncodeFunction, sizeof...(N)>{&EncodeCall<N>...});
}
constexpr auto kTables = MakeTables(std::make_index_sequence<rpc::kOperationCount>());

// What the server's assembler must make of the rest of a stream whose writer has closed.
rpc::FrameAssembler::Status ExpectedStatus(std::span<const uint8_t> rest) {
  using Status = rpc::FrameAssembler::Status;
  if (rest.empty()) return Status::kClosed;
  if (rest.size() < rpc::kFrameHeaderSize) return Status::kTruncated;
  const auto u32 = [&](size_t at) {
    return uint32_t{rest[at]} | uint32_t{rest[at + 1]} << 8 | uint32_t{rest[at + 2]} << 16 |
           uint32_t{rest[at + 3]} << 24;
  };
  if (u32(0) != rpc::kFrameMagic) return Status::kBadMagic;
  if (rest[4] != rpc::kProtocolVersion) return Status::kBadVersion;
  const uint32_t length = u32(16);
  if (length > rpc::kMaxFramePayload) return Status::kTooLarge;
  if (rest.size() - rpc::kFrameHeaderSize < length) return Status::kTruncated;
  return Status::kFrame;
}

// What the server does with one whole frame; false when it closes the connection.
bool HandleFrame(const rpc::FrameHeader& header, std::span<const uint8_t> payload) {
  switch (static_cast<rpc::FrameKind>(header.kind)) {
    case rpc::FrameKind::kRequest: {
      if (header.callId == 0) return false;  // fault 1728, the connection closes
      if (header.procedure >= rpc::kOperationCount) {
        try {
          rpc::PrepareCall(header.procedure, payload);
          Fail("an unknown procedure was prepared");
        } catch (const rpc::MarshalError& e) {
          if (e.Status() != rpc::kStatusProcedureOutOfRange) Fail("unknown procedure not 1745");
        }
        return true;  // fault 1745, the connection stays
      }
      std::get<0>(kTables)[header.procedure](payload, header.callId);
      return true;
    }
    case rpc::FrameKind::kCancel:
      return payload.empty();
    default:
      return false;
  }
}

void FuzzConnection(std::span<const uint8_t> stream) {
  if (stream.size() > kMaxStream) return;
  auto [client, server] = platform::UnixStream::Pair();
  client.SendAll(stream, platform::DeadlineAfter(kReadLimit));
  client.Close();
  rpc::FrameAssembler assembler;
  // Every growth is checked against what the stream holds: memory follows the bytes that came.
  size_t held = 0;
  const rpc::FrameAssembler::Grow grow = [&](size_t bytes) {
    held += bytes;
    if (held > 2 * stream.size() + 4096) {
      Fail("the assembler took more memory than its bytes need");
    }
    return true;
  };
  size_t offset = 0;
  for (int frame = 0; frame < kMaxFramesPerStream; ++frame) {
    rpc::FrameHeader header;
    std::span<const uint8_t> payload;
    const rpc::FrameAssembler::Status status =
        assembler.Next(server, rpc::kMaxFramePayload, grow, header, payload);
    const std::span<const uint8_t> rest = stream.subspan(offset);
    if (status != ExpectedStatus(rest)) Fail("the frame assembler misjudged a frame");
    if (status != rpc::FrameAssembler::Status::kFrame) return;
    std::array<uint8_t, rpc::kFrameHeaderSize> encoded;
    rpc::EncodeHeader(header, encoded.data());
    if (!std::equal(encoded.begin(), encoded.end(), rest.begin())) {
      Fail("a decoded header does not encode to the same bytes");
    }
    if (payload.size() != header.length ||
        !std::equal(payload.begin(), payload.end(), rest.begin() + rpc::kFrameHeaderSize)) {
      Fail("the reader returned another payload than the frame's");
    }
    offset += rpc::kFrameHeaderSize + header.length;
    if (!HandleFrame(header, payload)) return;
    assembler.Consume();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::span<const uint8_t> rest(data + 1, size - 1);
  switch (data[0] % 3) {
    case 0:
      FuzzConnection(rest);
      break;
    case 1: {
      Choices choices(rest);
      const size_t procedure = choices.U8() % rpc::kOperationCount;
      const std::span<const uint8_t> request = choices.Take(choices.U16());
      std::get<1>(kTables)[procedure](request, choices.Rest());
      break;
    }
    default: {
      Choices choices(rest);
      std::get<2>(kTables)[choices.U8() % rpc::kOperationCount](choices);
      break;
    }
  }
  return 0;
}
