#include "tools/keystonectl/callback_answers.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <utility>

#include "common/exceptions.h"
#include "common/status.h"
#include "log/logger.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/terminal.h"
#include "rpc/callback_table.h"
#include "rpc/protocol.h"
#include "smartcard/certificates.h"
#include "smartcard/exceptions.h"
#include "smartcard/smartcard_certificate_handler.h"

namespace keystonectl {
namespace {

// A person may mistype; a script's PIN does not change, so it gets one try.
constexpr int kTerminalPinTries = 3;

std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void OnCallbackInterrupt(int signal) {
  interrupted = true;
  std::signal(signal, SIG_DFL);  // a second one ends the program
}

int32_t Status(uint32_t status) { return static_cast<int32_t>(status); }

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

}  // namespace

const char kCallbackOptionsHelp[] =
    "  --pin-from-env VAR  answer PIN prompts with the value of VAR, for scripts and tests only:\n"
    "                      the environment of a process can be read by others; never use it for\n"
    "                      a real card's PIN\n"
    "  --assume-yes        sign without asking (scripts and tests)\n";

bool TakeCallbackOption(const std::vector<std::string>& args, size_t& i,
                        CallbackAnswerOptions& options) {
  if (args[i] == "--assume-yes") {
    options.assumeYes = true;
    return true;
  }
  if (args[i] != "--pin-from-env") return false;
  if (i + 1 >= args.size() || args[i + 1].empty()) {
    throw std::invalid_argument("--pin-from-env needs a variable name");
  }
  options.pinVariable = args[++i];
  return true;
}

InterruptScope::InterruptScope() {
  interrupted = false;
  std::signal(SIGINT, OnCallbackInterrupt);
  std::signal(SIGTERM, OnCallbackInterrupt);
}

InterruptScope::~InterruptScope() {
  std::signal(SIGINT, SIG_DFL);
  std::signal(SIGTERM, SIG_DFL);
}

bool InterruptScope::Interrupted() { return interrupted.load(); }

// Called from the callback server's one thread only.
class CallbackAnswers {
 public:
  explicit CallbackAnswers(CallbackAnswerOptions answerOptions)
      : options(std::move(answerOptions)) {}

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
    CertificateStore::SmartcardCertificateHandler* const handler = Signer();
    if (handler == nullptr) {
      std::fprintf(stderr, "keystonectl: %s\n", noSigner.c_str());
      return Status(keystone::kStatusSmartCardGeneralError);
    }
    if (!Confirm("Sign with this card? [y/N] ")) return Status(keystone::kStatusGeneralFailure);
    try {
      handler->OpenStorageProvider();
      const std::optional<CertificateStore::ContainerLocation> found =
          FindContainerBySha1(*handler, sha1);
      if (!found) {
        std::fprintf(stderr, "keystonectl: no card present holds the certificate %s\n",
                     sha1.c_str());
        return Status(keystone::kStatusCertificateUnavailable);
      }
      const mfab::Bytes nonce(data.begin(), data.end());
      if (!handler->IsPinNeeded(*found)) {
        signature = handler->SignNonce(*found, std::nullopt, nonce);
        return 0;
      }
      const int tries = options.pinVariable.empty() ? kTerminalPinTries : 1;
      for (int attempt = 1;; ++attempt) {
        std::optional<std::string> pin(std::in_place);
        if (const int32_t status = ReadPin("Smart-card PIN: ", *pin); status != 0) return status;
        try {
          signature = handler->SignNonce(*found, pin, nonce);
          std::fill(pin->begin(), pin->end(), '\0');
          return 0;
        } catch (const CertificateStore::SmartPinError& e) {
          std::fill(pin->begin(), pin->end(), '\0');
          std::fprintf(stderr, "keystonectl: the card refused the PIN (%s)\n", e.what());
          if (attempt >= tries) return Status(keystone::kStatusAuthenticationError);
        }
      }
    } catch (const mfab::MfaException& e) {
      std::fprintf(stderr, "keystonectl: %s\n", e.what());
      return e.ErrorCode();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "keystonectl: %s\n", e.what());
      return Status(keystone::kStatusSmartCardGeneralError);
    }
  }

 private:
  // The engine's own handling over the readers (or software tokens) and the module the registry
  // names; made on the first signature, so a command that is never asked loads no module.
  CertificateStore::SmartcardCertificateHandler* Signer() {
    if (signerTried) return signer.get();
    signerTried = true;
    // The handling's progress lines are for the engine's log; here only its errors go to stderr.
    mfab::SetLogThreshold(mfab::LogSink::kService, 2);
    try {
      registry = platform::OpenSystemRegistry();
      signer = CertificateStore::CreateSmartcardCertificateHandler(*registry);
    } catch (const std::exception& e) {
      noSigner = std::string("no card signer: ") + e.what();
    }
    return signer.get();
  }

  int32_t ReadPin(const char* prompt, std::string& pin) {
    const size_t limit = static_cast<size_t>(rpc::kCallbackPinCapacity);
    if (!options.pinVariable.empty()) {
      const char* value = std::getenv(options.pinVariable.c_str());
      if (value == nullptr) {
        std::fprintf(stderr, "keystonectl: %s is not set\n", options.pinVariable.c_str());
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
    if (options.assumeYes) return true;
    std::string answer;
    if (platform::ReadTerminalLine(question, true, 16, answer, [] { return interrupted.load(); }) !=
        platform::TerminalInput::kEntered) {
      return false;
    }
    return answer == "y" || answer == "Y" || answer == "yes";
  }

  const CallbackAnswerOptions options;
  bool signerTried = false;
  std::unique_ptr<platform::Registry> registry;  // the signer reads it; declared before it
  std::shared_ptr<CertificateStore::SmartcardCertificateHandler> signer;
  std::string noSigner;
};

CallbackService::CallbackService(uint32_t endpoint, const CallbackAnswerOptions& options,
                                 const std::string& runtimeDirectory)
    : answers(std::make_shared<CallbackAnswers>(options)) {
  rpc::CallbackHandlers handlers;
  handlers.getPin = [target = answers](int32_t attempt, int32_t value, std::string& pin) {
    return target->GetPin(attempt, value, pin);
  };
  handlers.signHash = [target = answers](int32_t value, std::span<const uint8_t> data,
                                         const std::string& sha1, std::vector<uint8_t>& signature) {
    return target->SignHash(value, data, sha1, signature);
  };
  rpc::CallbackServerOptions serverOptions;
  serverOptions.engineUid = options.engineUid;
  if (!runtimeDirectory.empty()) {
    serverOptions.socketPath =
        rpc::CallbackEndpointPath(runtimeDirectory, platform::CurrentUserId(), endpoint);
  }
  server = std::make_unique<rpc::CallbackServer>(endpoint, handlers, serverOptions);
}

CallbackService::~CallbackService() = default;

std::unique_ptr<CallbackService> ServeOwnCallbacks(const CallbackAnswerOptions& options,
                                                   const std::string& engineSocket) {
  const std::string runtimeDirectory =
      engineSocket.empty() ? "" : std::filesystem::path(engineSocket).parent_path().string();
  try {
    return std::make_unique<CallbackService>(static_cast<uint32_t>(::getpid()), options,
                                             runtimeDirectory);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "keystonectl: not answering the engine's callbacks: %s\n", e.what());
    return nullptr;
  }
}

}  // namespace keystonectl
