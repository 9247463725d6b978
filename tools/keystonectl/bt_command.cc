// keystonectl bt: the Bluetooth operations of the RPC interface by what they do: scan (records
// decoded), proximity status, RSSI, calibration, connection and messages to a phone.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "bluetooth/ble_bridge_loader.h"
#include "platform/os_version.h"
#include "platform/registry.h"
#include "platform/shared_library.h"
#include "platform/signed_file_verifier.h"
#include "rpc/client/client.h"
#include "rpc/engine_operations.h"
#include "tools/keystonectl/command.h"
#include "tools/keystonectl/hex.h"
#include "tools/keystonectl/phone_sim_command.h"

namespace keystonectl {
namespace {

using Bytes = std::vector<uint8_t>;
using rpc::BtCallStatus;

// The scan record's layout (56 bytes): paired flag, address, NUL-padded name, device type.
constexpr size_t kRecordSize = 56;
constexpr size_t kAddressAt = 4;
constexpr size_t kNameAt = 10;
constexpr size_t kNameSize = 42;
constexpr size_t kTypeAt = 52;
// Room for a scan reply unless --capacity says otherwise: 256 records.
constexpr int32_t kDefaultScanCapacity = 256 * kRecordSize;
constexpr int32_t kDefaultReplyCapacity = 4096;

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

const char* StatusText(BtCallStatus status) {
  switch (status) {
    case BtCallStatus::kSuccess:
      return "success";
    case BtCallStatus::kInvalidDeviceId:
      return "invalid device id";
    case BtCallStatus::kBufferTooSmall:
      return "output buffer too small";
    case BtCallStatus::kNotResponsive:
      return "device not responsive";
    case BtCallStatus::kInternalError:
      return "internal error (or no output buffer)";
    case BtCallStatus::kUnsupportedFactor:
      return "Bluetooth factor not supported";
    case BtCallStatus::kGeneralFailure:
      return "the operation failed in the engine";
  }
  return "unknown status";
}

const char* ProximityText(int32_t status) {
  switch (status) {
    case 100:
      return "IN_RANGE";
    case 101:
      return "OUT_OF_RANGE";
    case 102:
      return "NEED_MORE_DATA";
    case 103:
      return "NEED_MORE_RSSI_MEASUREMENTS";
    case 104:
      return "CONFIRMED_IN_RANGE";
  }
  return "unknown";
}

uint32_t ReadUint32(const uint8_t* at) {
  return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 |
         static_cast<uint32_t>(at[2]) << 16 | static_cast<uint32_t>(at[3]) << 24;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// "AA:BB:CC:DD:EE:FF" (a classic phone), the same with "/ble" or "/classic", or the 8-byte id
// in hex. An id of another length is sent as it is: the engine refuses it.
Bytes ParseDevice(const std::string& text) {
  if (text.find(':') == std::string::npos) return HexArgument(text);
  std::string address = text;
  uint8_t type = 1;
  const size_t slash = text.find('/');
  if (slash != std::string::npos) {
    const std::string kind = text.substr(slash + 1);
    if (kind == "ble") {
      type = 2;
    } else if (kind != "classic") {
      throw UsageError("device kind must be ble or classic: " + kind);
    }
    address = text.substr(0, slash);
  }
  Bytes id;
  for (size_t i = 0; i < address.size(); i += 3) {
    const int high = i < address.size() ? HexValue(address[i]) : -1;
    const int low = i + 1 < address.size() ? HexValue(address[i + 1]) : -1;
    const bool separated = i + 2 >= address.size() || address[i + 2] == ':';
    if (high < 0 || low < 0 || !separated) throw UsageError("bad Bluetooth address: " + address);
    id.push_back(static_cast<uint8_t>(high << 4 | low));
  }
  if (id.size() != 6) throw UsageError("a Bluetooth address has six bytes: " + address);
  id.push_back(type);
  id.push_back(0);
  return id;
}

// Prints the records of a scan reply, one line each; false when the reply is not whole records.
bool PrintScanRecords(const Bytes& reply) {
  std::printf("%zu device(s)\n", reply.size() / kRecordSize);
  for (size_t at = 0; at + kRecordSize <= reply.size(); at += kRecordSize) {
    const uint8_t* record = reply.data() + at;
    const uint8_t* a = record + kAddressAt;
    const char* name = reinterpret_cast<const char*>(record + kNameAt);
    size_t nameLength = 0;
    while (nameLength < kNameSize && name[nameLength] != '\0') ++nameLength;
    const uint32_t type = ReadUint32(record + kTypeAt);
    std::printf("%02X:%02X:%02X:%02X:%02X:%02X  %-7s %-10s %.*s\n", a[0], a[1], a[2], a[3], a[4],
                a[5], type == 2 ? "ble" : "classic",
                ReadUint32(record) != 0 ? "paired" : "not-paired", static_cast<int>(nameLength),
                name);
  }
  return reply.size() % kRecordSize == 0;
}

struct Options {
  std::string socket;
  std::optional<uint32_t> engineUid;
  std::optional<int32_t> capacity;
  bool interactive = false;
  bool quick = false;
  bool mustExist = false;
  std::vector<std::string> positional;
};

int32_t ParseInt(const std::string& option, const std::string& text) {
  try {
    size_t used = 0;
    const long long value = std::stoll(text, &used, 0);
    if (used != text.size() || value < INT32_MIN || value > UINT32_MAX) throw std::out_of_range("");
    return static_cast<int32_t>(value);
  } catch (const std::exception&) {
    throw UsageError("bad number for " + option + ": " + text);
  }
}

Options ParseOptions(const std::vector<std::string>& args) {
  Options options;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto value = [&]() -> const std::string& {
      if (i + 1 >= args.size()) throw UsageError(arg + " needs a value");
      return args[++i];
    };
    if (arg == "--socket") {
      options.socket = value();
    } else if (arg == "--engine-uid") {
      options.engineUid = static_cast<uint32_t>(ParseInt(arg, value()));
    } else if (arg == "--capacity") {
      options.capacity = ParseInt(arg, value());
    } else if (arg == "--interactive") {
      options.interactive = true;
    } else if (arg == "--quick") {
      options.quick = true;
    } else if (arg == "--must-exist") {
      options.mustExist = true;
    } else if (arg.size() > 2 && arg.rfind("--", 0) == 0) {
      throw UsageError("unknown option " + arg);
    } else {
      options.positional.push_back(arg);
    }
  }
  return options;
}

const std::string& Positional(const Options& options, size_t index, const char* what) {
  if (index >= options.positional.size()) throw UsageError(std::string("missing ") + what);
  return options.positional[index];
}

// Prints the status line; the exit code for it.
int Report(BtCallStatus status) {
  std::printf("status: %u (%s)\n", static_cast<unsigned>(status), StatusText(status));
  return status == BtCallStatus::kSuccess ? kExitOk : kExitFailure;
}

int RunScan(rpc::Client& client, const Options& options) {
  int16_t type = 3;
  if (!options.positional.empty()) {
    const std::string& kind = options.positional[0];
    if (kind == "classic") {
      type = 1;
    } else if (kind == "ble") {
      type = 2;
    } else if (kind == "both") {
      type = 3;
    } else {
      type = static_cast<int16_t>(ParseInt("scan type", kind));
    }
  }
  Bytes reply(static_cast<size_t>(options.capacity.value_or(kDefaultScanCapacity)));
  int32_t size = static_cast<int32_t>(reply.size());
  const BtCallStatus status = client.ScanRpc(type, &size, reply.data());
  const int exit = Report(status);
  if (status != BtCallStatus::kSuccess) return exit;
  reply.resize(static_cast<size_t>(size));
  if (!PrintScanRecords(reply)) {
    std::printf("warning: %zu trailing bytes\n", reply.size() % kRecordSize);
    return kExitFailure;
  }
  return kExitOk;
}

int RunSend(rpc::Client& client, const Options& options, const Bytes& id) {
  const Bytes message = HexArgument(Positional(options, 1, "message (hex)"));
  Bytes reply(static_cast<size_t>(options.capacity.value_or(kDefaultReplyCapacity)));
  int32_t size = static_cast<int32_t>(reply.size());
  const BtCallStatus status = client.SendMessageToBtDeviceRpc(
      static_cast<int32_t>(id.size()), id.data(), static_cast<int32_t>(message.size()),
      message.data(), options.interactive ? 1 : 0, &size, reply.data());
  const int exit = Report(status);
  if (status == BtCallStatus::kSuccess) {
    std::printf("reply: %s\n", ToHex(reply.data(), static_cast<size_t>(size)).c_str());
  }
  return exit;
}

int RunOnDevice(rpc::Client& client, const std::string& verb, const Options& options) {
  const Bytes id = ParseDevice(Positional(options, 0, "device"));
  const auto idSize = static_cast<int32_t>(id.size());
  if (verb == "send") return RunSend(client, options, id);
  if (verb == "status") {
    int32_t state = 0;
    const BtCallStatus status =
        client.GetDeviceStatusRpc(idSize, id.data(), options.quick ? 0 : 1, state);
    const int exit = Report(status);
    if (status == BtCallStatus::kSuccess)
      std::printf("proximity: %d %s\n", state, ProximityText(state));
    return exit;
  }
  if (verb == "rssi") {
    int16_t rssi = 0;
    const BtCallStatus status =
        client.GetRSSIRpc(idSize, id.data(), options.mustExist ? 1 : 0, rssi);
    const int exit = Report(status);
    if (status == BtCallStatus::kSuccess) std::printf("rssi: %d dBm\n", rssi);
    return exit;
  }
  if (verb == "calibrate") return Report(client.CalibrateRSSIRpc(idSize, id.data()));
  if (verb == "connect")
    return Report(client.EstablishConnectionWithBtDeviceRpc(idSize, id.data()));
  if (verb == "decide") {
    const std::string& decision = Positional(options, 1, "decision (in or out)");
    if (decision != "in" && decision != "out") throw UsageError("decision must be in or out");
    client.UpdateProximityStateRpc(idSize, id.data(), decision == "in" ? 100 : 101);
    std::printf("sent\n");
    return kExitOk;
  }
  throw UsageError("unknown bt command " + verb);
}

int RunSupported(rpc::Client& client, const Options& options) {
  const int16_t type = static_cast<int16_t>(
      options.positional.empty() ? 1 : ParseInt("provider type", options.positional[0]));
  int32_t supported = 0;
  const BtCallStatus status = client.IsRSSISupportedRpc(type, supported);
  const int exit = Report(status);
  if (status == BtCallStatus::kSuccess)
    std::printf("rssi supported: %s\n", supported ? "yes" : "no");
  return exit;
}

// Where the engine lies: beside keystonectl in a build tree, in ../sbin once installed. The
// engine looks for its bridge beside itself.
std::string EngineDirectory() {
  const std::filesystem::path own = platform::ExecutableDirectory();
  const std::filesystem::path installed = own.parent_path() / "sbin";
  std::error_code error;
  if (!std::filesystem::exists(own / "keystone-engine", error) &&
      std::filesystem::exists(installed / "keystone-engine", error)) {
    return installed.native();
  }
  return own.native();
}

// The BLE bridge the engine would load, read from the registry and the file itself.
int RunBridge(const std::vector<std::string>& args) {
  std::string directory;
  if (args.size() == 3 && args[1] == "--dir") {
    directory = args[2];
  } else if (args.size() != 1) {
    return Fail(kExitUsage, "usage: keystonectl bt bridge [--dir DIRECTORY]");
  }
  try {
    const std::unique_ptr<platform::Registry> registry = platform::OpenSystemRegistry();
    const auto verifier = platform::CreateSignedFileVerifier();
    const auto osVersion = platform::CreateOsVersion(*registry);
    const mfab::BleBridgeState state = mfab::DescribeBleBridge(
        *registry, *verifier, *osVersion,
        mfab::BleBridgeDirectory(*registry, directory, EngineDirectory()));
    std::printf("bridge: %s\n", state.path.c_str());
    if (state.trusted) {
      std::printf("state: trusted (signer %s)\n", state.signer.c_str());
    } else {
      std::printf("state: refused (%s)\n", state.reason.c_str());
    }
    return state.trusted ? 0 : kExitFailure;
  } catch (const std::exception& e) {
    return Fail(kExitFailure, e.what());
  }
}

int Run(const std::vector<std::string>& args) {
  if (args.empty()) return Fail(kExitUsage, "bt needs a command (see keystonectl help bt)");
  const std::string& verb = args[0];
  if (verb == "bridge") return RunBridge(args);
  if (verb == "sim") {
    return RunPhoneSimCommand(std::vector<std::string>(args.begin() + 1, args.end()));
  }
  static const std::set<std::string> kVerbs = {"scan",      "supported", "status", "rssi",
                                               "calibrate", "connect",   "send",   "decide"};
  if (kVerbs.count(verb) == 0) return Fail(kExitUsage, "unknown bt command " + verb);
  try {
    const Options options = ParseOptions(args);
    rpc::ClientOptions clientOptions;
    clientOptions.engineUid = options.engineUid;
    rpc::Client client(options.socket.empty() ? rpc::ClientEndpointPath() : options.socket,
                       clientOptions);
    if (verb == "scan") return RunScan(client, options);
    if (verb == "supported") return RunSupported(client, options);
    return RunOnDevice(client, verb, options);
  } catch (const UsageError& e) {
    return Fail(kExitUsage, e.what());
  } catch (const rpc::TransportError& e) {
    return Fail(kExitFailure, e.what());
  } catch (const std::exception& e) {
    return Fail(kExitFailure, e.what());
  }
}

const RegisterCommand kRegisterBt(
    {"bt", "Bluetooth phones: scan, proximity, RSSI, connect, send",
     "usage: keystonectl bt scan [classic|ble|both|TYPE] [--capacity BYTES]\n"
     "       keystonectl bt status DEVICE [--quick]\n"
     "       keystonectl bt rssi DEVICE [--must-exist]\n"
     "       keystonectl bt calibrate DEVICE\n"
     "       keystonectl bt connect DEVICE\n"
     "       keystonectl bt send DEVICE HEX [--interactive] [--capacity BYTES]\n"
     "       keystonectl bt decide DEVICE in|out\n"
     "       keystonectl bt supported [PROVIDER-TYPE]\n"
     "       keystonectl bt bridge [--dir DIRECTORY]   (the BLE bridge and whether it verifies)\n"
     "       keystonectl bt sim ARGS...   (the simulated phones; without ARGS, their usage)\n"
     "\n"
     "DEVICE is a Bluetooth address (AA:BB:CC:DD:EE:FF, a classic phone; add /ble for a BLE\n"
     "one) or the 8-byte device id in hex. scan prints one line per device found (address,\n"
     "transport, paired, name); status prints the proximity status (--quick answers from the\n"
     "readings at hand); send prints the phone's reply in hex ('-' reads the message from\n"
     "standard input). Each prints status: N (the operation's result). Exit 0 on success, 1 on\n"
     "a failure status or transport failure, 2 on a bad command line.\n"
     "Common options: --socket PATH (the engine's endpoint), --engine-uid UID.",
     Run});

}  // namespace
}  // namespace keystonectl
