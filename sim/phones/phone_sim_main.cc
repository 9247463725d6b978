// keystone-phone-sim [--time-unit MS] [DIRECTORY]: runs the phone simulator until a SHUTDOWN
// request. The directory defaults to the runtime directory's "phone-sim"; its control socket is
// DIRECTORY/control.sock (docs/bluetooth.md). --time-unit sets the radio's time unit in
// milliseconds (1 to 1280; 1280 unless given): tests and demonstrations shrink it so that an
// inquiry or a phone out of reach does not cost seconds.

#include <chrono>
#include <cstdio>
#include <exception>
#include <string>
#include <string_view>

#include "platform/paths.h"
#include "sim/phones/phone_protocol.h"
#include "sim/phones/phone_simulator.h"

namespace {

constexpr char kUsage[] = "usage: keystone-phone-sim [--time-unit MS] [DIRECTORY]\n";

}  // namespace

int main(int argc, char** argv) {
  phonesim::SimulatorOptions options;
  std::string directory;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--time-unit" && i + 1 < argc) {
      try {
        options.timeUnit = std::chrono::milliseconds(
            phonesim::ParseInteger(argv[++i], 1, phonesim::kRadioTimeUnit.count()));
      } catch (const phonesim::ProtocolError&) {
        std::fprintf(stderr, "keystone-phone-sim: --time-unit takes 1 to %lld milliseconds\n",
                     static_cast<long long>(phonesim::kRadioTimeUnit.count()));
        return 2;
      }
    } else if (arg.empty() || arg[0] == '-' || !directory.empty()) {
      std::fputs(kUsage, stderr);
      return 2;
    } else {
      directory = arg;
    }
  }
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
