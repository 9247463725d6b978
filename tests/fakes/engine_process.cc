#include "tests/fakes/engine_process.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "common/config_keys.h"
#include "platform/registry.h"

namespace keystone::testing {

EngineProcess::EngineProcess(std::string enginePath, std::string keystonectlPath,
                             std::chrono::milliseconds waitLimit)
    : engine(std::move(enginePath)), keystonectl(std::move(keystonectlPath)), limit(waitLimit) {
  const std::string notifyPath = dir.File("notify");
  notifyFd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, notifyPath.c_str(), sizeof(address.sun_path) - 1);
  if (::bind(notifyFd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    throw std::runtime_error("cannot bind " + notifyPath);
  }
  env = {{"KEYSTONE_STATE_DIR", StateDir()},
         {"KEYSTONE_RUNTIME_DIR", RuntimeDir()},
         {"KEYSTONE_LOG", "stderr"},
         {"KILN_SIM_STATE_DIR", KilnDir()},
         {"NOTIFY_SOCKET", notifyPath},
         // No logind in these runs, even on a machine that has one.
         {"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + dir.File("no-bus")}};
}

EngineProcess::~EngineProcess() {
  Kill();
  ::close(notifyFd);
}

void EngineProcess::SetEngineValue(const std::string& name, const platform::RegValue& value) const {
  std::filesystem::create_directories(StateDir());
  // As the engine makes it: it refuses a data root that others may write to, whatever the umask.
  std::filesystem::permissions(StateDir(), std::filesystem::perms(0755));
  auto registry = platform::OpenRegistry(StateDir() + "/registry.db");
  platform::WriteRegistryValue(*registry, kEngineKey, name, value);
}

void EngineProcess::SetEngineDword(const std::string& name, uint32_t value) const {
  SetEngineValue(name, platform::RegValue::Dword(value));
}

void EngineProcess::WriteKilnFaults(const std::string& text) const {
  std::filesystem::create_directories(KilnDir());
  std::ofstream(KilnDir() + "/faults.tmp") << text;
  std::filesystem::rename(KilnDir() + "/faults.tmp", KilnDir() + "/faults");
}

::testing::AssertionResult EngineProcess::Start() {
  const size_t earlier = Notifications().size();
  pid = SpawnProgram(engine, {}, env, dir.File("engine.log"));
  const auto deadline = std::chrono::steady_clock::now() + limit;
  const auto ready = [&] {
    const std::vector<std::string>& notes = Notifications();
    return std::any_of(notes.begin() + static_cast<std::ptrdiff_t>(earlier), notes.end(),
                       [](const std::string& note) { return note.find("READY=1") != note.npos; });
  };
  while (!ready()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd entry{notifyFd, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&entry, 1, static_cast<int>(left.count())) <= 0) {
      return ::testing::AssertionFailure() << "keystone-engine did not report READY=1; its log:\n"
                                           << Log();
    }
  }
  return ::testing::AssertionSuccess();
}

const std::vector<std::string>& EngineProcess::Notifications() {
  char buffer[512];
  for (ssize_t n; (n = ::recv(notifyFd, buffer, sizeof(buffer), MSG_DONTWAIT)) > 0;) {
    notifications.emplace_back(buffer, static_cast<size_t>(n));
  }
  return notifications;
}

bool EngineProcess::WaitForLog(const std::string& fragment) const {
  // The log is a file another process appends to; it is read again until the deadline.
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (Log().find(fragment) == std::string::npos) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

ProgramResult EngineProcess::Ctl(const std::vector<std::string>& args,
                                 std::optional<uint32_t> uid) const {
  return RunProgram(keystonectl, args, {.env = env, .uid = uid, .limit = limit});
}

void EngineProcess::Kill() {
  if (pid <= 0) return;  // never kill(-1, ...)
  ::kill(pid, SIGKILL);
  WaitForExit(pid, limit);
  pid = -1;
}

int EngineProcess::Stop(StopBy how) {
  if (pid <= 0) return -1;  // never kill(-1, ...)
  if (how == StopBy::kSigterm) {
    ::kill(pid, SIGTERM);
  } else {
    Ctl({"event", "stop"});
  }
  const int code = WaitForExit(pid, limit);
  pid = -1;
  return code;
}

}  // namespace keystone::testing
