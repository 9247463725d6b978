// keystonectl rpc: calls any operation of the engine's RPC interface by name, with its
// parameters by name, and prints the result and the output parameters.

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "rpc/client/client.h"
#include "rpc/marshal.h"
#include "rpc/operation_table.h"
#include "tools/keystonectl/command.h"
#include "tools/keystonectl/hex.h"

namespace keystonectl {
namespace {

using rpc::Direction;
using rpc::OperationSpec;
using rpc::ParamSpec;
using rpc::Wire;

// Capacity of an output buffer when the command line names none.
constexpr int32_t kDefaultCapacity = 4096;

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
struct BadArgument : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::string DescribeParam(const OperationSpec& op, const ParamSpec& p) {
  const char* direction = p.direction == Direction::kIn      ? "in"
                          : p.direction == Direction::kInOut ? "in/out"
                                                             : "out";
  std::string text = std::string(direction) + " " + std::string(p.type);
  if (p.wire == Wire::kBytes || p.wire == Wire::kBuffer) {
    text += "[" + std::string(op.params[static_cast<size_t>(p.sizedBy)].name) + "]";
  }
  return text + " " + std::string(p.name);
}

std::string BuildUsage() {
  std::string text =
      "usage: keystonectl rpc [--socket PATH] [--timeout SECONDS] [--cancel-after MS]\n"
      "                       OPERATION [NAME=VALUE ...]\n"
      "\n"
      "Calls one operation of the engine's RPC interface (by name or procedure number) and\n"
      "prints result=VALUE (when the operation has a result) and each in/out or out parameter as\n"
      "NAME=VALUE, one per line. Exit 0 when the call was made, whatever its result; 1 on a\n"
      "transport failure or a bad value; 2 on a bad command line.\n"
      "\n"
      "  --socket PATH       the engine's endpoint (default: IVoxWithMfa in $KEYSTONE_RUNTIME_DIR,\n"
      "                      or /run/ostra-keystone)\n"
      "  --engine-uid UID    trust an engine running as UID (root and your own user always are)\n"
      "  --timeout SECONDS   limit of the call\n"
      "  --cancel-after MS   cancel the asynchronous call after MS milliseconds\n"
      "\n"
      "Values: numbers in decimal or 0x-hex; bytes as hex ('-' reads hex from standard input) or\n"
      "null; strings as they are. A long that sizes a byte array defaults to the array's length;\n"
      "an omitted byte array is null. An output pair takes outSize=CAPACITY (default 4096) or\n"
      "outSize=null, and outBuffer=null; the buffer is otherwise sized by the capacity. Reference\n"
      "in/out values default to 0. Output bytes print in hex; a long result with its top bit set\n"
      "(a status code) prints in 0x-hex.\n"
      "\n"
      "operations:\n";
  for (const OperationSpec& op : rpc::kOperations) {
    char number[8];
    std::snprintf(number, sizeof(number), "%2u", static_cast<unsigned>(op.number));
    text += "  " + std::string(number) + " " + std::string(op.name) + "(";
    for (size_t i = 0; i < op.params.size(); ++i) {
      if (i != 0) text += ", ";
      text += DescribeParam(op, op.params[i]);
    }
    text += ")";
    if (op.result != rpc::ResultType::kNone) {
      text += " -> " + std::string(rpc::ResultTypeName(op.result));
    }
    if (op.async) text += "  [asynchronous]";
    text += "\n";
  }
  text.pop_back();
  return text;
}

const std::string& Usage() {
  static const std::string usage = BuildUsage();
  return usage;
}

// One parameter as given on the command line, and the storage the call writes into.
struct ArgValue {
  bool given = false;
  bool null = false;
  int64_t number = 0;
  std::vector<uint8_t> bytes;
  std::string text;
  int32_t long32 = 0;
  int16_t short16 = 0;
  std::vector<uint8_t> buffer;
};

int64_t ParseNumber(const ParamSpec& p, const std::string& value, int64_t min, int64_t max) {
  std::string_view digits = value;
  bool negative = false;
  if (!digits.empty() && (digits[0] == '-' || digits[0] == '+')) {
    negative = digits[0] == '-';
    digits.remove_prefix(1);
  }
  int base = 10;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    base = 16;
    digits.remove_prefix(2);
  }
  uint64_t magnitude = 0;
  const auto [end, error] =
      std::from_chars(digits.data(), digits.data() + digits.size(), magnitude, base);
  if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() ||
      magnitude > (uint64_t{1} << 33)) {
    throw BadArgument("bad number for " + std::string(p.name) + ": '" + value + "'");
  }
  const int64_t number = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
  if (number < min || number > max) {
    throw BadArgument(std::string(p.name) + " out of range: " + value);
  }
  return number;
}

void ParseValue(const ParamSpec& p, const std::string& value, ArgValue& arg) {
  arg.given = true;
  switch (p.wire) {
    case Wire::kShort:
      arg.number = ParseNumber(p, value, -32768, 65535);
      arg.short16 = static_cast<int16_t>(arg.number);
      return;
    case Wire::kLong:
      arg.number = ParseNumber(p, value, INT32_MIN, UINT32_MAX);
      arg.long32 = static_cast<int32_t>(arg.number);
      return;
    case Wire::kBytes:
      if (value == "null") {
        arg.null = true;
        return;
      }
      try {
        arg.bytes = HexArgument(value);
      } catch (const std::invalid_argument& e) {
        throw BadArgument("bad bytes for " + std::string(p.name) + ": " + e.what());
      }
      return;
    case Wire::kString:
      arg.text = value;
      return;
    case Wire::kSize:
      if (value == "null") {
        arg.null = true;
        return;
      }
      arg.long32 = static_cast<int32_t>(ParseNumber(p, value, INT32_MIN, INT32_MAX));
      return;
    case Wire::kBuffer:
      if (value != "null") {
        throw BadArgument(std::string(p.name) + " takes only null (its size is the capacity)");
      }
      arg.null = true;
      return;
  }
}

// Fills in what the command line left out and sizes the output buffers.
void ApplyDefaults(const OperationSpec& op, std::vector<ArgValue>& args) {
  for (size_t i = 0; i < op.params.size(); ++i) {
    const ParamSpec& p = op.params[i];
    ArgValue& arg = args[i];
    if (p.wire == Wire::kBytes && !arg.given) arg.null = true;
    if (p.wire == Wire::kSize && !arg.given) arg.long32 = kDefaultCapacity;
  }
  for (size_t i = 0; i < op.params.size(); ++i) {
    const ParamSpec& p = op.params[i];
    if (p.sizedBy < 0) continue;
    ArgValue& size = args[static_cast<size_t>(p.sizedBy)];
    if (p.wire == Wire::kBytes && !size.given) {
      size.number = args[i].null ? 0 : static_cast<int64_t>(args[i].bytes.size());
    }
    if (p.wire == Wire::kBuffer) {
      const int32_t capacity = size.null ? 0 : size.long32;
      const bool allocatable = capacity >= 0 && capacity <= rpc::kMaxOutputCapacity;
      args[i].buffer.assign(allocatable ? std::max<size_t>(static_cast<size_t>(capacity), 1) : 1, 0);
    }
  }
  for (size_t i = 0; i < op.params.size(); ++i) {
    const ParamSpec& p = op.params[i];
    const bool optional = p.wire == Wire::kBytes || p.wire == Wire::kSize ||
                          p.wire == Wire::kBuffer || p.direction != Direction::kIn;
    const bool sizesBytes =
        std::any_of(op.params.begin(), op.params.end(), [i](const ParamSpec& other) {
          return other.wire == Wire::kBytes && other.sizedBy == static_cast<int>(i);
        });
    if (!args[i].given && !optional && !sizesBytes) {
      throw UsageError(std::string(op.name) + " needs " + std::string(p.name) + "=VALUE");
    }
  }
}

template <typename T>
T Bind(ArgValue& arg);
template <>
int16_t Bind<int16_t>(ArgValue& arg) {
  return static_cast<int16_t>(arg.number);
}
template <>
int32_t Bind<int32_t>(ArgValue& arg) {
  return static_cast<int32_t>(arg.number);
}
template <>
int16_t& Bind<int16_t&>(ArgValue& arg) {
  return arg.short16;
}
template <>
int32_t& Bind<int32_t&>(ArgValue& arg) {
  return arg.long32;
}
template <>
const uint8_t* Bind<const uint8_t*>(ArgValue& arg) {
  static const uint8_t kEmpty = 0;
  if (arg.null) return nullptr;
  return arg.bytes.empty() ? &kEmpty : arg.bytes.data();
}
template <>
const char* Bind<const char*>(ArgValue& arg) {
  return arg.text.c_str();
}
template <>
int32_t* Bind<int32_t*>(ArgValue& arg) {
  return arg.null ? nullptr : &arg.long32;
}
template <>
uint8_t* Bind<uint8_t*>(ArgValue& arg) {
  return arg.null ? nullptr : arg.buffer.data();
}

// Makes the call of operation N with the arguments; the outputs land in args. Returns the
// result widened (none: empty).
template <size_t N, size_t... I>
std::optional<int64_t> Call(rpc::Client& client, std::vector<ArgValue>& args,
                            rpc::CancelToken* cancel, std::index_sequence<I...>) {
  rpc::ProxyCall<N> call(typename rpc::ProxyCall<N>::Arguments(Bind<rpc::ParamType<N, I>>(args[I])...));
  std::vector<uint8_t> request;
  try {
    call.EncodeRequest(request);
  } catch (const rpc::MarshalError& e) {
    throw BadArgument(e.what());
  }
  const std::vector<uint8_t> reply = client.CallRaw(static_cast<uint16_t>(N), request, cancel);
  try {
    using Result = typename rpc::ProxyCall<N>::Result;
    if constexpr (std::is_void_v<Result>) {
      call.DecodeReply(reply);
      return std::nullopt;
    } else if constexpr (sizeof(Result) == 2) {
      return static_cast<int64_t>(static_cast<uint16_t>(call.DecodeReply(reply)));
    } else {
      return static_cast<int64_t>(static_cast<int32_t>(call.DecodeReply(reply)));
    }
  } catch (const rpc::MarshalError& e) {
    throw rpc::TransportError(rpc::kStatusBadStubData, std::string("malformed reply: ") + e.what());
  }
}

using Caller = std::optional<int64_t> (*)(rpc::Client&, std::vector<ArgValue>&, rpc::CancelToken*);

template <size_t N>
std::optional<int64_t> CallOperation(rpc::Client& client, std::vector<ArgValue>& args,
                                     rpc::CancelToken* cancel) {
  return Call<N>(client, args, cancel, rpc::Indices<N>());
}

template <size_t... N>
constexpr std::array<Caller, rpc::kOperationCount> MakeCallers(std::index_sequence<N...>) {
  return {&CallOperation<N>...};
}

constexpr std::array<Caller, rpc::kOperationCount> kCallers =
    MakeCallers(std::make_index_sequence<rpc::kOperationCount>());

const OperationSpec* FindByNameOrNumber(const std::string& name) {
  for (const OperationSpec& op : rpc::kOperations) {
    if (op.name.size() != name.size()) continue;
    if (std::equal(name.begin(), name.end(), op.name.begin(), [](char a, char b) {
          return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
        })) {
      return &op;
    }
  }
  unsigned number = 0;
  const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), number);
  if (error == std::errc() && end == name.data() + name.size() && number < rpc::kOperationCount) {
    return &rpc::kOperations[number];
  }
  return nullptr;
}

void PrintResult(const OperationSpec& op, int64_t result) {
  if (op.result == rpc::ResultType::kLong && result < 0) {
    std::printf("result=0x%08X\n", static_cast<uint32_t>(result));
  } else {
    std::printf("result=%lld\n", static_cast<long long>(result));
  }
}

void PrintOutputs(const OperationSpec& op, const std::vector<ArgValue>& args) {
  for (size_t i = 0; i < op.params.size(); ++i) {
    const ParamSpec& p = op.params[i];
    const ArgValue& arg = args[i];
    if (p.direction == Direction::kIn) continue;
    const std::string name(p.name);
    switch (p.wire) {
      case Wire::kShort:
        std::printf("%s=%d\n", name.c_str(), arg.short16);
        break;
      case Wire::kLong:
        std::printf("%s=%d\n", name.c_str(), arg.long32);
        break;
      case Wire::kSize:
        if (arg.null) {
          std::printf("%s=null\n", name.c_str());
        } else {
          std::printf("%s=%d\n", name.c_str(), arg.long32);
        }
        break;
      case Wire::kBuffer: {
        if (arg.null) {
          std::printf("%s=null\n", name.c_str());
          break;
        }
        const ArgValue& size = args[static_cast<size_t>(p.sizedBy)];
        const size_t count =
            size.null || size.long32 < 0
                ? 0
                : std::min(static_cast<size_t>(size.long32), arg.buffer.size());
        std::printf("%s=%s\n", name.c_str(), ToHex(arg.buffer.data(), count).c_str());
        break;
      }
      case Wire::kBytes:
      case Wire::kString:
        break;
    }
  }
}

struct Invocation {
  std::string socketPath;
  std::optional<uint32_t> engineUid;
  std::optional<std::chrono::milliseconds> timeout;
  std::optional<std::chrono::milliseconds> cancelAfter;
  const OperationSpec* op = nullptr;
  std::vector<ArgValue> args;
};

std::chrono::milliseconds ParseDuration(const std::string& option, const std::string& value,
                                        int64_t unit) {
  int64_t amount = 0;
  const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), amount);
  if (error != std::errc() || end != value.data() + value.size() || amount < 0 ||
      amount > 100'000'000) {
    throw UsageError("bad value for " + option + ": '" + value + "'");
  }
  return std::chrono::milliseconds(amount * unit);
}

Invocation ParseCommandLine(const std::vector<std::string>& argv) {
  Invocation invocation;
  size_t i = 0;
  for (; i < argv.size() && argv[i].starts_with("--"); ++i) {
    std::string option = argv[i];
    std::string value;
    if (const size_t eq = option.find('='); eq != std::string::npos) {
      value = option.substr(eq + 1);
      option.resize(eq);
    } else {
      if (i + 1 >= argv.size()) throw UsageError(option + " needs a value");
      value = argv[++i];
    }
    if (option == "--socket") {
      invocation.socketPath = value;
    } else if (option == "--engine-uid") {
      uint32_t uid = 0;
      const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), uid);
      if (error != std::errc() || end != value.data() + value.size()) {
        throw UsageError("bad value for " + option + ": '" + value + "'");
      }
      invocation.engineUid = uid;
    } else if (option == "--timeout") {
      invocation.timeout = ParseDuration(option, value, 1000);
    } else if (option == "--cancel-after") {
      invocation.cancelAfter = ParseDuration(option, value, 1);
    } else {
      throw UsageError("unknown option " + option);
    }
  }
  if (i >= argv.size()) throw UsageError("no operation named");
  invocation.op = FindByNameOrNumber(argv[i]);
  if (invocation.op == nullptr) throw UsageError("unknown operation '" + argv[i] + "'");
  const OperationSpec& op = *invocation.op;
  invocation.args.resize(op.params.size());
  for (++i; i < argv.size(); ++i) {
    const size_t eq = argv[i].find('=');
    if (eq == std::string::npos) throw UsageError("expected NAME=VALUE, got '" + argv[i] + "'");
    const std::string name = argv[i].substr(0, eq);
    const auto found = std::find_if(op.params.begin(), op.params.end(),
                                    [&](const ParamSpec& p) { return p.name == name; });
    if (found == op.params.end()) {
      throw UsageError(std::string(op.name) + " has no parameter " + name);
    }
    const size_t index = static_cast<size_t>(found - op.params.begin());
    if (found->direction == Direction::kOut) throw UsageError(name + " is an output only");
    if (invocation.args[index].given) throw UsageError(name + " given twice");
    ParseValue(*found, argv[i].substr(eq + 1), invocation.args[index]);
  }
  ApplyDefaults(op, invocation.args);
  return invocation;
}

// Cancels the call after a delay unless it ended first. Owns its thread.
class DelayedCancel {
 public:
  DelayedCancel(rpc::CancelToken& token, std::chrono::milliseconds delay)
      : thread([this, &token, delay] {
          std::unique_lock<std::mutex> lock(mutex);
          if (!ended.wait_for(lock, delay, [this] { return done; })) token.Cancel();
        }) {}
  ~DelayedCancel() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      done = true;
    }
    ended.notify_all();
    thread.join();
  }
  DelayedCancel(const DelayedCancel&) = delete;
  DelayedCancel& operator=(const DelayedCancel&) = delete;

 private:
  std::mutex mutex;
  std::condition_variable ended;
  bool done = false;
  std::thread thread;
};

int Run(const std::vector<std::string>& argv) {
  Invocation invocation;
  try {
    invocation = ParseCommandLine(argv);
  } catch (const UsageError& e) {
    return Fail(kExitUsage, std::string(e.what()) + " (keystonectl rpc --help lists the operations)");
  } catch (const BadArgument& e) {
    return Fail(kExitFailure, e.what());
  }
  rpc::ClientOptions options;
  if (invocation.timeout) options.callTimeout = options.asyncCallTimeout = *invocation.timeout;
  options.engineUid = invocation.engineUid;
  rpc::Client client(invocation.socketPath.empty() ? rpc::ClientEndpointPath()
                                                   : invocation.socketPath,
                     options);
  const OperationSpec& op = *invocation.op;
  rpc::CancelToken token;
  std::optional<int64_t> result;
  try {
    std::optional<DelayedCancel> canceller;
    if (invocation.cancelAfter) canceller.emplace(token, *invocation.cancelAfter);
    result = kCallers[op.number](client, invocation.args, op.async ? &token : nullptr);
  } catch (const BadArgument& e) {
    return Fail(kExitFailure, e.what());
  } catch (const rpc::TransportError& e) {
    return Fail(kExitFailure, std::string(op.name) + " failed: " + e.what());
  }
  if (result) PrintResult(op, *result);
  PrintOutputs(op, invocation.args);
  return kExitOk;
}

const RegisterCommand kRegistered({"rpc", "call an operation of the engine's RPC interface",
                                   Usage().c_str(), Run});

}  // namespace
}  // namespace keystonectl
