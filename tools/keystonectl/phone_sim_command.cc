// keystonectl bt sim: the simulated phones (docs/bluetooth.md). `start` runs the simulator in
// this process until `stop`; every other command is one control request.

#include "tools/keystonectl/phone_sim_command.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "platform/paths.h"
#include "sim/phones/control_channel.h"
#include "sim/phones/control_commands.h"
#include "sim/phones/phone_simulator.h"
#include "tools/keystonectl/command.h"

namespace keystonectl {

const char kPhoneSimUsage[] =
    "usage: keystonectl bt sim start [--time-unit MS] [DIRECTORY]\n"
    "       keystonectl bt sim stop | list\n"
    "       keystonectl bt sim add ADDRESS [--name NAME] [--class HEX] [--unpaired]\n"
    "       keystonectl bt sim remove | pair | unpair ADDRESS\n"
    "       keystonectl bt sim rssi ADDRESS VALUE...\n"
    "       keystonectl bt sim range ADDRESS in|out\n"
    "       keystonectl bt sim mode ADDRESS echo|silent|drop\n"
    "       keystonectl bt sim radio on|off\n"
    "       keystonectl bt sim raw REQUEST...\n"
    "\n"
    "  start   runs the phone simulator here until `stop` (its control socket is\n"
    "          DIRECTORY/control.sock)\n"
    "  add     a phone (default: paired, class 5A020C, in range, answering every message)\n"
    "  rssi    the RSSI values the phone's link reports, one per read, the last repeating\n"
    "  range   takes the phone out of range (its links drop) or back\n"
    "  mode    echo answers each message, silent never answers, drop closes the link\n"
    "  raw     any control request, e.g. REPLYSIZE ADDRESS 1500, FAILCONNECT ADDRESS notready 3\n"
    "\n"
    "The directory is $KEYSTONE_PHONE_SIM_DIR, or the runtime directory's phone-sim. The engine\n"
    "uses the simulator when the registry value SimulatedPhones under Factors\\SecureBT names\n"
    "its control socket.";

namespace {

std::string SimulatorDirectory() {
  if (const char* dir = std::getenv("KEYSTONE_PHONE_SIM_DIR"); dir && *dir) return dir;
  return platform::RuntimeDirectory() + "/phone-sim";
}

}  // namespace

int RunPhoneSimCommand(const std::vector<std::string>& args) {
  if (args.empty()) return Fail(kExitUsage, kPhoneSimUsage);
  if (args[0] == "start") {
    phonesim::StartArguments start;
    try {
      start = phonesim::ParseStartArguments({args.begin() + 1, args.end()});
    } catch (const phonesim::UsageError& e) {
      return Fail(kExitUsage, std::string(e.what()) + "\n" + kPhoneSimUsage);
    }
    try {
      phonesim::SimulatorOptions options;
      options.timeUnit = start.timeUnit;
      phonesim::PhoneSimulator simulator(
          start.directory.empty() ? SimulatorDirectory() : start.directory, options);
      std::printf("phone simulator: control socket %s\n", simulator.ControlPath().c_str());
      std::fflush(stdout);
      simulator.Run();
      return kExitOk;
    } catch (const std::exception& e) {
      return Fail(kExitFailure, e.what());
    }
  }
  std::string line;
  try {
    line = phonesim::ControlLine(args);
  } catch (const phonesim::UsageError& e) {
    return Fail(kExitUsage, e.what());
  }
  try {
    const phonesim::Reply reply = phonesim::Call(SimulatorDirectory() + "/control.sock", line,
                                                 std::chrono::seconds(5));
    if (!reply.ok) return Fail(kExitFailure, reply.errorText);
    for (const std::string& text : reply.lines) std::printf("%s\n", text.c_str());
    return kExitOk;
  } catch (const std::exception& e) {
    return Fail(kExitFailure, std::string("phone simulator: ") + e.what());
  }
}

}  // namespace keystonectl
