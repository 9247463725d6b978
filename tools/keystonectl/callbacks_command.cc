// keystonectl callbacks: answers the engine's callbacks (the smart-card PIN prompt and the
// signature in the user's session) from the terminal, so that a person can enroll a card and
// authenticate with it by hand; and checks that a client answers on its callback endpoint.

#include <chrono>
#include <cstdio>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/paths.h"
#include "platform/unix_socket.h"
#include "rpc/server_to_client.h"
#include "tools/keystonectl/callback_answers.h"
#include "tools/keystonectl/command.h"

namespace keystonectl {
namespace {

std::optional<uint32_t> ParseNumber(const std::string& text) {
  if (text.empty() || text.size() > 10 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  const unsigned long long value = std::stoull(text);
  if (value > 0xFFFFFFFFull) return std::nullopt;
  return static_cast<uint32_t>(value);
}

int Serve(uint32_t endpoint, const CallbackAnswerOptions& options) {
  const InterruptScope interruption;
  try {
    const CallbackService service(endpoint, options);
    std::printf("serving callbacks at %s; Ctrl-C stops\n", service.SocketPath().c_str());
    std::fflush(stdout);
    while (!InterruptScope::Interrupted()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  } catch (const std::exception& e) {
    return Fail(kExitFailure, e.what());
  }
  return kExitOk;
}

int Ping(uint32_t endpoint) {
  mfab::Server2ClientOptions options;
  options.runtimeDirectory = platform::ClientRuntimeDirectory();
  options.callTimeout = std::chrono::milliseconds(5'000);
  const mfab::Server2ClientInvoke invoke(endpoint, 0, platform::CurrentUserId(), options);
  const uint32_t status = mfab::PingRpcClient(invoke);
  std::printf("%s: %u\n", invoke.EndpointPath().c_str(), status);
  return status == 0 ? kExitOk : kExitFailure;
}

int RunCallbacks(const std::vector<std::string>& args) {
  if (args.size() < 2) return Fail(kExitUsage, "usage: keystonectl callbacks serve|ping N ...");
  const std::optional<uint32_t> endpoint = ParseNumber(args[1]);
  if (!endpoint) return Fail(kExitUsage, "the endpoint number must be 0 to 4294967295");
  if (args[0] == "ping" && args.size() == 2) return Ping(*endpoint);
  if (args[0] != "serve") return Fail(kExitUsage, "unknown callbacks command '" + args[0] + "'");
  CallbackAnswerOptions options;
  for (size_t i = 2; i < args.size(); ++i) {
    try {
      if (TakeCallbackOption(args, i, options)) continue;
    } catch (const std::invalid_argument& e) {
      return Fail(kExitUsage, e.what());
    }
    if (args[i] == "--engine-uid" && i + 1 < args.size()) {
      options.engineUid = ParseNumber(args[++i]);
      if (!options.engineUid) return Fail(kExitUsage, "--engine-uid needs a user id");
    } else {
      return Fail(kExitUsage, "unknown callbacks serve argument '" + args[i] + "'");
    }
  }
  return Serve(*endpoint, options);
}

const std::string kCallbacksUsage = std::string(
    "usage: keystonectl callbacks serve N [--pin-from-env VAR] [--assume-yes] [--engine-uid UID]\n"
    "       keystonectl callbacks ping N\n"
    "\n"
    "serve listens on this user's callback endpoint Server2Client_N (in callbacks/<uid>/ of the\n"
    "engine's runtime directory) until Ctrl-C. When the engine asks for the smart-card PIN it is\n"
    "read from the terminal without echo (at most 256 bytes); when it asks for a signature the\n"
    "request is shown, confirmed, and signed with the card that holds the named certificate.\n"
    "The engine calls the process that started the flow, so 'keystonectl enroll' and 'keystonectl\n"
    "applet factor-check' answer these callbacks themselves, at their own process id; serve is\n"
    "for another client that gave the engine the number N.\n") +
    kCallbackOptionsHelp +
    "  --engine-uid UID    also accept calls from an engine running as UID (besides root and\n"
    "                      this user)\n"
    "\n"
    "ping calls procedure 0 of this user's endpoint Server2Client_N, as the engine would, and\n"
    "prints the endpoint and the answer (0 when a client serves there); exit status 1 otherwise.\n";

const RegisterCommand kCallbacksCommand({
    "callbacks",
    "answer the engine's smart-card PIN and signature callbacks from this terminal",
    kCallbacksUsage.c_str(),
    RunCallbacks,
});

}  // namespace
}  // namespace keystonectl
