// keystonectl applet, auth and session: the everyday client calls by what they do, on top of the
// RPC interface (keystonectl rpc calls any operation by its parameters).

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/status.h"
#include "rpc/client/client.h"
#include "rpc/engine_operations.h"
#include "tlv/applet_tags.h"
#include "tlv/catalogue.h"
#include "tlv/client_messages.h"
#include "tlv/host_messages.h"
#include "tlv/message.h"
#include "tlv/message_types.h"
#include "tlv/metadata.h"
#include "tlv/status_messages.h"
#include "tlv/tlv.h"
#include "tools/keystonectl/callback_answers.h"
#include "tools/keystonectl/command.h"
#include "tools/keystonectl/hex.h"

namespace keystonectl {
namespace {

using Bytes = std::vector<uint8_t>;
using mfab::AppendTlv;
using mfab::AppendTlvUint;
using mfab::AuthenticationStatusData;
using mfab::CatalogueEntry;
using mfab::ErrorMessage;
using mfab::FindMessageClass;
using mfab::Message;
using mfab::TlvException;
namespace message_type = mfab::message_type;
namespace record = mfab::record;

// The applet's largest reply, so a reply never fails for want of room unless asked to.
constexpr int32_t kDefaultCapacity = 32768;
constexpr uint32_t kPolicyModule = 5;
constexpr uint32_t kNoSession = keystone::kNoSessionId;

namespace tag = mfab::applet_tag;  // the SetPolicyRequest layout

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

const char* StatusText(rpc::AppletCallStatus status) {
  switch (status) {
    case rpc::AppletCallStatus::kSuccess: return "success";
    case rpc::AppletCallStatus::kBufferTooSmall: return "output buffer too small";
    case rpc::AppletCallStatus::kGeneralFailure: return "the request failed in the engine";
    case rpc::AppletCallStatus::kAppletBusy: return "applet busy with another session";
    case rpc::AppletCallStatus::kApiBusy: return "API busy (authentication or upgrade running)";
    case rpc::AppletCallStatus::kInvalidApi: return "invalid API call";
    case rpc::AppletCallStatus::kNotElevated: return "not elevated (run as root)";
    case rpc::AppletCallStatus::kSvnUpgrade: return "security-version upgrade happened, retry";
    case rpc::AppletCallStatus::kConnectedStandby: return "refused in connected standby";
    case rpc::AppletCallStatus::kAttestationFailure: return "attestation failure";
    case rpc::AppletCallStatus::kClearDiskFailed: return "stored data could not be cleared";
  }
  return "unknown status";
}

uint32_t ParseNumber(const std::string& option, const std::string& text) {
  try {
    size_t used = 0;
    const unsigned long long value = std::stoull(text, &used, 0);
    if (used != text.size() || value > 0xFFFFFFFFull) throw std::out_of_range(text);
    return static_cast<uint32_t>(value);
  } catch (const std::logic_error&) {
    throw UsageError(option + " needs a number, not '" + text + "'");
  }
}

// Options shared by the subcommands; each takes what it knows and leaves the rest.
struct CommonOptions {
  std::string socket;
  std::optional<uint32_t> engineUid;
  uint32_t session = kNoSession;
  int32_t capacity = kDefaultCapacity;
};

// Takes "--name VALUE" at args[i] into value; false when args[i] is not that option.
bool TakeOption(const std::vector<std::string>& args, size_t& i, const char* name,
                std::string& value) {
  if (args[i] != name) return false;
  if (i + 1 >= args.size()) throw UsageError(std::string(name) + " needs a value");
  value = args[++i];
  return true;
}

bool TakeCommon(const std::vector<std::string>& args, size_t& i, CommonOptions& common) {
  std::string value;
  if (TakeOption(args, i, "--socket", common.socket)) return true;
  if (TakeOption(args, i, "--engine-uid", value)) {
    common.engineUid = ParseNumber("--engine-uid", value);
    return true;
  }
  if (TakeOption(args, i, "--session", value)) {
    common.session = ParseNumber("--session", value);
    return true;
  }
  if (TakeOption(args, i, "--capacity", value)) {
    common.capacity = static_cast<int32_t>(ParseNumber("--capacity", value));
    return true;
  }
  return false;
}

std::unique_ptr<rpc::Client> MakeClient(const CommonOptions& common) {
  rpc::ClientOptions options;
  options.engineUid = common.engineUid;
  return std::make_unique<rpc::Client>(
      common.socket.empty() ? rpc::ClientEndpointPath() : common.socket, options);
}

// Prints a reply through the tlv command's message decoder.
void PrintReply(const Bytes& reply) {
  if (reply.empty()) {
    std::printf("reply: (empty)\n");
    return;
  }
  std::printf("reply (%zu bytes):\n", reply.size());
  for (const Command& c : Commands()) {
    if (std::string(c.name) == "tlv") {
      std::fflush(stdout);
      if (c.run({"message", ToHex(reply)}) == kExitOk) return;
    }
  }
  std::printf("%s\n", ToHex(reply).c_str());
}

// Sends one request and prints the outcome; the exit code says whether the applet accepted it.
// The reply goes to replyOut as well, when given.
int SendAndPrint(const Message& request, const CommonOptions& common, bool raw,
                 Bytes* replyOut = nullptr) {
  const std::unique_ptr<rpc::Client> client = MakeClient(common);
  const Bytes bytes = request.Serialize();
  Bytes out(static_cast<size_t>(common.capacity));
  int32_t outSize = common.capacity;
  const rpc::AppletCallStatus status = client->SendMessageToAppletRpc(
      0, static_cast<int32_t>(bytes.size()), bytes.data(), &outSize, out.data());
  if (status != rpc::AppletCallStatus::kSuccess) {
    std::printf("status=%u (%s)\n", static_cast<unsigned>(status), StatusText(status));
    return kExitFailure;
  }
  out.resize(static_cast<size_t>(outSize));
  if (replyOut != nullptr) *replyOut = out;
  if (raw) {
    std::printf("%s\n", ToHex(out).c_str());
    return kExitOk;
  }
  std::printf("status=0 (success)\n");
  PrintReply(out);
  try {
    const Message reply = Message::Parse(out);
    if (reply.messageType == message_type::kErrorReply) {
      ErrorMessage error;
      error.Deserialize(reply.payload);
      std::printf("applet error 0x%04X: %s\n", error.errorCode, error.errorText.c_str());
      return kExitFailure;
    }
  } catch (const TlvException&) {
    std::printf("the reply is not a Message envelope\n");
    return kExitFailure;
  }
  return kExitOk;
}

Bytes ReadPayloadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw std::runtime_error("cannot read " + path);
  const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  return ParseHex(text);
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::stringstream stream(text);
  std::string part;
  while (std::getline(stream, part, separator)) parts.push_back(part);
  return parts;
}

// A name-value list (0x7C0B's content) of NAME=VALUE texts.
Bytes NameValues(const std::vector<std::string>& pairs, const char* option) {
  Bytes list;
  for (const std::string& pair : pairs) {
    const size_t equals = pair.find('=');
    if (equals == std::string::npos || equals == 0) {
      throw UsageError(std::string(option) + " needs NAME=VALUE, not '" + pair + "'");
    }
    Bytes element;
    AppendTlv(element, tag::kName, pair.substr(0, equals));
    AppendTlv(element, tag::kValue, pair.substr(equals + 1));
    AppendTlv(list, tag::kNameValue, element);
  }
  return list;
}

// --factor ID:TYPE[:NAME] as a 0x7C02 element, with its --param NAME=VALUE parameters.
Bytes FactorElement(const std::string& option, const std::vector<std::string>& parameters) {
  const std::vector<std::string> parts = Split(option, ':');
  if (parts.size() < 2 || parts[0].empty()) {
    throw UsageError("--factor needs ID:TYPE[:NAME], not '" + option + "'");
  }
  Bytes element;
  AppendTlv(element, tag::kFactorId, parts[0]);
  AppendTlv(element, tag::kFactorName, parts.size() > 2 ? parts[2] : parts[0]);
  AppendTlvUint(element, tag::kFactorType, ParseNumber("--factor", parts[1]));
  if (!parameters.empty()) AppendTlv(element, tag::kNameValues, NameValues(parameters, "--param"));
  Bytes item;
  AppendTlv(item, tag::kFactor, element);
  return item;
}

// --setting NAME:TYPE=TEXT as a 0x7C21 element (the value is the text's bytes).
Bytes SettingElement(const std::string& option) {
  const size_t colon = option.find(':');
  const size_t equals = option.find('=', colon == std::string::npos ? 0 : colon);
  if (colon == std::string::npos || colon == 0 || equals == std::string::npos) {
    throw UsageError("--setting needs NAME:TYPE=VALUE, not '" + option + "'");
  }
  Bytes element;
  AppendTlv(element, tag::kSettingName, option.substr(0, colon));
  AppendTlvUint(element, tag::kSettingType,
                ParseNumber("--setting", option.substr(colon + 1, equals - colon - 1)));
  AppendTlv(element, tag::kSettingValue, option.substr(equals + 1));
  Bytes item;
  AppendTlv(item, tag::kSetting, element);
  return item;
}

// --action ID=F1+F2,F3 (sets separated by ',', factors of a set by '+') as a 0x7C11 element.
Bytes ActionElement(const std::string& option) {
  const size_t equals = option.find('=');
  if (equals == std::string::npos || equals == 0 || equals + 1 == option.size()) {
    throw UsageError("--action needs ID=FACTOR[+FACTOR][,FACTOR...], not '" + option + "'");
  }
  Bytes sets;
  for (const std::string& set : Split(option.substr(equals + 1), ',')) {
    Bytes entries;
    for (const std::string& factor : Split(set, '+')) {
      Bytes entry;
      AppendTlv(entry, tag::kFactorId, factor);
      AppendTlv(entries, tag::kSetEntry, entry);
    }
    AppendTlv(sets, tag::kFactorSet, entries);
  }
  Bytes element;
  AppendTlv(element, tag::kActionId, option.substr(0, equals));
  AppendTlv(element, tag::kFactorSets, sets);
  Bytes item;
  AppendTlv(item, tag::kAction, element);
  return item;
}

int RunPolicySet(const std::vector<std::string>& args, size_t start) {
  CommonOptions common;
  std::string file;
  std::vector<std::string> factorOptions;
  std::map<std::string, std::vector<std::string>> parameters;  // by factor id
  Bytes factors;
  Bytes actions;
  Bytes settings;
  for (size_t i = start; i < args.size(); ++i) {
    std::string value;
    if (TakeCommon(args, i, common)) continue;
    if (TakeOption(args, i, "--file", file)) continue;
    if (TakeOption(args, i, "--factor", value)) {
      factorOptions.push_back(value);
      continue;
    }
    if (TakeOption(args, i, "--param", value)) {
      const size_t colon = value.find(':');
      if (colon == std::string::npos) throw UsageError("--param needs ID:NAME=VALUE");
      parameters[value.substr(0, colon)].push_back(value.substr(colon + 1));
      continue;
    }
    if (TakeOption(args, i, "--setting", value)) {
      const Bytes element = SettingElement(value);
      settings.insert(settings.end(), element.begin(), element.end());
      continue;
    }
    if (TakeOption(args, i, "--action", value)) {
      const Bytes element = ActionElement(value);
      actions.insert(actions.end(), element.begin(), element.end());
      continue;
    }
    throw UsageError("unknown policy set argument '" + args[i] + "'");
  }
  for (const std::string& option : factorOptions) {
    const Bytes element = FactorElement(option, parameters[Split(option, ':')[0]]);
    factors.insert(factors.end(), element.begin(), element.end());
  }
  Message request;
  request.moduleId = kPolicyModule;
  request.messageType = message_type::kSetPolicyRequest;
  request.category = 1;
  request.sessionId = common.session;
  if (!file.empty()) {
    if (!factors.empty() || !actions.empty() || !settings.empty()) {
      throw UsageError("--file and --factor/--action/--setting exclude each other");
    }
    request.payload = ReadPayloadFile(file);
  } else {
    if (factors.empty()) throw UsageError("policy set needs --file or at least one --factor");
    AppendTlv(request.payload, tag::kFactors, factors);
    if (!actions.empty()) AppendTlv(request.payload, tag::kActions, actions);
    if (!settings.empty()) AppendTlv(request.payload, tag::kSettings, settings);
  }
  return SendAndPrint(request, common, false);
}

int RunPolicyGet(const std::vector<std::string>& args, size_t start) {
  CommonOptions common;
  for (size_t i = start; i < args.size(); ++i) {
    if (!TakeCommon(args, i, common)) throw UsageError("unknown policy get argument '" + args[i] + "'");
  }
  Message request;
  request.moduleId = kPolicyModule;
  request.messageType = message_type::kGetPolicyDataRequest;
  request.category = 1;
  request.sessionId = common.session;
  return SendAndPrint(request, common, false);
}

int RunSend(const std::vector<std::string>& args, size_t start) {
  CommonOptions common;
  Message request;
  request.moduleId = 0;
  request.category = 0;
  std::optional<uint32_t> type;
  bool raw = false;
  for (size_t i = start; i < args.size(); ++i) {
    std::string value;
    if (TakeCommon(args, i, common)) continue;
    if (TakeOption(args, i, "--type", value)) {
      type = ParseNumber("--type", value);
    } else if (TakeOption(args, i, "--module", value)) {
      request.moduleId = ParseNumber("--module", value);
    } else if (TakeOption(args, i, "--category", value)) {
      request.category = ParseNumber("--category", value);
    } else if (TakeOption(args, i, "--payload", value)) {
      request.payload = HexArgument(value);
    } else if (args[i] == "--response") {
      request.isResponse = true;
    } else if (args[i] == "--raw") {
      raw = true;
    } else {
      throw UsageError("unknown applet send argument '" + args[i] + "'");
    }
  }
  if (!type) throw UsageError("applet send needs --type");
  request.messageType = *type;
  request.sessionId = common.session;
  return SendAndPrint(request, common, raw);
}

// The verdict in the simulated applet's answer to one of its checks (BooleanResponse 0 is yes);
// null, with a line saying so, when the applet answered something else.
std::optional<bool> CheckVerdict(const Bytes& reply, uint32_t answerType) {
  const Message answer = Message::Parse(reply);
  if (answer.messageType != answerType) {
    std::printf("the applet did not answer the check\n");
    return std::nullopt;
  }
  mfab::BooleanResponse verdict;
  verdict.Deserialize(answer.payload);
  return verdict.result == 0;
}

// The simulated applet's host-factor check: the engine runs the factor-authentication flow
// inside this request, and the applet answers with the engine's verdict.
int RunFactorCheck(const std::vector<std::string>& args, size_t start) {
  CommonOptions common;
  CallbackAnswerOptions callbackOptions;
  std::vector<std::string> positional;
  for (size_t i = start; i < args.size(); ++i) {
    if (TakeCommon(args, i, common)) continue;
    try {
      if (TakeCallbackOption(args, i, callbackOptions)) continue;
    } catch (const std::invalid_argument& e) {
      throw UsageError(e.what());
    }
    if (args[i].starts_with("--")) {
      throw UsageError("unknown factor-check argument '" + args[i] + "'");
    }
    positional.push_back(args[i]);
  }
  if (positional.size() != 2) throw UsageError("applet factor-check needs USER_SID and FACTOR_ID");
  AuthenticateFlows::AuthenticateFactorRequest check;
  check.user = positional[0];
  check.factorId = positional[1];
  Message request;
  request.moduleId = 0;
  request.messageType = message_type::kCheckHostFactorRequest;
  request.payload = check.Serialize();
  request.sessionId = common.session;
  Bytes reply;
  int sent = kExitFailure;
  {
    // A factor sensed on the host (the smart card's PIN and signature) calls this process back.
    callbackOptions.engineUid = common.engineUid;
    const InterruptScope interruption;
    const std::unique_ptr<CallbackService> callbacks =
        ServeOwnCallbacks(callbackOptions, common.socket);
    sent = SendAndPrint(request, common, false, &reply);
  }
  if (sent != kExitOk) return sent;
  const std::optional<bool> yes = CheckVerdict(reply, message_type::kCheckHostFactorResponse);
  if (!yes) return kExitFailure;
  const bool authenticated = *yes;
  std::printf("factor %s %s %s\n", check.factorId.c_str(),
              authenticated ? "authenticated" : "did not authenticate", check.user.c_str());
  return authenticated ? kExitOk : kExitFailure;
}

// The simulated applet's phone check: the applet asks the engine whether the phone is within
// reach and answers with the engine's answer.
int RunPhoneCheck(const std::vector<std::string>& args, size_t start) {
  CommonOptions common;
  std::vector<std::string> positional;
  for (size_t i = start; i < args.size(); ++i) {
    if (TakeCommon(args, i, common)) continue;
    if (args[i].starts_with("--")) {
      throw UsageError("unknown phone-check argument '" + args[i] + "'");
    }
    positional.push_back(args[i]);
  }
  if (positional.size() != 1) throw UsageError("applet phone-check needs DEVICE");
  mfab::CheckPhonePresenceRequest check;
  try {
    check.deviceId = DeviceIdArgument(positional[0]);
  } catch (const std::invalid_argument& e) {
    throw UsageError(e.what());
  }
  Message request;
  request.moduleId = 0;
  request.messageType = message_type::kPhoneCheckRequest;
  request.payload = check.Serialize();
  request.sessionId = common.session;
  Bytes reply;
  const int sent = SendAndPrint(request, common, false, &reply);
  if (sent != kExitOk) return sent;
  const std::optional<bool> yes = CheckVerdict(reply, message_type::kPhoneCheckResponse);
  if (!yes) return kExitFailure;
  const bool present = *yes;
  std::printf("phone %s %s\n", ToHex(check.deviceId).c_str(), present ? "present" : "not present");
  return present ? kExitOk : kExitFailure;
}

int RunApplet(const std::vector<std::string>& args) {
  try {
    if (args.empty()) throw UsageError("applet needs send, policy, factor-check or phone-check");
    if (args[0] == "send") return RunSend(args, 1);
    if (args[0] == "factor-check") return RunFactorCheck(args, 1);
    if (args[0] == "phone-check") return RunPhoneCheck(args, 1);
    if (args[0] == "policy" && args.size() >= 2 && args[1] == "set") return RunPolicySet(args, 2);
    if (args[0] == "policy" && args.size() >= 2 && args[1] == "get") return RunPolicyGet(args, 2);
    throw UsageError("unknown applet subcommand");
  } catch (const UsageError& e) {
    return Fail(kExitUsage, e.what());
  } catch (const rpc::TransportError& e) {
    return Fail(kExitFailure, std::string("cannot reach the engine: ") + e.what());
  }
}

// Set by SIGINT; the waiting thread cancels the call when it sees it.
std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void OnInterrupt(int) { interrupted = true; }

void PrintStatus(const Bytes& status) {
  if (status.empty()) {
    std::printf("status: (none: no authentication is running)\n");
    return;
  }
  AuthenticationStatusData data;
  data.Deserialize(status);
  const CatalogueEntry* entry = FindMessageClass("AuthenticationStatusData");
  if (entry == nullptr) {
    std::printf("status: %s\n", ToHex(status).c_str());
    return;
  }
  std::printf("status:\n");
  for (const record::FieldValue& field : entry->describe(data)) {
    std::printf("  %-18s = %s\n", field.name.c_str(), field.text.c_str());
  }
}

int RunAuth(const std::vector<std::string>& args) {
  try {
    if (args.empty() || args[0] != "wait") throw UsageError("auth needs wait");
    CommonOptions common;
    std::optional<double> timeout;
    for (size_t i = 1; i < args.size(); ++i) {
      std::string value;
      if (TakeCommon(args, i, common)) continue;
      if (TakeOption(args, i, "--timeout", value)) {
        try {
          timeout = std::stod(value);
        } catch (const std::logic_error&) {
          throw UsageError("--timeout needs seconds, not '" + value + "'");
        }
        continue;
      }
      throw UsageError("unknown auth wait argument '" + args[i] + "'");
    }
    const std::unique_ptr<rpc::Client> client = MakeClient(common);
    rpc::CancelToken cancel;
    std::atomic<bool> done{false};
    std::atomic<bool> timedOut{false};
    interrupted = false;
    std::signal(SIGINT, OnInterrupt);
    const auto deadline =
        std::chrono::steady_clock::now() +
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(timeout.value_or(0)));
    // Watches for Ctrl-C and the time limit; the call itself cannot be interrupted otherwise.
    std::thread watcher([&] {
      while (!done) {
        if (interrupted || (timeout && std::chrono::steady_clock::now() >= deadline)) {
          timedOut = !interrupted;
          cancel.Cancel();
          return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    });
    Bytes out(static_cast<size_t>(common.capacity));
    int32_t outSize = common.capacity;
    int32_t dataState = 0;
    int32_t result = -1;
    try {
      result = client->NotifyAuthenticateStatusAsyncRpc(&outSize, out.data(), dataState, &cancel);
    } catch (...) {
      done = true;
      watcher.join();
      std::signal(SIGINT, SIG_DFL);
      throw;
    }
    done = true;
    watcher.join();
    std::signal(SIGINT, SIG_DFL);
    std::printf("result=%d dataState=%d\n", result, dataState);
    switch (result) {
      case rpc::kNotifyStatusDelivered:
        out.resize(static_cast<size_t>(outSize));
        PrintStatus(out);
        return kExitOk;
      case rpc::kNotifyAlreadyWithinCall:
        std::printf("another client is already waiting for the status\n");
        return kExitFailure;
      case rpc::kNotifyCancelled:
        std::printf("%s\n", timedOut      ? "no status change within the time limit"
                            : interrupted ? "cancelled"
                                          : "the engine ended the call");
        return kExitFailure;
      case rpc::kNotifyBufferTooSmall:
        std::printf("the status did not fit %d bytes (--capacity)\n", common.capacity);
        return kExitFailure;
      default: std::printf("the engine is stopping\n"); return kExitFailure;
    }
  } catch (const UsageError& e) {
    return Fail(kExitUsage, e.what());
  } catch (const rpc::TransportError& e) {
    return Fail(kExitFailure, std::string("cannot reach the engine: ") + e.what());
  }
}

int RunSession(const std::vector<std::string>& args) {
  try {
    if (args.empty()) throw UsageError("session needs new or release");
    CommonOptions common;
    std::optional<uint32_t> id;
    for (size_t i = 1; i < args.size(); ++i) {
      if (TakeCommon(args, i, common)) continue;
      if (args[0] == "release" && !id) {
        id = ParseNumber("session id", args[i]);
        continue;
      }
      throw UsageError("unknown session argument '" + args[i] + "'");
    }
    const std::unique_ptr<rpc::Client> client = MakeClient(common);
    if (args[0] == "new") {
      std::printf("%u\n", static_cast<uint32_t>(client->GetSessionIdRpc()));
      return kExitOk;
    }
    if (args[0] == "release") {
      if (!id) throw UsageError("session release needs the session id");
      client->ReleaseSessionIdRpc(static_cast<int32_t>(*id));
      return kExitOk;
    }
    throw UsageError("unknown session subcommand '" + args[0] + "'");
  } catch (const UsageError& e) {
    return Fail(kExitUsage, e.what());
  } catch (const rpc::TransportError& e) {
    return Fail(kExitFailure, std::string("cannot reach the engine: ") + e.what());
  }
}

constexpr const char* kCommonHelp =
    "Common options: --socket PATH (the engine's endpoint; default IVoxWithMfa in\n"
    "$KEYSTONE_RUNTIME_DIR or /run/ostra-keystone), --engine-uid UID (trust an engine running as\n"
    "UID; root and your own user always are), --session N (the client session the request belongs to; default 0xffffffff),\n"
    "--capacity N (the output buffer offered, default 32768).\n";

const std::string kAppletUsage = std::string(
    "usage: keystonectl applet send --type N [--module N] [--category N] [--payload HEX]\n"
    "                               [--response] [--raw] [common options]\n"
    "       keystonectl applet policy set (--factor ID:TYPE[:NAME]... [--param ID:NAME=VALUE]...\n"
    "                                      [--action ID=F1+F2,F3]... [--setting NAME:TYPE=TEXT]...\n"
    "                                      | --file HEXFILE) [common options]\n"
    "       keystonectl applet policy get [common options]\n"
    "       keystonectl applet factor-check USER_SID FACTOR_ID [--pin-from-env VAR]\n"
    "                                       [--assume-yes] [common options]\n"
    "       keystonectl applet phone-check DEVICE [common options]\n"
    "\n"
    "  send        builds a Message, sends it with SendMessageToAppletRpc and decodes the reply\n"
    "              (--raw prints the reply in hex only)\n"
    "  policy set  sets the applet's policy (0xABBA000D; the engine requires root): factors by\n"
    "              id, type and display name, actions by id with their factor sets (',' between\n"
    "              sets, '+' between the factors of a set), factor parameters, system settings\n"
    "              (the value is the text's bytes), or a SetPolicyRequest payload in hex\n"
    "  policy get  reads the policy back (GetPolicyDataRequest 0xABBA0065)\n"
    "  phone-check  the simulated applet's phone check (0xABBA00F4): the applet asks the engine\n"
    "              whether the phone is within reach (0xABBA0069) and prints present or not\n"
    "              present. DEVICE is a classic phone's address (AA:BB:CC:DD:EE:FF) or its\n"
    "              8-byte id in hex, as keystonectl presence takes it. Exit 0 only when present\n"
    "  factor-check  the simulated applet's host-factor check (0xABBA00F2): the applet asks the\n"
    "              engine to authenticate the user with the factor (0xABBA007B) and answers with\n"
    "              the engine's verdict; the engine's log shows the flow's steps. Exit 0 only\n"
    "              when the factor authenticated the user. Without root, USER_SID must be yours.\n"
    "              While it runs it answers the engine's callbacks at its own process id (a\n"
    "              smart card's PIN on the terminal, the signature's confirmation):\n"
    "\n") + kCallbackOptionsHelp + "\n" + kCommonHelp +
    "The applet is held by the session of a request until it is released (keystonectl session\n"
    "release N) or idle for 60 s; another session meanwhile gets status 3.\n"
    "Prints status=N and the decoded reply. Exit 0 when the applet accepted the request, 1 for\n"
    "any other call status, an applet error reply or a transport failure, 2 for a bad command "
    "line.";

const std::string kAuthUsage = std::string(
    "usage: keystonectl auth wait [--timeout SECONDS] [common options]\n"
    "\n"
    "Waits for the next change of the authentication status (NotifyAuthenticateStatusAsyncRpc)\n"
    "and prints it. Ctrl-C or the time limit cancels the call. Only one client may wait at a\n"
    "time. Exit 0 when a status arrived, 1 otherwise.\n\n") + kCommonHelp;

const std::string kSessionUsage = std::string(
    "usage: keystonectl session new [common options]\n"
    "       keystonectl session release ID [common options]\n"
    "\n"
    "  new      prints a fresh client session id (GetSessionIdRpc)\n"
    "  release  frees the applet if session ID holds it (ReleaseSessionIdRpc; 4294967295\n"
    "           frees it whoever holds it)\n");

const RegisterCommand kRegisterApplet({"applet", "send applet messages, set and read the policy",
                                       kAppletUsage.c_str(), RunApplet});
const RegisterCommand kRegisterAuth({"auth", "wait for the authentication status",
                                     kAuthUsage.c_str(), RunAuth});
const RegisterCommand kRegisterSession({"session", "get and release client session ids",
                                        kSessionUsage.c_str(), RunSession});

}  // namespace
}  // namespace keystonectl
