#pragma once

// keystonectl's answers to the engine's callbacks (the smart-card PIN prompt and the signature in
// the user's session), shared by "callbacks serve" and by the commands whose call makes the
// engine call back this very process (enroll, applet factor-check): the engine calls the client
// whose process started the flow, so such a command serves at its own pid while its call runs.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "rpc/client/callback_server.h"

namespace keystonectl {

struct CallbackAnswerOptions {
  // Empty: PINs are read from the terminal without echo; otherwise from this variable.
  std::string pinVariable;
  // Sign without asking for a confirmation.
  bool assumeYes = false;
  // One more user the engine may run as (root and this user always may call).
  std::optional<uint32_t> engineUid;
};

// Takes "--pin-from-env VAR" or "--assume-yes" at args[i] (advancing i past VAR); false when
// args[i] is neither. Throws std::invalid_argument when VAR is missing.
bool TakeCallbackOption(const std::vector<std::string>& args, size_t& i,
                        CallbackAnswerOptions& options);

// The options' help lines, for the usage texts of the commands that take them.
extern const char kCallbackOptionsHelp[];

// SIGINT and SIGTERM while it lives: the first one cancels a prompt that waits and makes
// Interrupted() true; a second one ends the program as usual. Restores the default handlers
// when destroyed. One at a time per process.
class InterruptScope {
 public:
  InterruptScope();
  ~InterruptScope();
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;

  static bool Interrupted();
};

class CallbackAnswers;

// Serves the engine's callbacks on this user's endpoint Server2Client_<endpoint> while it
// lives: PINs from the terminal (or the options' variable), signatures made with the card that
// holds the named certificate, found through the PKCS#11 module and readers the registry names
// (loaded on the first signature). Answers one call at a time on a thread of its own.
class CallbackService {
 public:
  // runtimeDirectory empty: the system engine's. Throws what rpc::CallbackServer throws (the
  // engine's callbacks directory is missing, the endpoint cannot be made).
  CallbackService(uint32_t endpoint, const CallbackAnswerOptions& options,
                  const std::string& runtimeDirectory = "");
  ~CallbackService();
  CallbackService(const CallbackService&) = delete;
  CallbackService& operator=(const CallbackService&) = delete;

  const std::string& SocketPath() const { return server->SocketPath(); }

 private:
  std::shared_ptr<CallbackAnswers> answers;
  std::unique_ptr<rpc::CallbackServer> server;
};

// For a command whose call may make the engine call back: serves at this process's pid, in the
// runtime directory of the engine socket it calls (empty: the system engine's). Returns null,
// after saying why on stderr, when it cannot serve; the command then runs without callbacks.
std::unique_ptr<CallbackService> ServeOwnCallbacks(const CallbackAnswerOptions& options,
                                                   const std::string& engineSocket);

}  // namespace keystonectl
