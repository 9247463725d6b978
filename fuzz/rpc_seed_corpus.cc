// Writes the seed corpus of the RPC fuzz target into the directory named by argv[1]. For every
// operation it builds calls with null arrays and buffers, empty ones, data (a device id, a
// serialized applet message, user SIDs), the largest capacity, a size without its buffer and a
// buffer without its size; encodes each with the client library's encoder and writes it in the
// target's three forms: a connection carrying the request frame, the request with the reply the
// server's stub encodes for it, and the client's arguments. A few connections carry several
// frames, a cancel, an unknown procedure and malformed headers. Every call is checked as the
// target checks it, so a broken seed stops the generator.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fuzz/rpc_fuzz_calls.h"
#include "rpc/frame_io.h"
#include "rpc/marshal.h"
#include "rpc/operation_table.h"
#include "rpc/protocol.h"
#include "tlv/message.h"
#include "tlv/message_types.h"
#include "tlv/tlv.h"

namespace {

using Bytes = std::vector<uint8_t>;
using rpc::Wire;

constexpr uint8_t kConnection = 0;
constexpr uint8_t kReplyDecoding = 1;
constexpr uint8_t kClientArguments = 2;

void U8(Bytes& out, uint8_t value) { out.push_back(value); }
void U16(Bytes& out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value));
  out.push_back(static_cast<uint8_t>(value >> 8));
}
void U32(Bytes& out, uint32_t value) {
  U16(out, static_cast<uint16_t>(value));
  U16(out, static_cast<uint16_t>(value >> 16));
}
void Append(Bytes& out, std::span<const uint8_t> bytes) {
  out.insert(out.end(), bytes.begin(), bytes.end());
}

enum class Variant { kNull, kEmpty, kData, kLarge, kSizeOnly, kBufferOnly };

struct VariantInfo {
  Variant variant;
  const char* name;
  uint32_t script;  // low three bits below 6: the engine's answer fits its buffer
};

constexpr VariantInfo kVariants[] = {
    {Variant::kNull, "null", 0x00000024},
    {Variant::kEmpty, "empty", 0x00000001},
    {Variant::kData, "data", 0x00012300},
    {Variant::kLarge, "large", 0x00045602},
    {Variant::kSizeOnly, "size_only", 0x00000003},
    {Variant::kBufferOnly, "buffer_only", 0x00000000},
};

Bytes AppletMessage(size_t payloadSize) {
  mfab::Message message;
  message.moduleId = 5;
  message.messageType = mfab::message_type::kGetPolicyDataRequest;
  message.category = 1;
  message.payload.assign(payloadSize, 0x5A);
  message.sessionId = 3;
  return message.Serialize();
}

Bytes ContentFor(std::string_view name, Variant variant) {
  if (variant == Variant::kEmpty) return {};
  if (name == "deviceId") return {0x00, 0x1A, 0x7D, 0xDA, 0x71, 0x13, 0x01, 0x00};
  if (name == "inBytes") return AppletMessage(variant == Variant::kLarge ? 3000 : 16);
  Bytes data;
  mfab::AppendTlv(data, 0x0001, std::string_view("S-1-5-21-1-2-3-1000"));
  mfab::AppendTlvInt(data, 0x0002, 1);
  if (variant == Variant::kLarge) data.resize(3000, 0x33);
  return data;
}

std::string StringFor(std::string_view name, Variant variant) {
  if (variant == Variant::kEmpty) return {};
  if (variant == Variant::kLarge) return std::string(1000, 'S');
  if (name == "first") return "OSLogin";
  if (name == "second") return "S-1-5-21-1-2-3-1001";
  return "S-1-5-21-1-2-3-1000";
}

int16_t ShortFor(std::string_view name) {
  if (name == "providerType" || name == "mode") return 1;
  if (name == "scanType") return 2;
  if (name == "kind") return 3;
  return 0;
}

int32_t CapacityFor(Variant variant) {
  switch (variant) {
    case Variant::kData:
      return 64;
    case Variant::kLarge:
      return rpc::kMaxOutputCapacity;
    case Variant::kSizeOnly:
      return 16;
    default:
      return 0;
  }
}

// The index of the array whose length parameter index is, or -1.
int ArraySizedBy(const rpc::OperationSpec& op, size_t index) {
  for (size_t i = 0; i < op.params.size(); ++i) {
    if (op.params[i].wire == Wire::kBytes && op.params[i].sizedBy == static_cast<int>(index)) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

// The client's arguments of one call in the form ClientCall::Choose reads.
Bytes ChoicesFor(const rpc::OperationSpec& op, Variant variant) {
  Bytes out;
  for (size_t i = 0; i < op.params.size(); ++i) {
    const rpc::ParamSpec& p = op.params[i];
    switch (p.wire) {
      case Wire::kShort:
        U16(out, static_cast<uint16_t>(ShortFor(p.name)));
        break;
      case Wire::kLong: {
        const int array = ArraySizedBy(op, i);
        if (array >= 0) {
          // A null array keeps the length its caller had (it travels as it is).
          const Variant sized = variant == Variant::kNull ? Variant::kData : variant;
          U32(out, static_cast<uint32_t>(
                       ContentFor(op.params[static_cast<size_t>(array)].name, sized).size()));
        } else {
          U32(out, static_cast<uint32_t>(i + 1));
        }
        break;
      }
      case Wire::kBytes:
        U8(out, variant == Variant::kNull ? 0 : 1);
        if (variant != Variant::kNull) Append(out, ContentFor(p.name, variant));
        break;
      case Wire::kString: {
        const std::string text = StringFor(p.name, variant);
        U8(out, 0);
        U16(out, static_cast<uint16_t>(text.size()));
        Append(out, std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
        break;
      }
      case Wire::kSize:
        U8(out, variant == Variant::kNull || variant == Variant::kBufferOnly ? 0 : 1);
        U32(out, static_cast<uint32_t>(CapacityFor(variant)));
        break;
      case Wire::kBuffer:
        U8(out, variant == Variant::kNull || variant == Variant::kSizeOnly ? 0 : 1);
        break;
    }
  }
  return out;
}

Bytes Frame(rpc::FrameKind kind, uint16_t procedure, uint32_t callId, const Bytes& payload) {
  Bytes frame(rpc::kFrameHeaderSize);
  Append(frame, payload);
  rpc::FinishFrame(frame, kind, procedure, callId);
  return frame;
}

// A header announcing length bytes, whatever follows it.
Bytes Header(uint8_t version, uint8_t kind, uint16_t procedure, uint32_t callId, uint32_t length) {
  rpc::FrameHeader header;
  header.version = version;
  header.kind = kind;
  header.procedure = procedure;
  header.callId = callId;
  header.length = length;
  Bytes out(rpc::kFrameHeaderSize);
  rpc::EncodeHeader(header, out.data());
  return out;
}

class SeedWriter {
 public:
  explicit SeedWriter(std::filesystem::path dir) : directory(std::move(dir)) {}

  void Write(const std::string& name, uint8_t form, const Bytes& body) {
    std::ofstream file(directory / name, std::ios::binary | std::ios::trunc);
    file.put(static_cast<char>(form));
    file.write(reinterpret_cast<const char*>(body.data()),
               static_cast<std::streamsize>(body.size()));
    if (!file) {
      std::fprintf(stderr, "rpc_seed_corpus: cannot write %s\n", name.c_str());
      std::exit(1);
    }
    ++written;
  }
  int Written() const { return written; }

 private:
  std::filesystem::path directory;
  int written = 0;
};

rpcfuzz::FuzzEngine engine;

// Writes the three forms of one call; returns its request payload.
template <size_t N>
Bytes WriteCall(SeedWriter& seeds, const VariantInfo& info) {
  using Check = rpcfuzz::CallCheck<N>;
  const rpc::OperationSpec& op = rpc::kOperations[N];
  const Bytes choices = ChoicesFor(op, info.variant);
  Check check(Check::Role::kCompare, info.script);
  rpcfuzz::Choices reader(choices);
  check.client.Choose(reader);
  if (check.client.EncodeStatus() != 0) rpcfuzz::Fail("a seed call the client library refuses");
  check.proxy.emplace(check.client.Pass());
  Bytes request;
  check.proxy->EncodeRequest(request);
  const rpcfuzz::StubOutcome outcome = rpcfuzz::RunStub(engine, check, request);
  if (!check.called || check.beyondCapacity || outcome.status != 0) {
    rpcfuzz::Fail("a seed call the server does not answer");
  }
  check.VerifyReply(outcome.reply);

  const std::string name = std::string(op.name) + "-" + info.name;
  seeds.Write(name + "-connection", kConnection,
              Frame(rpc::FrameKind::kRequest, N, info.script, request));

  Bytes decoding;
  U8(decoding, static_cast<uint8_t>(N));
  U16(decoding, static_cast<uint16_t>(request.size()));
  Append(decoding, request);
  Append(decoding, outcome.reply);
  seeds.Write(name + "-reply", kReplyDecoding, decoding);

  Bytes arguments;
  U8(arguments, static_cast<uint8_t>(N));
  Append(arguments, choices);
  U32(arguments, info.script);
  seeds.Write(name + "-arguments", kClientArguments, arguments);
  return request;
}

template <size_t N>
void WriteOperation(SeedWriter& seeds) {
  // Operations without parameters have a single form.
  if (rpc::kOperations[N].params.empty()) {
    WriteCall<N>(seeds, kVariants[0]);
    return;
  }
  for (const VariantInfo& info : kVariants) WriteCall<N>(seeds, info);
}

template <size_t... N>
void WriteAll(SeedWriter& seeds, std::index_sequence<N...>) {
  (WriteOperation<N>(seeds), ...);
}

void WriteConnections(SeedWriter& seeds) {
  const Bytes getSessionId = Frame(rpc::FrameKind::kRequest, 1, 1, {});
  const Bytes release = Frame(rpc::FrameKind::kRequest, 2, 2, {7, 0, 0, 0});
  Bytes appletCall;
  U32(appletCall, 0);
  const Bytes message = AppletMessage(16);
  U32(appletCall, static_cast<uint32_t>(message.size()));
  U8(appletCall, 1);
  Append(appletCall, message);
  U8(appletCall, 1);
  U32(appletCall, 4096);
  U8(appletCall, 1);
  const Bytes sendToApplet = Frame(rpc::FrameKind::kRequest, 5, 3, appletCall);
  const Bytes notify = Frame(rpc::FrameKind::kRequest, 3, 4, {1, 0, 1, 0, 0, 1});
  const Bytes cancel = Frame(rpc::FrameKind::kCancel, 0, 4, {});

  Bytes several;
  for (const Bytes* frame :
       {&getSessionId, &release, &sendToApplet, &notify, &cancel, &getSessionId}) {
    Append(several, *frame);
  }
  seeds.Write("connection-several-calls", kConnection, several);

  Bytes unknown = Frame(rpc::FrameKind::kRequest, rpc::kOperationCount, 5, {});
  Append(unknown, Frame(rpc::FrameKind::kRequest, 0xFFFF, 6, {1, 2, 3}));
  Append(unknown, getSessionId);
  seeds.Write("connection-unknown-procedure", kConnection, unknown);

  Bytes badPayload = Frame(rpc::FrameKind::kRequest, 2, 7, {7, 0, 0});
  Append(badPayload, Frame(rpc::FrameKind::kRequest, 2, 8, {7, 0, 0, 0, 0}));
  Append(badPayload, getSessionId);
  seeds.Write("connection-bad-parameters", kConnection, badPayload);

  Bytes cancelWithPayload = Frame(rpc::FrameKind::kCancel, 0, 4, {0});
  Append(cancelWithPayload, getSessionId);
  seeds.Write("connection-cancel-with-payload", kConnection, cancelWithPayload);

  seeds.Write("connection-reply-from-client", kConnection,
              Frame(rpc::FrameKind::kReply, 1, 1, {5, 0, 0, 0}));
  seeds.Write("connection-fault-from-client", kConnection,
              Header(rpc::kProtocolVersion, static_cast<uint8_t>(rpc::FrameKind::kFault), 0, 0, 0));

  Bytes badMagic = getSessionId;
  badMagic[0] = 'X';
  seeds.Write("connection-bad-magic", kConnection, badMagic);
  seeds.Write("connection-bad-version", kConnection, Header(2, 1, 1, 1, 0));
  seeds.Write("connection-too-large", kConnection,
              Header(rpc::kProtocolVersion, 1, 5, 1, rpc::kMaxFramePayload + 1));
  Bytes truncated = Header(rpc::kProtocolVersion, 1, 5, 1, 100);
  truncated.resize(truncated.size() + 10, 0);
  seeds.Write("connection-truncated", kConnection, truncated);
  // The documented SendMessageToAppletRpc example: reserved 0, two bytes in, capacity 16, and
  // the reply of result 0 with two bytes out.
  const Bytes exampleRequest = {0, 0, 0, 0, 2, 0, 0, 0, 1, 0x0A, 0x0B, 1, 0x10, 0, 0, 0, 1};
  const Bytes exampleReply = {0, 0, 1, 2, 0, 0, 0, 1, 2, 0, 0, 0, 0x0A, 0x0B};
  Bytes example = {5};
  U16(example, static_cast<uint16_t>(exampleRequest.size()));
  Append(example, exampleRequest);
  Append(example, exampleReply);
  seeds.Write("documented-example-reply", kReplyDecoding, example);
  seeds.Write("documented-example-connection", kConnection,
              Frame(rpc::FrameKind::kRequest, 5, 1, exampleRequest));

  seeds.Write("connection-short-header", kConnection,
              Bytes(getSessionId.begin(), getSessionId.begin() + 11));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: rpc_seed_corpus DIRECTORY\n");
    return 2;
  }
  const std::filesystem::path directory = argv[1];
  std::filesystem::create_directories(directory);
  SeedWriter seeds(directory);
  WriteAll(seeds, std::make_index_sequence<rpc::kOperationCount>());
  WriteConnections(seeds);
  std::printf("rpc_seed_corpus: %d seeds in %s\n", seeds.Written(), directory.c_str());
  return 0;
}
