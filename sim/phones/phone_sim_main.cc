// keystone-phone-sim [--time-unit MS] [DIRECTORY]: runs the phone simulator until a SHUTDOWN
// request. The directory defaults to the runtime directory's "phone-sim"; its control socket is
// DIRECTORY/control.sock (docs/bluetooth.md). --time-unit sets the radio's time unit in
// milliseconds (1 to 1280; 1280 unless given): tests and demonstrations shrink it so that an
// inquiry or a phone out of reach does not cost seconds.

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "platform/paths.h"
#include "sim/phones/control_commands.h"
#include "sim/phones/phone_simulator.h"

namespace {

constexpr char kUsage[] = "usage: keystone-phone-sim [--time-unit MS] [DIRECTORY]\n";

}  // namespace

int main(int argc, char** argv) {
  phonesim::StartArguments start;
  try {
    start = phonesim::ParseStartArguments(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const phonesim::UsageError& e) {
    std::fprintf(stderr, "keystone-phone-sim: %s\n%s", e.what(), kUsage);
    return 2;
  }
  phonesim::SimulatorOptions options;
  options.timeUnit = start.timeUnit;
  std::string directory = start.directory;
  if (directory.empty()) directory = platform::RuntimeDirectory() + "/phone-sim";
  try {
    phonesim::PhoneSimulator simulator(directory, options);
    std::printf("keystone-phone-sim: control socket %s\n", simulator.ControlPath().c_str());
    std::fflush(stdout);
    simulator.Run();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "keystone-phone-sim: %s\n", e.what());
    return 1;
  }
  return 0;
}
