// Starts the real keystone-engine in a temporary state and runtime directory and drives it with
// keystonectl, signals and raw bytes on its control socket.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/config_keys.h"
#include "platform/power_capabilities.h"
#include "platform/registry.h"

extern char** environ;

namespace mfab {
namespace {

using namespace std::chrono_literals;

constexpr auto kWaitLimit = 20s;

#if defined(KEYSTONE_ENGINE_BINARY) && defined(KEYSTONECTL_BINARY)
constexpr const char* kEngine = KEYSTONE_ENGINE_BINARY;
constexpr const char* kCtl = KEYSTONECTL_BINARY;
#else
constexpr const char* kEngine = nullptr;
constexpr const char* kCtl = nullptr;
#endif

// The process environment with some variables replaced.
std::vector<std::string> Environment(const std::vector<std::pair<std::string, std::string>>& set) {
  std::vector<std::string> result;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    bool replaced = false;
    for (const auto& [name, value] : set) replaced = replaced || entry.rfind(name + "=", 0) == 0;
    if (!replaced) result.push_back(entry);
  }
  for (const auto& [name, value] : set) result.push_back(name + "=" + value);
  return result;
}

// Runs a program with stdout and stderr going to files; returns its pid.
pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
            const std::string& outPath, const std::string& errPath) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    ::dup2(out, STDOUT_FILENO);
    ::dup2(err, STDERR_FILENO);
    // The test runner may block signals in its threads; the engine starts clean.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(args[0], args.data(), envp.data());
    ::_exit(127);
  }
  return pid;
}

// The exit status, or -1 when the process did not end within the limit (it is then killed).
int WaitExit(pid_t pid, std::chrono::milliseconds limit = kWaitLimit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(5ms);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

size_t CountOf(const std::string& text, const std::string& fragment) {
  size_t count = 0;
  for (size_t at = text.find(fragment); at != std::string::npos; at = text.find(fragment, at + 1)) {
    ++count;
  }
  return count;
}

class EngineIntegrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!kEngine || !kCtl) GTEST_SKIP() << "keystone-engine or keystonectl was not built";
    std::string pattern = (std::filesystem::temp_directory_path() / "ks-engine-XXXXXX").string();
    root = ::mkdtemp(pattern.data());
    stateDir = root + "/state";
    runtimeDir = root + "/run";
    logPath = root + "/engine.log";
    notifyFd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string notifyPath = root + "/notify";
    std::strncpy(address.sun_path, notifyPath.c_str(), sizeof(address.sun_path) - 1);
    ASSERT_EQ(::bind(notifyFd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    env = Environment({{"KEYSTONE_STATE_DIR", stateDir},
                       {"KEYSTONE_RUNTIME_DIR", runtimeDir},
                       {"KEYSTONE_LOG", "stderr"},
                       {"NOTIFY_SOCKET", notifyPath},
                       // No logind in these runs, even on a machine that has one.
                       {"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + root + "/no-bus"}});
  }
  void TearDown() override {
    if (enginePid > 0) {
      ::kill(enginePid, SIGKILL);
      ::waitpid(enginePid, nullptr, 0);
    }
    if (notifyFd >= 0) ::close(notifyFd);
    if (!root.empty()) std::filesystem::remove_all(root);
  }

  void SetConnectedStandby(uint32_t value) {
    std::filesystem::create_directories(stateDir);
    auto registry = platform::OpenRegistry(stateDir + "/registry.db");
    platform::WriteRegistryValue(*registry, keystone::kEngineKey, platform::kConnectedStandbyValue,
                                 platform::RegValue::Dword(value));
  }

  void StartEngine() {
    enginePid = Spawn({kEngine}, env, root + "/engine.out", logPath);
    ASSERT_GT(enginePid, 0);
    ASSERT_EQ(NextNotification(), "STATUS=start-pending");
    ASSERT_EQ(NextNotification(), "READY=1\nSTATUS=running");
  }

  // The next sd_notify datagram, or "" after the limit.
  std::string NextNotification() {
    pollfd entry{notifyFd, POLLIN, 0};
    if (::poll(&entry, 1, static_cast<int>(std::chrono::milliseconds(kWaitLimit).count())) <= 0) {
      return "";
    }
    char buffer[512] = {};
    const ssize_t n = ::recv(notifyFd, buffer, sizeof(buffer) - 1, 0);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "";
  }

  struct CtlResult {
    int exitCode;
    std::string out;
    std::string err;
  };
  CtlResult Ctl(const std::vector<std::string>& args) {
    static int run = 0;
    const std::string out = root + "/ctl" + std::to_string(++run) + ".out";
    const std::string err = root + "/ctl" + std::to_string(run) + ".err";
    std::vector<std::string> argv = {kCtl};
    argv.insert(argv.end(), args.begin(), args.end());
    const int code = WaitExit(Spawn(argv, env, out, err));
    return {code, ReadFile(out), ReadFile(err)};
  }

  // Waits until the engine's log holds the fragment count times.
  bool WaitForLog(const std::string& fragment, size_t count = 1) {
    const auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
    while (CountOf(ReadFile(logPath), fragment) < count) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(5ms);
    }
    return true;
  }
  size_t LogCount(const std::string& fragment) { return CountOf(ReadFile(logPath), fragment); }

  // Sends raw bytes to the control socket and returns what comes back before it closes.
  std::string Raw(const std::string& bytes) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = runtimeDir + "/control";
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
      ::close(fd);
      return "connect failed";
    }
    timeval limit{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    ::shutdown(fd, SHUT_WR);
    std::string reply;
    char buffer[512];
    ssize_t n;
    while ((n = ::recv(fd, buffer, sizeof(buffer), 0)) > 0) reply.append(buffer, static_cast<size_t>(n));
    ::close(fd);
    return reply;
  }

  std::string root, stateDir, runtimeDir, logPath;
  std::vector<std::string> env;
  int notifyFd = -1;
  pid_t enginePid = -1;
};

TEST_F(EngineIntegrationTest, EventsReachThePowerStateManagerAndSigtermStopsCleanly) {
  SetConnectedStandby(0);
  StartEngine();
  EXPECT_TRUE(WaitForLog("the system is not configer to connected standby"));
  EXPECT_TRUE(WaitForLog("Initialize Ostra Keystone Engine Service Version "));

  auto result = Ctl({"event", "sleep"});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(result.out, "ok\n");
  EXPECT_TRUE(WaitForLog("FLOW: PBT_APMSUSPEND (System is suspending operation)"));
  EXPECT_TRUE(WaitForLog("PS-END: PowerState = 1"));
  EXPECT_EQ(Ctl({"event", "resume"}).exitCode, 0);
  EXPECT_TRUE(WaitForLog("PBT_APMRESUMEAUTOMATIC (Operation is resuming from sleep or hibernate)"));
  EXPECT_TRUE(WaitForLog("PS-END: PowerState = 0"));
  for (const char* event : {"lock", "unlock", "logoff"}) {
    EXPECT_EQ(Ctl({"event", event}).exitCode, 0) << event;
  }
  EXPECT_TRUE(WaitForLog("SERVICE_SESSION  WTS_SESSION_LOCK"));
  EXPECT_TRUE(WaitForLog("SERVICE_SESSION  WTS_SESSION_UNLOCK"));
  EXPECT_TRUE(WaitForLog("SERVICE_CONTROL_SESSIONCHANGE LOGOFF"));
  EXPECT_TRUE(WaitForLog("PS-END: Session logoff, PowerState = 0"));

  // Without connected standby the standby events are refused.
  result = Ctl({"event", "standby-enter"});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.out.rfind("error connected standby notifications are not registered", 0), 0u);

  // A raised threshold silences the refusal warning; lowering it brings it back.
  EXPECT_EQ(Ctl({"log-level", "Engine", "2"}).exitCode, 0);
  EXPECT_EQ(Raw("quiet-garbage\n"), "error unknown command 'quiet-garbage'\n");
  EXPECT_EQ(Ctl({"log-level", "Engine", "4"}).exitCode, 0);
  EXPECT_EQ(Raw("loud-garbage\n"), "error unknown command 'loud-garbage'\n");
  EXPECT_TRUE(WaitForLog("refused a request (unknown command 'loud-garbage')"));
  EXPECT_EQ(LogCount("quiet-garbage"), 0u);
  EXPECT_EQ(Ctl({"log-level", "Disk", "4"}).exitCode, 1);

  EXPECT_EQ(Raw(std::string(300, 'x')), "error request line too long (limit 256 bytes)\n");
  EXPECT_EQ(Raw(std::string("\x01\x02\xff\n", 4)), "error malformed request: not printable text\n");
  EXPECT_TRUE(WaitForLog("longer than 256 bytes"));
  // Still serving.
  EXPECT_EQ(Ctl({"event", "lock"}).exitCode, 0);
  EXPECT_TRUE(WaitForLog("SERVICE_SESSION  WTS_SESSION_LOCK", 2));

  ASSERT_EQ(::kill(enginePid, SIGTERM), 0);
  EXPECT_EQ(WaitExit(enginePid), 0);
  enginePid = -1;
  std::vector<std::string> notes;
  for (std::string note = NextNotification(); !note.empty() && notes.size() < 8;
       note = NextNotification()) {
    notes.push_back(note);
    if (note == "STATUS=stopped") break;
  }
  ASSERT_FALSE(notes.empty());
  EXPECT_EQ(notes.front(), "STOPPING=1\nSTATUS=stop-pending");
  EXPECT_EQ(notes.back(), "STATUS=stopped");
  const std::string log = ReadFile(logPath);
  EXPECT_NE(log.find("Received SIGTERM: stopping the service"), std::string::npos);
  EXPECT_NE(log.find("ReportSvcStatus (dwCurrentState = 3, dwWin32ExitCode = 0, dwWaitHint = 3000)"),
            std::string::npos);
  EXPECT_NE(log.find("ReportSvcStatus (dwCurrentState = 1, dwWin32ExitCode = 0, dwWaitHint = 0)"),
            std::string::npos);
  EXPECT_NE(log.find("SVC-END: "), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(runtimeDir + "/control"));
}

TEST_F(EngineIntegrationTest, ConnectedStandbyEventsAndStopThroughKeystonectl) {
  SetConnectedStandby(1);
  StartEngine();
  EXPECT_TRUE(WaitForLog("Register to PowerSettingNotification doto connected standby mode"));
  EXPECT_EQ(Ctl({"event", "standby-enter"}).exitCode, 0);
  EXPECT_TRUE(WaitForLog("PBT_POWERSETTINGCHANGE  - enter connected standby state"));
  EXPECT_TRUE(WaitForLog("PS-START: Enter connected standby"));
  EXPECT_EQ(Ctl({"event", "standby-exit"}).exitCode, 0);
  EXPECT_TRUE(WaitForLog("PBT_POWERSETTINGCHANGE  - exit connected standby state"));
  EXPECT_TRUE(WaitForLog("PS-START: Exit connected standby"));

  const auto result = Ctl({"event", "stop"});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.out, "ok\n");
  // The pending standby entry is cut short rather than delaying the stop.
  EXPECT_EQ(WaitExit(enginePid), 0);
  enginePid = -1;
  EXPECT_TRUE(WaitForLog("SVC-END"));
  EXPECT_EQ(LogCount("Not entering connected standby"), 0u);

  // Nobody is listening any more.
  const auto after = Ctl({"event", "sleep"});
  EXPECT_EQ(after.exitCode, 1);
  EXPECT_NE(after.err.find("cannot reach the engine's control socket"), std::string::npos);
}

TEST_F(EngineIntegrationTest, RefusesToStartWithoutAUsableStateDirectory) {
  std::ofstream(root + "/plain-file") << "x";
  env = Environment({{"KEYSTONE_STATE_DIR", root + "/plain-file/state"},
                     {"KEYSTONE_RUNTIME_DIR", runtimeDir},
                     {"KEYSTONE_LOG", "stderr"}});
  const pid_t pid = Spawn({kEngine}, env, root + "/engine.out", logPath);
  EXPECT_EQ(WaitExit(pid), 1);
  EXPECT_NE(ReadFile(logPath).find("keystone-engine: cannot use the state directory"),
            std::string::npos);
}

}  // namespace
}  // namespace mfab
