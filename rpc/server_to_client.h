#pragma once

// The engine's calls into a client process: the PIN prompt and the signature the smart-card
// factor has made in the user's session. One call is one connection to the client's callback
// socket (rpc/callback_table.h, docs/rpc-protocol.md "Callbacks"): connect, check that the
// socket's directory and the process listening there belong to the user the call is for, send
// one request frame, read one reply frame, close.
//
// Every failure of the call itself (nobody listens, another user's socket, the client dies, a
// malformed or oversized reply, no answer before the limit or before stop is requested) is
// logged "fail to invoke client RPC" and gives kStatusCallbackFailed; the client's own non-zero
// status is returned unchanged.

#include <chrono>
#include <cstdint>
#include <stop_token>
#include <string>
#include <vector>

#include "common/exceptions.h"
#include "smartcard/client_callbacks.h"
#include "tlv/tlv.h"

namespace platform {
class Accounts;
}  // namespace platform

namespace mfab {

// The status of a callback that could not be made or did not complete (the number the
// platform's RPC run time gives a call that failed).
inline constexpr uint32_t kStatusCallbackFailed = 1708;

// The binding to a client's callback endpoint could not be built.
class RpcException : public MfaException {
 public:
  using MfaException::MfaException;
};

struct Server2ClientOptions {
  // Holds callbacks/<uid>/; empty: the engine's runtime directory.
  std::string runtimeDirectory;
  // Longest a call may take in all: long enough for a person to read the prompt, find the card
  // and type the PIN. Flows stop their calls earlier through the stop token.
  std::chrono::milliseconds callTimeout{120'000};
  // How often a connect that the client's full queue holds back is retried and stop re-checked.
  std::chrono::milliseconds connectTick{100};
};

// The binding: where the client's endpoint Server2Client_<endpointNumber> is, whose it must
// be, and the value passed with each call. Holds no connection; safe to use from one thread at a
// time.
class Server2ClientInvoke {
 public:
  // For the user the SID names (a local account of this machine, or the local system account
  // for root). Logs "RpcStringBindingCompose failed (%d)" and throws RpcException
  // "RpcStringBindingCompose failed" when the SID names no local user.
  Server2ClientInvoke(uint32_t endpointNumber, uint32_t value, const std::string& userSid,
                      platform::Accounts& accounts, Server2ClientOptions options = {});
  // For the user with this uid.
  Server2ClientInvoke(uint32_t endpointNumber, uint32_t value, uint32_t ownerUid,
                      Server2ClientOptions options = {});
  Server2ClientInvoke(const Server2ClientInvoke&) = delete;
  Server2ClientInvoke& operator=(const Server2ClientInvoke&) = delete;

  const std::string& EndpointPath() const { return endpointPath; }
  uint32_t Owner() const { return owner; }
  uint32_t Value() const { return value; }

  // Sends the request frame and returns the reply's payload. Throws std::runtime_error (or
  // std::system_error) saying why the call failed; blocks at most options.callTimeout and ends
  // soon after stop is requested.
  std::vector<uint8_t> Exchange(uint16_t procedure, const std::vector<uint8_t>& requestFrame,
                                std::stop_token stop) const;

 private:
  void Compose(uint32_t endpointNumber);

  uint32_t value = 0;
  uint32_t owner = 0;
  Server2ClientOptions options;
  std::string endpointPath;
};

// Procedure 1: the PIN, at most 256 bytes. 0 with text set, the client's status, or 1708.
uint32_t CallRpcClientFunction(const Server2ClientInvoke& invoke, int32_t first, std::string& text,
                               std::stop_token stop = {});
// Procedure 2: the client's signature of data, at most 1024 bytes, made with the key of the
// certificate the text names. 0 with signature set, the client's status, or 1708.
uint32_t CallRpcClientFunction(const Server2ClientInvoke& invoke, const Bytes& data,
                               Bytes& signature, const std::string& text,
                               std::stop_token stop = {});
// Procedure 0: whether the client answers; 0, the client's status, or 1708.
uint32_t PingRpcClient(const Server2ClientInvoke& invoke, std::stop_token stop = {});

}  // namespace mfab

namespace rpc {

// The smart-card factor's calls into the user's client, over its callback socket.
// Thread-safe: each call is independent.
class ClientCallbacks : public SmartCardFactor::IClientCallbacks {
 public:
  // accounts must outlive this object.
  explicit ClientCallbacks(platform::Accounts& accounts, mfab::Server2ClientOptions options = {});

  uint32_t GetPin(const SmartCardFactor::CallbackTarget& target, int32_t attempt, std::string& pin,
                  std::stop_token stop) override;
  uint32_t SignHash(const SmartCardFactor::CallbackTarget& target, const mfab::Bytes& data,
                    const std::string& certificateSha1, mfab::Bytes& signature,
                    std::stop_token stop) override;

 private:
  platform::Accounts& accounts;
  const mfab::Server2ClientOptions options;
};

}  // namespace rpc
