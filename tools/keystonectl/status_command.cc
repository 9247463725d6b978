// keystonectl status: the engine's health view from its control socket.

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "platform/control_client.h"
#include "platform/paths.h"
#include "tools/keystonectl/command.h"
#include "tools/keystonectl/status_view.h"

namespace keystonectl {
namespace {

int RunStatus(const std::vector<std::string>& args) {
  const bool json = args.size() == 1 && args[0] == "--json";
  if (!args.empty() && !json) return Fail(kExitUsage, "usage: keystonectl status [--json]");
  const std::string directory = platform::ClientRuntimeDirectory();
  std::string reply;
  try {
    reply = platform::SendControlRequest(directory, "status");
  } catch (const std::exception& e) {
    return Fail(kExitFailure, "cannot reach the engine's control socket in " + directory + ": " +
                                  e.what());
  }
  if (reply.rfind("ok ", 0) != 0) return Fail(kExitFailure, "the engine answered: " + reply);
  const std::string object = reply.substr(3);
  if (json) {
    std::printf("%s\n", object.c_str());
    return kExitOk;
  }
  try {
    std::fputs(StatusText(ParseStatusObject(object)).c_str(), stdout);
  } catch (const StatusFormatError& e) {
    return Fail(kExitFailure, e.what());
  }
  return kExitOk;
}

const RegisterCommand kStatusCommand({
    "status",
    "show the running engine's health",
    "usage: keystonectl status [--json]\n"
    "\n"
    "Asks the engine's control socket ($KEYSTONE_RUNTIME_DIR/control; root or the engine's own\n"
    "user only) for its health: version, uptime, power state and last power event, the applet's\n"
    "owner session, flow type, queue depth, exchange latency and errors, the KILN library and\n"
    "firmware, client connections and calls against their limits, and which components are\n"
    "present. Plain text, one line per value; --json prints the engine's JSON object as is.\n"
    "The keys are listed in docs/health-view.md. Exit status 0 when the engine answered.",
    RunStatus,
});

}  // namespace
}  // namespace keystonectl
