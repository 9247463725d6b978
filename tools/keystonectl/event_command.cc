// keystonectl event / log-level: requests to the engine's control socket.

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "platform/control_client.h"
#include "platform/paths.h"
#include "tools/keystonectl/command.h"

namespace keystonectl {
namespace {

constexpr const char* kEvents[] = {"sleep",  "resume", "standby-enter", "standby-exit", "lock",
                                   "unlock", "logoff", "stop",          "preshutdown"};

// Sends the line and prints the reply; 0 on "ok", 1 on an error reply or no connection.
int Send(const std::string& line) {
  const std::string directory = platform::ClientRuntimeDirectory();
  std::string reply;
  try {
    reply = platform::SendControlRequest(directory, line);
  } catch (const std::exception& e) {
    return Fail(kExitFailure, "cannot reach the engine's control socket in " + directory + ": " +
                                  e.what());
  }
  std::printf("%s\n", reply.c_str());
  return reply == "ok" || reply.rfind("ok ", 0) == 0 ? kExitOk : kExitFailure;
}

int RunEvent(const std::vector<std::string>& args) {
  if (args.size() != 1) return Fail(kExitUsage, "usage: keystonectl event <event>");
  for (const char* event : kEvents) {
    if (args[0] == event) return Send(args[0]);
  }
  return Fail(kExitUsage, "unknown event '" + args[0] + "'");
}

int RunLogLevel(const std::vector<std::string>& args) {
  if (args.size() != 2) return Fail(kExitUsage, "usage: keystonectl log-level <sink> <0-4>");
  return Send("log-level " + args[0] + " " + args[1]);
}

const RegisterCommand kEventCommand({
    "event",
    "inject a power or session event, or stop the engine",
    "usage: keystonectl event <sleep|resume|standby-enter|standby-exit|lock|unlock|logoff|stop|"
    "preshutdown>\n"
    "\n"
    "Hands the engine the event through its control socket ($KEYSTONE_RUNTIME_DIR/control; root\n"
    "or the engine's own user only) and prints its reply. standby-enter and standby-exit are\n"
    "accepted only when the engine registered for connected standby (see docs/service-host.md).\n"
    "Exit status 0 when the engine answered ok, 1 otherwise.",
    RunEvent,
});

const RegisterCommand kLogLevelCommand({
    "log-level",
    "change a log sink's threshold in the running engine",
    "usage: keystonectl log-level <Engine|BluetoothBridge|Proximity|ClassicBluetooth> <0-4>\n"
    "\n"
    "0 turns the sink off; 1 critical, 2 error, 3 warning, 4 information and above. Lasts until\n"
    "the engine restarts (the registry key ...\\Engine\\Logging sets the start value).\n"
    "Exit status 0 when the engine answered ok, 1 otherwise.",
    RunLogLevel,
});

}  // namespace
}  // namespace keystonectl
