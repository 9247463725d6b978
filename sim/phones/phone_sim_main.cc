// keystone-phone-sim [DIRECTORY]: runs the phone simulator until a SHUTDOWN request. The
// directory defaults to the runtime directory's "phone-sim"; its control socket is
// DIRECTORY/control.sock (docs/bluetooth.md).

#include <cstdio>
#include <exception>
#include <string>

#include "platform/paths.h"
#include "sim/phones/phone_simulator.h"

int main(int argc, char** argv) {
  if (argc > 2 || (argc == 2 && argv[1][0] == '-')) {
    std::fprintf(stderr, "usage: keystone-phone-sim [DIRECTORY]\n");
    return 2;
  }
  const std::string directory =
      argc == 2 ? argv[1] : platform::RuntimeDirectory() + "/phone-sim";
  try {
    phonesim::PhoneSimulator simulator(directory);
    std::printf("keystone-phone-sim: control socket %s\n", simulator.ControlPath().c_str());
    std::fflush(stdout);
    simulator.Run();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "keystone-phone-sim: %s\n", e.what());
    return 1;
  }
  return 0;
}
