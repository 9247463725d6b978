// keystonectl enroll: a factor's enrollment for a user (RunEnrollmentFlowRpc), with its result
// decoded, and the user's registry mirror brought up to date afterwards.

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/status.h"
#include "rpc/client/client.h"
#include "tools/keystonectl/callback_answers.h"
#include "tools/keystonectl/command.h"
#include "tools/keystonectl/status_text.h"

namespace keystonectl {
namespace {

// TriggerDataBackupRpc's mode that mirrors one user.
constexpr int16_t kBackupUser = 1;

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct Arguments {
  std::string socket;
  std::optional<uint32_t> engineUid;
  std::optional<uint32_t> session;
  bool backup = true;
  CallbackAnswerOptions callbacks;
  std::vector<std::string> positional;
};

uint32_t Number(const std::string& option, const std::string& text) {
  uint32_t value = 0;
  const int base = text.starts_with("0x") || text.starts_with("0X") ? 16 : 10;
  const char* begin = text.data() + (base == 16 ? 2 : 0);
  const auto [end, error] = std::from_chars(begin, text.data() + text.size(), value, base);
  if (begin == text.data() + text.size() || error != std::errc() ||
      end != text.data() + text.size()) {
    throw UsageError(option + " needs a number, not '" + text + "'");
  }
  return value;
}

Arguments Parse(const std::vector<std::string>& args) {
  Arguments parsed;
  for (size_t i = 0; i < args.size(); ++i) {
    const bool hasValue = i + 1 < args.size();
    try {
      if (TakeCallbackOption(args, i, parsed.callbacks)) continue;
    } catch (const std::invalid_argument& e) {
      throw UsageError(e.what());
    }
    if (args[i] == "--socket" && hasValue) {
      parsed.socket = args[++i];
    } else if (args[i] == "--engine-uid" && hasValue) {
      parsed.engineUid = Number(args[i], args[i + 1]);
      ++i;
    } else if (args[i] == "--session" && hasValue) {
      parsed.session = Number(args[i], args[i + 1]);
      ++i;
    } else if (args[i] == "--no-backup") {
      parsed.backup = false;
    } else if (args[i].starts_with("--")) {
      throw UsageError("unknown or incomplete option '" + args[i] + "'");
    } else {
      parsed.positional.push_back(args[i]);
    }
  }
  if (parsed.positional.size() != 2) throw UsageError("enroll needs USER_SID and FACTOR_ID");
  parsed.callbacks.engineUid = parsed.engineUid;
  return parsed;
}

int Run(const std::vector<std::string>& raw) {
  try {
    const Arguments args = Parse(raw);
    const std::string& user = args.positional[0];
    const std::string& factor = args.positional[1];
    rpc::ClientOptions options;
    options.engineUid = args.engineUid;
    rpc::Client client(args.socket.empty() ? rpc::ClientEndpointPath() : args.socket, options);
    // The enrollment belongs to a client session, as a client's own would.
    const uint32_t session =
        args.session ? *args.session : static_cast<uint32_t>(client.GetSessionIdRpc());
    std::printf("enrolling factor %s for %s (session %u); the engine may wait up to 120 s\n",
                factor.c_str(), user.c_str(), session);
    std::fflush(stdout);
    uint32_t result = 0;
    {
      // The factor's PIN prompt and signature come back to this process while the call runs.
      const InterruptScope interruption;
      const std::unique_ptr<CallbackService> callbacks =
          ServeOwnCallbacks(args.callbacks, args.socket);
      result = static_cast<uint32_t>(client.RunEnrollmentFlowRpc(
          static_cast<int32_t>(session), user.c_str(), factor.c_str(), 0, nullptr));
    }
    std::printf("result=0x%08X (%s)\n", result, StatusName(result));
    if (result != keystone::kStatusSuccess) return kExitFailure;
    if (!args.backup) return kExitOk;
    const auto mirrored =
        static_cast<uint32_t>(client.TriggerDataBackupRpc(kBackupUser, user.c_str(), 0, nullptr));
    std::printf("registry mirror of the user: 0x%08X (%s)\n", mirrored, StatusName(mirrored));
    return mirrored == keystone::kStatusSuccess ? kExitOk : kExitFailure;
  } catch (const UsageError& e) {
    return Fail(kExitUsage, e.what());
  } catch (const rpc::TransportError& e) {
    return Fail(kExitFailure, std::string("cannot reach the engine: ") + e.what());
  }
}

const std::string kUsage = std::string(
    "usage: keystonectl enroll USER_SID FACTOR_ID [--session N] [--no-backup]\n"
    "                          [--pin-from-env VAR] [--assume-yes]\n"
    "                          [--socket PATH] [--engine-uid UID]\n"
    "\n"
    "Enrolls the factor for the user (RunEnrollmentFlowRpc) and prints the result code with its\n"
    "meaning: 0 enrolled, 0xA0000035 the engine has no such factor or the policy does not list\n"
    "it, 0xA0000037 already enrolled (the applet is not asked), 0xA0000052 the factor cannot run\n"
    "here, 0xA0000038 the factor or the applet's store failed, 0xA0000031 anything else (another\n"
    "enrollment of the user runs, the user is not yours, see the engine's log). Without root you\n"
    "may enroll only your own SID. After a success the engine rewrites the user's registry\n"
    "mirror (TriggerDataBackupRpc, user mode) unless --no-backup is given, so that a second\n"
    "enrollment of the factor is seen as one.\n"
    "\n"
    "While the call runs this process answers the engine's callbacks at its own process id (as\n"
    "'keystonectl callbacks serve' does): a smart card's PIN is asked on the terminal without\n"
    "echo, and a signature is confirmed and made with the card that holds the certificate.\n"
    "Ctrl-C cancels a prompt; a second one ends keystonectl.\n"
    "\n"
    "  --session N  the client session the enrollment belongs to (default: a new one from\n"
    "               GetSessionIdRpc)\n") +
    kCallbackOptionsHelp +
    "\n"
    "Exit 0 when the factor was enrolled (and mirrored), 1 otherwise, 2 for a bad command line.";

const RegisterCommand kRegistered({"enroll", "enroll a factor for a user", kUsage.c_str(), Run});

}  // namespace
}  // namespace keystonectl
