// Writes the seed corpus of the callbacks fuzz target into the directory named by argv[1]: for
// the engine's side, well-formed answers to each call (a PIN, a signature, a ping, a client
// status, a fault) and cut-off copies of them; for the client's side, each call's request as the
// engine encodes it, one with an unknown procedure and cut-off copies.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "rpc/callback_table.h"
#include "rpc/frame_io.h"
#include "rpc/marshal.h"
#include "rpc/protocol.h"

namespace {

constexpr uint8_t kEngineSide = 0;
constexpr uint8_t kClientSide = 1;

std::vector<uint8_t> Frame(rpc::FrameKind kind, uint16_t procedure, std::vector<uint8_t> payload,
                           uint32_t status = 0) {
  std::vector<uint8_t> frame(rpc::kFrameHeaderSize);
  frame.insert(frame.end(), payload.begin(), payload.end());
  rpc::FinishFrame(frame, kind, procedure, 1, status);
  return frame;
}

// The reply payload of procedure 1 or 2: result, size and buffer with these bytes.
std::vector<uint8_t> Answer(int32_t result, const std::vector<uint8_t>& bytes) {
  std::vector<uint8_t> payload;
  rpc::ByteWriter out(payload);
  out.I32(result);
  out.U8(1);
  out.I32(static_cast<int32_t>(bytes.size()));
  out.U8(1);
  out.U32(static_cast<uint32_t>(bytes.size()));
  out.Bytes(bytes.data(), bytes.size());
  return payload;
}

template <size_t N, typename... Args>
std::vector<uint8_t> Request(Args... args) {
  rpc::ProxyCall<N, rpc::kCallbackOperations> call(
      typename rpc::ProxyCall<N, rpc::kCallbackOperations>::Arguments(args...));
  std::vector<uint8_t> frame(rpc::kFrameHeaderSize);
  call.EncodeRequest(frame);
  rpc::FinishFrame(frame, rpc::FrameKind::kRequest, static_cast<uint16_t>(N), 1);
  return frame;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: callbacks_seed_corpus DIRECTORY\n");
    return 2;
  }
  const std::filesystem::path directory(argv[1]);
  std::filesystem::create_directories(directory);
  int count = 0;
  auto write = [&](std::vector<uint8_t> seed) {
    std::ofstream file(directory / ("seed-" + std::to_string(count++)), std::ios::binary);
    file.write(reinterpret_cast<const char*>(seed.data()),
               static_cast<std::streamsize>(seed.size()));
  };
  auto withCuts = [&](std::vector<uint8_t> prefix, const std::vector<uint8_t>& body) {
    for (size_t cut : {body.size(), body.size() / 2, rpc::kFrameHeaderSize, size_t{3}}) {
      if (cut > body.size()) continue;
      std::vector<uint8_t> seed = prefix;
      seed.insert(seed.end(), body.begin(), body.begin() + static_cast<std::ptrdiff_t>(cut));
      write(seed);
    }
  };
  const std::vector<uint8_t> pin{'1', '2', '3', '4'};
  withCuts({kEngineSide, 0}, Frame(rpc::FrameKind::kReply, 1, Answer(0, pin)));
  withCuts({kEngineSide, 0},
           Frame(rpc::FrameKind::kReply, 1, Answer(0, std::vector<uint8_t>(257, '9'))));
  withCuts({kEngineSide, 1},
           Frame(rpc::FrameKind::kReply, 2, Answer(0, std::vector<uint8_t>(256, 7))));
  withCuts({kEngineSide, 1}, Frame(rpc::FrameKind::kReply, 2, Answer(5, {})));
  withCuts({kEngineSide, 2}, Frame(rpc::FrameKind::kReply, 0, {0, 0, 0, 0}));
  withCuts({kEngineSide, 0}, Frame(rpc::FrameKind::kFault, 1, {}, rpc::kStatusBadStubData));

  int32_t size = rpc::kCallbackPinCapacity;
  std::vector<uint8_t> buffer(rpc::kCallbackSignatureCapacity);
  withCuts({kClientSide}, Request<rpc::kCallbackPing>());
  withCuts({kClientSide},
           Request<rpc::kCallbackGetPin>(int32_t{1}, int32_t{9}, &size, buffer.data()));
  const std::vector<uint8_t> hash(32, 0xAB);
  int32_t signatureSize = rpc::kCallbackSignatureCapacity;
  withCuts({kClientSide}, Request<rpc::kCallbackSignHash>(int32_t{300}, int32_t{32}, hash.data(),
                                                          "00ff", &signatureSize, buffer.data()));
  withCuts({kClientSide}, Frame(rpc::FrameKind::kRequest, 7, {}));
  return 0;
}
