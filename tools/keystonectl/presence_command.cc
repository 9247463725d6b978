// keystonectl presence: the phone-presence operations of the RPC interface: whether the
// monitored phone is within reach, and the report that the user is present.

#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "rpc/client/client.h"
#include "rpc/engine_operations.h"
#include "tools/keystonectl/command.h"
#include "tools/keystonectl/hex.h"

namespace keystonectl {
namespace {

using Bytes = std::vector<uint8_t>;
using rpc::BtCallStatus;

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

int Run(const std::vector<std::string>& args) {
  std::vector<std::string> positional;
  std::string socket;
  rpc::ClientOptions clientOptions;
  try {
    for (size_t i = 0; i < args.size(); ++i) {
      const std::string& arg = args[i];
      if (arg == "--socket" || arg == "--engine-uid") {
        if (i + 1 >= args.size()) throw UsageError(arg + " needs a value");
        const std::string& value = args[++i];
        if (arg == "--socket") {
          socket = value;
        } else {
          clientOptions.engineUid = static_cast<uint32_t>(std::stoul(value));
        }
      } else if (arg.rfind("--", 0) == 0) {
        throw UsageError("unknown option " + arg);
      } else {
        positional.push_back(arg);
      }
    }
    const bool status = positional.size() == 2 && positional[0] == "status";
    const bool user = positional.size() == 3 && positional[0] == "user";
    if (!status && !user) throw UsageError("see keystonectl help presence");
    if (user && positional[1] == "off") {
      throw UsageError("the engine has no operation that withdraws the user's presence");
    }
    if (user && positional[1] != "on") throw UsageError("presence user takes on or off");
    const Bytes id = DeviceIdArgument(positional.back());
    rpc::Client client(socket.empty() ? rpc::ClientEndpointPath() : socket, clientOptions);
    const auto idSize = static_cast<int32_t>(id.size());
    if (user) {
      const int32_t result = client.SetUserPresenceRpc(idSize, id.data());
      std::printf("result: %d\n", result);
      return result == 0 ? kExitOk : kExitFailure;
    }
    int32_t present = 0;
    const BtCallStatus result = client.IsPhonePresentRpc(idSize, id.data(), present);
    std::printf("status: %u\n", static_cast<unsigned>(result));
    if (result != BtCallStatus::kSuccess) return kExitFailure;
    std::printf("present: %s\n", present != 0 ? "yes" : "no");
    return kExitOk;
  } catch (const UsageError& e) {
    return Fail(kExitUsage, e.what());
  } catch (const BadDeviceArgument& e) {
    return Fail(kExitUsage, e.what());
  } catch (const std::exception& e) {
    return Fail(kExitFailure, e.what());
  }
}

const RegisterCommand kRegisterPresence(
    {"presence", "Phone presence: is the monitored phone near, the user is present",
     "usage: keystonectl presence status DEVICE\n"
     "       keystonectl presence user on DEVICE\n"
     "\n"
     "DEVICE is a classic phone's Bluetooth address (AA:BB:CC:DD:EE:FF) or its 8-byte device id\n"
     "in hex. status asks whether the phone is within reach (waiting as the engine is\n"
     "configured, up to 45 seconds) and prints status: N (0 success, 1 invalid device id, 7 the\n"
     "operation failed) and present: yes|no; a phone other than the monitored one becomes the\n"
     "monitored one. user on reports that the user is present, so the engine tolerates more\n"
     "missed answers before it counts the phone as gone; it prints result: 0. There is no\n"
     "operation to withdraw it ('user off' is refused).\n"
     "Exit 0 on success, 1 on a failure status or transport failure, 2 on a bad command line.\n"
     "Options: --socket PATH (the engine's endpoint), --engine-uid UID.",
     Run});

}  // namespace
}  // namespace keystonectl
