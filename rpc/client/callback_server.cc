#include "rpc/client/callback_server.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "common/status.h"
#include "platform/paths.h"
#include "rpc/callback_table.h"
#include "rpc/frame_io.h"
#include "rpc/marshal.h"
#include "rpc/protocol.h"

namespace rpc {
namespace {

constexpr unsigned kSocketMode = 0600;
constexpr int kBacklog = 8;
// How often a wait for a request looks whether the server is being stopped.
constexpr std::chrono::milliseconds kStopTick{50};

std::string DirectoryOf(const std::string& path) {
  const std::string::size_type slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  return slash == 0 ? "/" : path.substr(0, slash);
}

int32_t Status(uint32_t status) { return static_cast<int32_t>(status); }

// Copies an answer into the engine's buffer, or refuses one that does not fit.
int32_t Deliver(std::span<const uint8_t> answer, int32_t* size, uint8_t* buffer) {
  if (size == nullptr || buffer == nullptr) return Status(keystone::kStatusInvalidParameter);
  if (answer.size() > static_cast<size_t>(std::max(*size, 0))) {
    *size = 0;
    return Status(keystone::kStatusBufferTooSmall);
  }
  if (!answer.empty()) std::memcpy(buffer, answer.data(), answer.size());
  *size = static_cast<int32_t>(answer.size());
  return 0;
}

// What the engine receives for a handler's answer: its bytes when it succeeded and they fit,
// otherwise its status and nothing.
int32_t Reply(int32_t answer, std::span<const uint8_t> bytes, int32_t* size, uint8_t* buffer) {
  if (answer == 0) return Deliver(bytes, size, buffer);
  if (size != nullptr) *size = 0;
  return answer;
}

// Runs a handler; an exception is the client's general failure.
template <typename F>
int32_t Guarded(F&& handler) {
  try {
    return handler();
  } catch (...) {
    // Whatever a handler throws is its own failure; nothing may leave the serving thread.
    return Status(keystone::kStatusGeneralFailure);
  }
}

// Decodes a request of procedure N, runs answer with its arguments and encodes the reply.
// Throws MarshalError.
template <size_t N, typename F>
void RunCall(std::span<const uint8_t> payload, ByteWriter& out, F&& answer) {
  ServerCall<N, kCallbackOperations> call;
  call.Decode(payload);
  if (call.OutputBytes() > kMaxCallbackPayload) {
    throw MarshalError("output buffer larger than a callback frame");
  }
  call.AllocateOutputs();
  const int32_t result = call.Apply(std::forward<F>(answer));
  call.EncodeReply(out, result);
}

}  // namespace

CallbackServer::CallbackServer(uint32_t endpointNumber, CallbackHandlers callbackHandlers,
                               CallbackServerOptions serverOptions)
    : handlers(std::move(callbackHandlers)), options(std::move(serverOptions)) {
  socketPath =
      options.socketPath.empty() ? ClientCallbackEndpointPath(endpointNumber) : options.socketPath;
  const uint32_t self = platform::CurrentUserId();
  if (const std::string directory = DirectoryOf(socketPath); !directory.empty()) {
    // Only the user's own directory is made here: the shared one above it is the engine's, and
    // made with other rights (a client making it, or the runtime directory, would lock out the
    // engine's other users).
    const std::string shared = DirectoryOf(directory);
    if (!shared.empty() && !std::filesystem::is_directory(shared)) {
      throw std::runtime_error("cannot serve callbacks: " + shared +
                               " is missing (the engine makes it when it starts)");
    }
    platform::CreateDirectories(directory, kUserCallbackDirectoryMode);
  }
  // The engine calls only a socket in a directory of this user's own; say so now rather than
  // leave the engine to refuse every call.
  if (const std::string problem = platform::UntrustedSocketDirectory(socketPath, {self});
      !problem.empty()) {
    throw std::runtime_error("cannot serve callbacks at " + socketPath + ": " + problem);
  }
  listener = platform::UnixListener::Bind(socketPath, kSocketMode);
  listener.Listen(kBacklog);
  trustedCallers = {0, self};
  if (options.engineUid) trustedCallers.push_back(*options.engineUid);
  thread = std::jthread([this](std::stop_token stop) { Serve(std::move(stop)); });
}

CallbackServer::~CallbackServer() {
  thread.request_stop();
  listener.Wake();
  if (thread.joinable()) thread.join();
  listener.Close();
  try {
    platform::RemoveSocketFile(socketPath);
  } catch (const std::system_error&) {
    // Nothing to do about a socket file someone else removed or made unremovable.
  }
}

void CallbackServer::Serve(std::stop_token stop) {
  while (!stop.stop_requested()) {
    std::optional<platform::UnixStream> connection;
    try {
      connection = listener.Accept();
    } catch (const std::system_error&) {
      // A failing listener would fail again at once; end rather than spin.
      return;
    }
    if (!connection) continue;
    try {
      const platform::PeerCredentials peer = connection->Credentials();
      if (std::find(trustedCallers.begin(), trustedCallers.end(), peer.uid) ==
          trustedCallers.end()) {
        continue;
      }
      Answer(*connection, stop);
    } catch (...) {
      // A connection that broke or timed out ends here; the next caller is served.
    }
  }
}

void CallbackServer::Answer(platform::UnixStream& connection, const std::stop_token& stop) {
  FrameReader reader;
  FrameHeader header;
  std::span<const uint8_t> payload;
  const platform::Deadline frameDeadline = platform::DeadlineAfter(options.frameTimeout);
  FrameReader::Status status = FrameReader::Status::kIdle;
  while (status == FrameReader::Status::kIdle) {
    if (stop.stop_requested() || std::chrono::steady_clock::now() >= frameDeadline) return;
    status = reader.Next(connection, std::min(frameDeadline, platform::DeadlineAfter(kStopTick)),
                         options.frameTimeout, kMaxCallbackPayload, header, payload);
  }
  const platform::Deadline sendDeadline = platform::DeadlineAfter(options.frameTimeout);
  auto fault = [&](uint32_t callId, uint32_t code) {
    const auto frame = HeaderOnlyFrame(FrameKind::kFault, header.procedure, callId, code);
    connection.SendAll(frame, sendDeadline);
  };
  switch (status) {
    case FrameReader::Status::kFrame:
      break;
    case FrameReader::Status::kBadVersion:
      return fault(header.callId, kStatusUnknownVersion);
    case FrameReader::Status::kTooLarge:
    case FrameReader::Status::kBadMagic:
    case FrameReader::Status::kTimedOut:
      return fault(0, kStatusProtocolError);
    default:
      return;  // closed, with or without part of a frame
  }
  if (header.kind != static_cast<uint8_t>(FrameKind::kRequest) || header.callId == 0) {
    return fault(0, kStatusProtocolError);
  }

  std::vector<uint8_t> reply(kFrameHeaderSize);
  ByteWriter out(reply);
  try {
    switch (header.procedure) {
      case kCallbackPing:
        RunCall<kCallbackPing>(payload, out, [] { return kCallbackPingAnswer; });
        break;
      case kCallbackGetPin:
        RunCall<kCallbackGetPin>(
            payload, out,
            [&](int32_t attempt, int32_t value, int32_t* size, uint8_t* buffer) -> int32_t {
              if (!handlers.getPin) return Status(keystone::kStatusGeneralFailure);
              std::string pin;
              const int32_t handled = Guarded([&] { return handlers.getPin(attempt, value, pin); });
              const int32_t answer = Reply(
                  handled, std::span(reinterpret_cast<const uint8_t*>(pin.data()), pin.size()),
                  size, buffer);
              std::fill(pin.begin(), pin.end(), '\0');
              return answer;
            });
        break;
      case kCallbackSignHash:
        RunCall<kCallbackSignHash>(
            payload, out,
            [&](int32_t value, int32_t dataSize, const uint8_t* data, const char* certificateSha1,
                int32_t* size, uint8_t* buffer) -> int32_t {
              if (!handlers.signHash) return Status(keystone::kStatusGeneralFailure);
              if (data == nullptr && dataSize != 0) {
                return Status(keystone::kStatusInvalidParameter);
              }
              std::vector<uint8_t> signature;
              const std::span<const uint8_t> hash(
                  data, data == nullptr ? 0 : static_cast<size_t>(dataSize));
              const int32_t answer = Guarded(
                  [&] { return handlers.signHash(value, hash, certificateSha1, signature); });
              return Reply(answer, signature, size, buffer);
            });
        break;
      default:
        return fault(header.callId, kStatusProcedureOutOfRange);
    }
  } catch (const MarshalError& e) {
    return fault(header.callId, e.Status());
  }
  FinishFrame(reply, FrameKind::kReply, header.procedure, header.callId);
  connection.SendAll(reply, sendDeadline);
}

}  // namespace rpc
