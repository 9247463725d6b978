// libFuzzer target over the callbacks a client serves (docs/rpc-protocol.md, "Callbacks"), both
// sides on real sockets in a temporary runtime directory. The first input byte says what the
// rest is:
//   even  what a client answers the engine: a thread stands as the client, reads the engine's
//         request and sends the rest of the input back, then closes. Byte 1 picks the call
//         (PIN, signature, ping). The engine's call must return 0 with an answer that fits its
//         buffer, the client's own status with the output untouched, or 1708.
//   odd   what the engine sends a client: the rest is written to a CallbackServer whose handlers
//         check the arguments they were handed; its answer must be nothing, or one frame for
//         that call (a reply or a fault), never above the frame limit.

#include <stdlib.h>
#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "log/logger.h"
#include "platform/unix_socket.h"
#include "rpc/callback_table.h"
#include "rpc/client/callback_server.h"
#include "rpc/frame_io.h"
#include "rpc/protocol.h"
#include "rpc/server_to_client.h"

namespace {

using std::chrono::milliseconds;

constexpr uint32_t kEngineSide = 1;  // endpoint the fake client listens on
constexpr uint32_t kClientSide = 2;  // endpoint of the CallbackServer
constexpr int32_t kUntouched = 0x5A;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "callbacks_fuzzer: %s\n", what);
  std::abort();
}

class NullBackend : public mfab::LogBackend {
 public:
  void Write(mfab::LogSink, uint16_t, const mfab::LogRecord&) override {}
};

// A client that answers every connection with the bytes it was given last.
class ScriptedClient {
 public:
  explicit ScriptedClient(const std::string& path)
      : listener(platform::UnixListener::Bind(path, 0600)) {
    listener.Listen(4);
    thread = std::thread([this] { Run(); });
  }

  void Answer(std::span<const uint8_t> bytes) {
    std::lock_guard lock(mutex);
    answer.assign(bytes.begin(), bytes.end());
  }

 private:
  void Run() {
    for (;;) {
      std::optional<platform::UnixStream> connection = listener.Accept();
      if (!connection) continue;
      std::vector<uint8_t> reply;
      {
        std::lock_guard lock(mutex);
        reply = answer;
      }
      try {
        // The request first, so the engine is waiting for the answer when it comes.
        std::vector<uint8_t> request(rpc::kFrameHeaderSize);
        size_t got = 0;
        while (got < request.size()) {
          const size_t n = connection->ReceiveSome(std::span(request).subspan(got),
                                                   platform::DeadlineAfter(milliseconds(2'000)));
          if (n == 0) break;
          got += n;
        }
        connection->SendAll(reply, platform::DeadlineAfter(milliseconds(2'000)));
      } catch (const std::system_error&) {
        // The engine gave up first; its result is checked on its side.
      }
    }
  }

  platform::UnixListener listener;
  std::mutex mutex;
  std::vector<uint8_t> answer;
  std::thread thread;  // runs for the life of the process
};

struct Fixture {
  Fixture() {
    mfab::SetLogBackend(std::make_shared<NullBackend>());
    char pattern[] = "/tmp/keystone-callbacks-fuzz-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) Fail("mkdtemp");
    runtime = pattern;
    const uint32_t me = platform::CurrentUserId();
    std::filesystem::create_directories(
        std::filesystem::path(rpc::CallbackEndpointPath(runtime, me, kEngineSide)).parent_path());
    std::filesystem::permissions(
        std::filesystem::path(rpc::CallbackEndpointPath(runtime, me, kEngineSide)).parent_path(),
        std::filesystem::perms::owner_all, std::filesystem::perm_options::replace);
    client = std::make_unique<ScriptedClient>(rpc::CallbackEndpointPath(runtime, me, kEngineSide));

    rpc::CallbackHandlers handlers;
    handlers.getPin = [](int32_t attempt, int32_t, std::string& pin) {
      pin.assign(static_cast<size_t>(attempt & 0x1FF), '7');
      return attempt < 0 ? attempt : 0;
    };
    handlers.signHash = [](int32_t value, std::span<const uint8_t> data, const std::string& sha1,
                           std::vector<uint8_t>& signature) {
      if (data.size() > rpc::kMaxCallbackPayload || sha1.find('\0') != std::string::npos) {
        Fail("signHash handed arguments beyond the frame");
      }
      signature.assign(static_cast<size_t>(value & 0x7FF), 1);
      return 0;
    };
    rpc::CallbackServerOptions options;
    options.socketPath = rpc::CallbackEndpointPath(runtime, me, kClientSide);
    options.frameTimeout = milliseconds(200);
    server = std::make_unique<rpc::CallbackServer>(kClientSide, handlers, options);
  }

  std::string runtime;
  std::unique_ptr<ScriptedClient> client;
  std::unique_ptr<rpc::CallbackServer> server;
};

Fixture& TheFixture() {
  static Fixture* fixture = new Fixture();  // lives until the process ends
  return *fixture;
}

void EngineSide(Fixture& fixture, uint8_t which, std::span<const uint8_t> reply) {
  fixture.client->Answer(reply);
  mfab::Server2ClientOptions options;
  options.runtimeDirectory = fixture.runtime;
  options.callTimeout = milliseconds(2'000);
  const mfab::Server2ClientInvoke invoke(kEngineSide, 9, platform::CurrentUserId(), options);
  switch (which % 3) {
    case 0: {
      std::string pin(kUntouched, 'u');
      const uint32_t status = mfab::CallRpcClientFunction(invoke, 1, pin);
      if (status == 0 && pin.size() > rpc::kCallbackPinCapacity) Fail("PIN beyond its buffer");
      if (status != 0 && pin != std::string(kUntouched, 'u')) Fail("PIN set on failure");
      break;
    }
    case 1: {
      mfab::Bytes signature(kUntouched, 1);
      const uint32_t status =
          mfab::CallRpcClientFunction(invoke, mfab::Bytes{1, 2, 3}, signature, "00");
      if (status == 0 && signature.size() > rpc::kCallbackSignatureCapacity) {
        Fail("signature beyond its buffer");
      }
      if (status != 0 && signature != mfab::Bytes(kUntouched, 1)) Fail("signature set on failure");
      break;
    }
    default:
      mfab::PingRpcClient(invoke);
      break;
  }
}

void ClientSide(Fixture& fixture, std::span<const uint8_t> request) {
  platform::UnixStream stream = platform::UnixStream::Connect(fixture.server->SocketPath());
  stream.SendAll(request, platform::DeadlineAfter(milliseconds(2'000)));
  ::shutdown(stream.Descriptor(), SHUT_WR);
  std::vector<uint8_t> answer;
  uint8_t buffer[4096];
  for (;;) {
    const size_t n = stream.ReceiveSome(buffer, platform::DeadlineAfter(milliseconds(5'000)));
    if (n == 0) break;
    answer.insert(answer.end(), buffer, buffer + n);
    if (answer.size() > rpc::kFrameHeaderSize + rpc::kMaxCallbackPayload) Fail("answer too long");
  }
  if (answer.empty()) return;
  if (answer.size() < rpc::kFrameHeaderSize) Fail("answer shorter than a header");
  const rpc::FrameHeader header = rpc::DecodeHeader(answer.data());
  if (header.magic != rpc::kFrameMagic || header.length != answer.size() - rpc::kFrameHeaderSize) {
    Fail("answer is not one frame");
  }
  if (header.kind == static_cast<uint8_t>(rpc::FrameKind::kReply)) {
    if (request.size() < rpc::kFrameHeaderSize) Fail("reply to less than a header");
    const rpc::FrameHeader asked = rpc::DecodeHeader(request.data());
    if (header.callId != asked.callId || header.procedure != asked.procedure ||
        asked.procedure >= rpc::kCallbackOperations.size()) {
      Fail("reply for another call");
    }
  } else if (header.kind != static_cast<uint8_t>(rpc::FrameKind::kFault)) {
    Fail("answer neither reply nor fault");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  Fixture& fixture = TheFixture();
  if (data[0] % 2 == 0) {
    EngineSide(fixture, data[1], std::span(data + 2, size - 2));
  } else {
    ClientSide(fixture, std::span(data + 1, size - 1));
  }
  return 0;
}
