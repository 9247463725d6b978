#pragma once

// libkeystone-client: the serving side of the callbacks the engine makes into a client (the
// smart-card PIN prompt and the signature in the user's session; rpc/callback_table.h).
//
// A CallbackServer listens on the client's endpoint Server2Client_<N> in its own directory
// <runtime directory>/callbacks/<uid>/ (made 0700 if missing; callbacks/ is the engine's and must
// exist), answers one call at a time on one
// thread of its own, and removes its socket when destroyed. Only root and this process's own
// user (plus options.engineUid) may call it. Every frame is bounded; a call whose request does
// not decode gets a fault and the connection is closed.

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "platform/unix_socket.h"

namespace rpc {

// The client's answers. Each returns 0 or the client's own status, which the engine receives
// unchanged. A missing handler answers 0xA0000031; an exception from a handler also does.
struct CallbackHandlers {
  // attempt: 1 for the first prompt, counting up after the card refused a PIN; value: the
  // number the client gave the engine with its endpoint. Sets pin on 0. A PIN longer than the
  // engine's buffer (256 bytes) is not sent: the call answers 0xA0000036 instead.
  std::function<int32_t(int32_t attempt, int32_t value, std::string& pin)> getPin;
  // Signs data (SHA-256, PKCS#1 v1.5) with the key of the certificate whose SHA-1 thumbprint
  // is certificateSha1, after the user confirmed. Sets signature on 0; one longer than the
  // engine's buffer (1024 bytes) answers 0xA0000036.
  std::function<int32_t(int32_t value, std::span<const uint8_t> data,
                        const std::string& certificateSha1, std::vector<uint8_t>& signature)>
      signHash;
};

struct CallbackServerOptions {
  // Empty: ClientCallbackEndpointPath(endpointNumber), beside the system engine.
  std::string socketPath;
  // One more user the engine may run as (root and this process's user always may call).
  std::optional<uint32_t> engineUid;
  // A request must arrive whole within this once the engine connected; a reply must be taken
  // within this.
  std::chrono::milliseconds frameTimeout{10'000};
};

class CallbackServer {
 public:
  // Creates the socket and starts serving. Throws std::system_error when the endpoint cannot be
  // created, or std::runtime_error when the engine's shared directory is missing or the socket's
  // directory is not this user's own (a link, another user's, writable by others).
  CallbackServer(uint32_t endpointNumber, CallbackHandlers handlers,
                 CallbackServerOptions options = {});
  // Stops taking calls, waits for the one being answered (a handler that blocks holds this),
  // joins the thread and removes the socket. Never throws.
  ~CallbackServer();
  CallbackServer(const CallbackServer&) = delete;
  CallbackServer& operator=(const CallbackServer&) = delete;

  const std::string& SocketPath() const { return socketPath; }

 private:
  void Serve(std::stop_token stop);
  void Answer(platform::UnixStream& connection, const std::stop_token& stop);

  const CallbackHandlers handlers;
  const CallbackServerOptions options;
  std::string socketPath;
  std::vector<uint32_t> trustedCallers;
  platform::UnixListener listener;
  std::jthread thread;  // last: stopped and joined before the members above go
};

}  // namespace rpc
