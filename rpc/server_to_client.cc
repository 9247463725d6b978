#include "rpc/server_to_client.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "log/logger.h"
#include "platform/accounts.h"
#include "platform/paths.h"
#include "platform/sid.h"
#include "platform/unix_socket.h"
#include "rpc/callback_table.h"
#include "rpc/frame_io.h"
#include "rpc/marshal.h"
#include "rpc/protocol.h"

namespace mfab {
namespace {

AuthenticateLogger& Log() { return AuthenticateLoggerService::Instance(); }

// The run time's code for a parameter it cannot use.
constexpr int kErrorInvalidParameter = 87;
// Every call gets its own connection, so one call id is enough.
constexpr uint32_t kCallId = 1;
// Local accounts are S-1-5-21-A-B-C-<uid>.
constexpr uint64_t kNtAuthority = 5;
constexpr uint32_t kLocalAccountPrefix = 21;
constexpr size_t kLocalAccountParts = 5;

// The uid of the user the SID names, when it is one of this machine's.
std::optional<uint32_t> OwnerOf(const std::string& userSid, platform::Accounts& accounts) {
  const std::optional<platform::Sid> sid = platform::ParseSid(userSid);
  if (!sid) return std::nullopt;
  if (sid == platform::ParseSid(platform::kLocalSystemSid)) return 0u;
  if (sid->authority != kNtAuthority || sid->subAuthorities.size() != kLocalAccountParts ||
      sid->subAuthorities.front() != kLocalAccountPrefix) {
    return std::nullopt;
  }
  const uint32_t uid = sid->subAuthorities.back();
  try {
    // The machine part must be this machine's, or the SID is another machine's user.
    if (platform::ParseSid(accounts.UserSid(uid)) == sid) return uid;
  } catch (const std::runtime_error& e) {
    KS_LOG(Log(), kLogError, "RPC", "cannot tell the SID of uid %u: %s", uid, e.what());
  }
  return std::nullopt;
}

// Reads exactly buffer.size() bytes; throws when the peer closes first or the deadline passes.
void ReceiveExactly(platform::UnixStream& stream, std::span<uint8_t> buffer,
                    platform::Deadline deadline, const std::stop_token& stop) {
  size_t got = 0;
  while (got < buffer.size()) {
    const size_t n = stream.ReceiveSome(buffer.subspan(got), deadline);
    if (n == 0) {
      throw std::runtime_error(stop.stop_requested() ? "stop requested"
                                                     : "the client closed the connection");
    }
    got += n;
  }
}

std::string FailureText(const std::system_error& e) {
  if (e.code().value() == ETIMEDOUT) return "no answer within the call limit";
  return e.what();
}

uint32_t Failed(const Server2ClientInvoke& invoke, const char* procedure,
                const std::string& reason) {
  KS_LOG(Log(), kLogWarning, "RPC", "%s at %s: %s", procedure, invoke.EndpointPath().c_str(),
         reason.c_str());
  KS_LOG(Log(), kLogError, "RPC", "fail to invoke client RPC");
  return kStatusCallbackFailed;
}

// Runs one call of procedure N of the callback table and returns its result; every failure of
// the call is logged and becomes 1708.
template <size_t N, typename... Args>
uint32_t CallClient(const Server2ClientInvoke& invoke, std::stop_token stop, Args... args) {
  constexpr const char* kName = rpc::kCallbackOperations[N].name.data();
  try {
    rpc::ProxyCall<N, rpc::kCallbackOperations> call(
        typename rpc::ProxyCall<N, rpc::kCallbackOperations>::Arguments(args...));
    std::vector<uint8_t> frame(rpc::kFrameHeaderSize);
    call.EncodeRequest(frame);
    if (frame.size() - rpc::kFrameHeaderSize > rpc::kMaxCallbackPayload) {
      return Failed(invoke, kName, "the request is larger than a callback frame");
    }
    rpc::FinishFrame(frame, rpc::FrameKind::kRequest, static_cast<uint16_t>(N), kCallId);
    const std::vector<uint8_t> reply = invoke.Exchange(static_cast<uint16_t>(N), frame, stop);
    return static_cast<uint32_t>(call.DecodeReply(reply));
  } catch (const rpc::UntrustedPeerError& e) {
    return Failed(invoke, kName, std::string("not the user's own endpoint: ") + e.what());
  } catch (const std::system_error& e) {
    return Failed(invoke, kName, FailureText(e));
  } catch (const std::exception& e) {
    return Failed(invoke, kName, e.what());
  }
}

}  // namespace

Server2ClientInvoke::Server2ClientInvoke(uint32_t endpointNumber, uint32_t callValue,
                                         const std::string& userSid, platform::Accounts& accounts,
                                         Server2ClientOptions callOptions)
    : value(callValue), options(std::move(callOptions)) {
  const std::optional<uint32_t> uid = OwnerOf(userSid, accounts);
  if (!uid) {
    KS_LOG(Log(), kLogError, "RPC", "RpcStringBindingCompose failed (%d)", kErrorInvalidParameter);
    throw RpcException("RpcStringBindingCompose failed");
  }
  owner = *uid;
  Compose(endpointNumber);
}

Server2ClientInvoke::Server2ClientInvoke(uint32_t endpointNumber, uint32_t callValue,
                                         uint32_t ownerUid, Server2ClientOptions callOptions)
    : value(callValue), owner(ownerUid), options(std::move(callOptions)) {
  Compose(endpointNumber);
}

void Server2ClientInvoke::Compose(uint32_t endpointNumber) {
  const std::string directory =
      options.runtimeDirectory.empty() ? platform::RuntimeDirectory() : options.runtimeDirectory;
  endpointPath = rpc::CallbackEndpointPath(directory, owner, endpointNumber);
}

std::vector<uint8_t> Server2ClientInvoke::Exchange(uint16_t procedure,
                                                   const std::vector<uint8_t>& requestFrame,
                                                   std::stop_token stop) const {
  const platform::Deadline deadline = platform::DeadlineAfter(options.callTimeout);
  platform::UnixStream stream;
  // A client whose queue is full does not take the connection; retry in ticks so that stop is
  // seen while waiting.
  for (;;) {
    if (stop.stop_requested()) throw std::runtime_error("stop requested");
    const platform::Deadline tick = std::min(
        deadline,
        platform::DeadlineAfter(std::max(options.connectTick, std::chrono::milliseconds(1))));
    try {
      stream = rpc::ConnectToTrustedPeer(endpointPath, {owner}, tick);
      break;
    } catch (const std::system_error& e) {
      if (e.code().value() != ETIMEDOUT || std::chrono::steady_clock::now() >= deadline) throw;
    }
  }
  // Stop ends every wait below at once: the reads see the end of the stream.
  std::stop_callback onStop(stop, [&stream] { stream.ShutdownBoth(); });
  stream.SendAll(requestFrame, deadline);

  std::array<uint8_t, rpc::kFrameHeaderSize> headerBytes{};
  ReceiveExactly(stream, headerBytes, deadline, stop);
  const rpc::FrameHeader header = rpc::DecodeHeader(headerBytes.data());
  if (header.magic != rpc::kFrameMagic) throw std::runtime_error("the reply is not a frame");
  if (header.version != rpc::kProtocolVersion) {
    throw std::runtime_error("the reply speaks protocol version " + std::to_string(header.version));
  }
  if (header.callId != kCallId || header.procedure != procedure) {
    throw std::runtime_error("the reply is for another call");
  }
  if (header.kind == static_cast<uint8_t>(rpc::FrameKind::kFault)) {
    throw std::runtime_error("the client answered fault " + std::to_string(header.status) + " (" +
                             std::string(rpc::TransportStatusText(header.status)) + ")");
  }
  if (header.kind != static_cast<uint8_t>(rpc::FrameKind::kReply)) {
    throw std::runtime_error("the reply has frame kind " + std::to_string(header.kind));
  }
  if (header.length > rpc::kMaxCallbackPayload) {
    throw std::runtime_error("the reply announces " + std::to_string(header.length) +
                             " bytes, more than a callback frame holds");
  }
  std::vector<uint8_t> payload(header.length);
  ReceiveExactly(stream, payload, deadline, stop);
  return payload;
}

uint32_t CallRpcClientFunction(const Server2ClientInvoke& invoke, int32_t first, std::string& text,
                               std::stop_token stop) {
  std::array<uint8_t, rpc::kCallbackPinCapacity> buffer{};
  int32_t size = rpc::kCallbackPinCapacity;
  const uint32_t status = CallClient<rpc::kCallbackGetPin>(
      invoke, std::move(stop), first, static_cast<int32_t>(invoke.Value()), &size, buffer.data());
  // The reply decoder took only what fits the buffer and matches the returned size.
  if (status == 0)
    text.assign(reinterpret_cast<const char*>(buffer.data()), static_cast<size_t>(size));
  std::fill(buffer.begin(), buffer.end(), 0);
  return status;
}

uint32_t CallRpcClientFunction(const Server2ClientInvoke& invoke, const Bytes& data,
                               Bytes& signature, const std::string& text, std::stop_token stop) {
  if (data.size() > rpc::kMaxCallbackPayload) {
    return Failed(invoke, "SmartCardSignHashRpc", "the data to sign is too large");
  }
  Bytes output(rpc::kCallbackSignatureCapacity);
  int32_t size = rpc::kCallbackSignatureCapacity;
  const uint32_t status = CallClient<rpc::kCallbackSignHash>(
      invoke, std::move(stop), static_cast<int32_t>(invoke.Value()),
      static_cast<int32_t>(data.size()), data.data(), text.c_str(), &size, output.data());
  if (status == 0) {
    output.resize(static_cast<size_t>(size));
    signature = std::move(output);
  }
  return status;
}

uint32_t PingRpcClient(const Server2ClientInvoke& invoke, std::stop_token stop) {
  return CallClient<rpc::kCallbackPing>(invoke, std::move(stop));
}

}  // namespace mfab

namespace rpc {

ClientCallbacks::ClientCallbacks(platform::Accounts& systemAccounts,
                                 mfab::Server2ClientOptions callOptions)
    : accounts(systemAccounts), options(std::move(callOptions)) {}

uint32_t ClientCallbacks::GetPin(const SmartCardFactor::CallbackTarget& target, int32_t attempt,
                                 std::string& pin, std::stop_token stop) {
  try {
    const mfab::Server2ClientInvoke invoke(target.endpointNumber, target.value, target.userSid,
                                           accounts, options);
    return mfab::CallRpcClientFunction(invoke, attempt, pin, std::move(stop));
  } catch (const mfab::RpcException&) {
    return mfab::kStatusCallbackFailed;  // logged where the binding failed
  }
}

uint32_t ClientCallbacks::SignHash(const SmartCardFactor::CallbackTarget& target,
                                   const mfab::Bytes& data, const std::string& certificateSha1,
                                   mfab::Bytes& signature, std::stop_token stop) {
  try {
    const mfab::Server2ClientInvoke invoke(target.endpointNumber, target.value, target.userSid,
                                           accounts, options);
    return mfab::CallRpcClientFunction(invoke, data, signature, certificateSha1, std::move(stop));
  } catch (const mfab::RpcException&) {
    return mfab::kStatusCallbackFailed;
  }
}

}  // namespace rpc
