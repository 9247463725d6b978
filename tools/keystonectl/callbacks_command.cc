// keystonectl callbacks: answers the engine's callbacks (the smart-card PIN prompt and the
// signature in the user's session) from the terminal, so that a person can enroll a card and
// authenticate with it by hand; and checks that a client answers on its callback endpoint.

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/exceptions.h"
#include "common/status.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/terminal.h"
#include "platform/unix_socket.h"
#include "rpc/callback_table.h"
#include "rpc/client/callback_server.h"
#include "rpc/protocol.h"
#include "rpc/server_to_client.h"
#include "smartcard/certificates.h"
#include "smartcard/exceptions.h"
#include "smartcard/smartcard_certificate_handler.h"
#include "tools/keystonectl/command.h"

namespace keystonectl {
namespace {

std::atomic<bool> interrupted{false};

extern "C" void OnServeInterrupt(int) { interrupted = true; }

struct ServeArguments {
  uint32_t endpoint = 0;
  std::optional<uint32_t> engineUid;
  std::string pinVariable;  // empty: ask on the terminal
  bool assumeYes = false;
};

std::optional<uint32_t> ParseNumber(const std::string& text) {
  if (text.empty() || text.size() > 10 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  const unsigned long long value = std::stoull(text);
  if (value > 0xFFFFFFFFull) return std::nullopt;
  return static_cast<uint32_t>(value);
}

int32_t Status(uint32_t status) { return static_cast<int32_t>(status); }

// The card signer: the engine's own handling over the readers (or software tokens) and the
// PKCS#11 module the registry names. Null, with the reason, when the registry cannot be opened.
std::shared_ptr<CertificateStore::SmartcardCertificateHandler> CreateCardSigner(std::string& why) {
  try {
    static const std::unique_ptr<platform::Registry> registry = platform::OpenSystemRegistry();
    return CertificateStore::CreateSmartcardCertificateHandler(*registry);
  } catch (const std::exception& e) {
    why = std::string("no card signer: ") + e.what();
    return nullptr;
  }
}

// The container whose certificate has this SHA-1 thumbprint, on any card present.
std::optional<CertificateStore::ContainerLocation> FindContainerBySha1(
    CertificateStore::SmartcardCertificateHandler& handler, const std::string& sha1) {
  for (const std::string& reader : handler.FilterReaders("")) {
    for (const CertificateStore::CardCertificate& card : handler.GetCertificatesList(reader)) {
      const CertificateStore::ContainerLocation container{reader, card.containerName};
      if (handler.GetCertificateThumbprint(container) == sha1) return container;
    }
  }
  return std::nullopt;
}

class CallbackAnswers {
 public:
  CallbackAnswers(ServeArguments serveArguments,
                  std::shared_ptr<CertificateStore::SmartcardCertificateHandler> cardSigner,
                  std::string signerProblem)
      : arguments(std::move(serveArguments)),
        signer(std::move(cardSigner)),
        noSigner(std::move(signerProblem)) {}

  int32_t GetPin(int32_t attempt, int32_t value, std::string& pin) {
    std::fprintf(stderr,
                 "keystonectl: the engine asks for the smart-card PIN (attempt %d, value %d)\n",
                 attempt, value);
    if (attempt > 1) std::fprintf(stderr, "keystonectl: the card refused the last PIN\n");
    return ReadPin("Smart-card PIN: ", pin);
  }

  int32_t SignHash(int32_t value, std::span<const uint8_t> data, const std::string& sha1,
                   std::vector<uint8_t>& signature) {
    std::fprintf(stderr,
                 "keystonectl: the engine asks for a signature of %zu bytes with the certificate "
                 "%s (value %d)\n",
                 data.size(), sha1.c_str(), value);
    if (!signer) {
      std::fprintf(stderr, "keystonectl: %s\n", noSigner.c_str());
      return Status(keystone::kStatusSmartCardGeneralError);
    }
    if (!Confirm("Sign with this card? [y/N] ")) return Status(keystone::kStatusGeneralFailure);
    try {
      signer->OpenStorageProvider();
      const std::optional<CertificateStore::ContainerLocation> found =
          FindContainerBySha1(*signer, sha1);
      if (!found) {
        std::fprintf(stderr, "keystonectl: no card present holds the certificate %s\n",
                     sha1.c_str());
        return Status(keystone::kStatusCertificateUnavailable);
      }
      const CertificateStore::ContainerLocation& container = *found;
      std::optional<std::string> pin;
      if (signer->IsPinNeeded(container)) {
        pin.emplace();
        if (const int32_t status = ReadPin("Smart-card PIN: ", *pin); status != 0) return status;
      }
      const mfab::Bytes nonce(data.begin(), data.end());
      signature = signer->SignNonce(container, pin, nonce);
      if (pin) std::fill(pin->begin(), pin->end(), '\0');
      return 0;
    } catch (const CertificateStore::SmartPinError& e) {
      std::fprintf(stderr, "keystonectl: %s\n", e.what());
      return Status(keystone::kStatusAuthenticationError);
    } catch (const mfab::MfaException& e) {
      std::fprintf(stderr, "keystonectl: %s\n", e.what());
      return e.ErrorCode();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "keystonectl: %s\n", e.what());
      return Status(keystone::kStatusSmartCardGeneralError);
    }
  }

 private:
  int32_t ReadPin(const char* prompt, std::string& pin) {
    const size_t limit = static_cast<size_t>(rpc::kCallbackPinCapacity);
    if (!arguments.pinVariable.empty()) {
      const char* value = std::getenv(arguments.pinVariable.c_str());
      if (value == nullptr) {
        std::fprintf(stderr, "keystonectl: %s is not set\n", arguments.pinVariable.c_str());
        return Status(keystone::kStatusGeneralFailure);
      }
      pin = value;
    } else {
      switch (platform::ReadTerminalLine(prompt, false, limit, pin,
                                         [] { return interrupted.load(); })) {
        case platform::TerminalInput::kEntered:
          break;
        case platform::TerminalInput::kTooLong:
          std::fprintf(stderr, "keystonectl: a PIN is at most %zu bytes\n", limit);
          return Status(keystone::kStatusInvalidParameter);
        case platform::TerminalInput::kCancelled:
        case platform::TerminalInput::kClosed:
          return Status(keystone::kStatusGeneralFailure);
      }
    }
    if (pin.size() > limit) {
      std::fill(pin.begin(), pin.end(), '\0');
      pin.clear();
      std::fprintf(stderr, "keystonectl: a PIN is at most %zu bytes\n", limit);
      return Status(keystone::kStatusInvalidParameter);
    }
    return 0;
  }

  bool Confirm(const char* question) {
    if (arguments.assumeYes) return true;
    std::string answer;
    if (platform::ReadTerminalLine(question, true, 16, answer, [] { return interrupted.load(); }) !=
        platform::TerminalInput::kEntered) {
      return false;
    }
    return answer == "y" || answer == "Y" || answer == "yes";
  }

  const ServeArguments arguments;
  const std::shared_ptr<CertificateStore::SmartcardCertificateHandler> signer;
  const std::string noSigner;
};

int Serve(const ServeArguments& arguments) {
  std::string noSigner;
  std::shared_ptr<CertificateStore::SmartcardCertificateHandler> signer =
      CreateCardSigner(noSigner);
  if (!signer)
    std::fprintf(stderr, "keystonectl: %s; signature requests will fail\n", noSigner.c_str());
  auto answers = std::make_shared<CallbackAnswers>(arguments, signer, noSigner);
  rpc::CallbackHandlers handlers;
  handlers.getPin = [answers](int32_t attempt, int32_t value, std::string& pin) {
    return answers->GetPin(attempt, value, pin);
  };
  handlers.signHash = [answers](int32_t value, std::span<const uint8_t> data,
                                const std::string& sha1, std::vector<uint8_t>& signature) {
    return answers->SignHash(value, data, sha1, signature);
  };
  rpc::CallbackServerOptions options;
  options.engineUid = arguments.engineUid;
  interrupted = false;
  std::signal(SIGINT, OnServeInterrupt);
  std::signal(SIGTERM, OnServeInterrupt);
  int code = kExitOk;
  try {
    rpc::CallbackServer server(arguments.endpoint, handlers, options);
    std::printf("serving callbacks at %s; Ctrl-C stops\n", server.SocketPath().c_str());
    std::fflush(stdout);
    while (!interrupted) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  } catch (const std::exception& e) {
    code = Fail(kExitFailure, e.what());
  }
  std::signal(SIGINT, SIG_DFL);
  std::signal(SIGTERM, SIG_DFL);
  return code;
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
  ServeArguments arguments;
  arguments.endpoint = *endpoint;
  for (size_t i = 2; i < args.size(); ++i) {
    if (args[i] == "--assume-yes") {
      arguments.assumeYes = true;
    } else if (args[i] == "--pin-from-env" && i + 1 < args.size()) {
      arguments.pinVariable = args[++i];
    } else if (args[i] == "--engine-uid" && i + 1 < args.size()) {
      arguments.engineUid = ParseNumber(args[++i]);
      if (!arguments.engineUid) return Fail(kExitUsage, "--engine-uid needs a user id");
    } else {
      return Fail(kExitUsage, "unknown callbacks serve argument '" + args[i] + "'");
    }
  }
  return Serve(arguments);
}

const RegisterCommand kCallbacksCommand({
    "callbacks",
    "answer the engine's smart-card PIN and signature callbacks from this terminal",
    "usage: keystonectl callbacks serve N [--pin-from-env VAR] [--assume-yes] [--engine-uid UID]\n"
    "       keystonectl callbacks ping N\n"
    "\n"
    "serve listens on this user's callback endpoint Server2Client_N (in callbacks/<uid>/ of the\n"
    "engine's runtime directory) until Ctrl-C. When the engine asks for the smart-card PIN it is\n"
    "read from the terminal without echo (at most 256 bytes); when it asks for a signature the\n"
    "request is shown, confirmed, and signed with the card that holds the named certificate.\n"
    "  --pin-from-env VAR  answer PIN prompts with the value of VAR, for scripts and tests only:\n"
    "                      the environment of a process can be read by others; never use it for\n"
    "                      a real card's PIN\n"
    "  --assume-yes        sign without asking (scripts and tests)\n"
    "  --engine-uid UID    also accept calls from an engine running as UID (besides root and\n"
    "                      this user)\n"
    "\n"
    "ping calls procedure 0 of this user's endpoint Server2Client_N, as the engine would, and\n"
    "prints the endpoint and the answer (0 when a client serves there); exit status 1 otherwise.\n",
    RunCallbacks,
});

}  // namespace
}  // namespace keystonectl
