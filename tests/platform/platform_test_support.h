#pragma once

// What the platform tests share: temporary directories, child processes (programs, or this test
// binary doing a helper's work), registry error checks and a service run under a host.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/registry.h"
#include "platform/service_host.h"

extern char** environ;

namespace platform_test {

using namespace std::chrono_literals;

// How long a test waits for something that should happen at once.
inline constexpr auto kWaitLimit = 10s;
inline constexpr uid_t kNobody = 65534;

// A fresh directory (mode 0755, so a helper running as another user can reach into it), removed
// with its contents.
struct TempDir {
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "ks-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path = pattern;
    ::chmod(path.c_str(), 0755);
  }
  ~TempDir() { std::filesystem::remove_all(path); }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string path;
};

// A child process with all signals unblocked whose descriptor 3 is a pipe to the test. Killed
// and reaped at destruction if still running.
class ChildProcess {
 public:
  ChildProcess(std::vector<std::string> argv, std::vector<std::string> env) {
    for (char** e = environ; *e; ++e) env.emplace_back(*e);  // later entries lose to ours
    std::vector<char*> args = Pointers(argv);
    std::vector<char*> envp = Pointers(env);
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    pid = ::fork();
    if (pid == 0) {  // only async-signal-safe calls until exec
      sigset_t none;
      sigemptyset(&none);
      ::sigprocmask(SIG_SETMASK, &none, nullptr);
      ::dup2(fds[1], 3);  // the copy is not close-on-exec
      ::execve(args[0], args.data(), envp.data());
      ::_exit(127);
    }
    ::close(fds[1]);
    output = fds[0];
  }
  ~ChildProcess() {
    if (pid > 0) Stop(SIGKILL);
    ::close(output);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool Running() const { return pid > 0; }

  // Whether the child wrote to descriptor 3 within the limit.
  bool WaitForOutput(std::chrono::milliseconds limit = kWaitLimit) {
    pollfd entry{output, POLLIN, 0};
    return ::poll(&entry, 1, static_cast<int>(limit.count())) == 1 && (entry.revents & POLLIN);
  }

  // Waits for the child to end, killing it after kWaitLimit; its exit code or 128 + signal.
  int Wait() {
    if (pid <= 0) return -1;
    const auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
    int status = 0;
    pid_t ended;
    while ((ended = ::waitpid(pid, &status, WNOHANG)) == 0) {
      if (std::chrono::steady_clock::now() > deadline) ::kill(pid, SIGKILL);
      std::this_thread::sleep_for(2ms);
    }
    pid = -1;
    if (ended < 0) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  int Stop(int signal) {
    if (pid > 0) ::kill(pid, signal);  // never -1: that would signal every process
    return Wait();
  }

 private:
  static std::vector<char*> Pointers(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (std::string& s : strings) pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return pointers;
  }

  pid_t pid = -1;
  int output = -1;
};

// This test binary started again to do a helper's work: every HelperRole checks at static
// initialisation whether it is the one asked for, and if so runs it and exits with its result.
inline constexpr const char* kRoleVariable = "KEYSTONE_PLATFORM_TEST_ROLE";
inline constexpr const char* kArgumentVariable = "KEYSTONE_PLATFORM_TEST_ARGUMENT";

inline bool HelperRole(const char* role, int (*body)(const std::string& argument)) {
  const char* asked = std::getenv(kRoleVariable);
  if (!asked || std::string(asked) != role) return false;
  int code = 98;
  try {
    code = body(std::getenv(kArgumentVariable));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "helper %s: %s\n", role, e.what());
  }
  std::_Exit(code);
}

inline ChildProcess SpawnHelper(const std::string& role, const std::string& argument) {
  return ChildProcess({"/proc/self/exe"}, {std::string(kRoleVariable) + "=" + role,
                                           std::string(kArgumentVariable) + "=" + argument});
}

// For a helper: tells the test it got this far.
inline void TellTest() {
  if (::write(3, "!", 1) != 1) std::_Exit(90);
}

// For a helper started by root: goes on as the unprivileged user "nobody".
inline bool BecomeNobody() { return ::setgid(kNobody) == 0 && ::setuid(kNobody) == 0; }

// The code of the std::system_error (a RegistryError, say) the call throws; none when it throws
// nothing.
template <typename F>
std::error_code ErrorOf(F&& call) {
  try {
    call();
  } catch (const std::system_error& e) {
    return e.code();
  }
  return {};
}

#define EXPECT_REGISTRY_ERROR(statement, errc)                                            \
  EXPECT_EQ(::platform_test::ErrorOf([&] { statement; }), ::platform::RegistryErrc::errc) \
      << #statement

// The controls a test service's handler got, as "control/eventType".
class ControlLog {
 public:
  void Add(uint32_t control, uint32_t eventType) {
    std::lock_guard<std::mutex> lock(mutex);
    calls.push_back(std::to_string(control) + "/" + std::to_string(eventType));
    changed.notify_all();
  }
  // Waits up to kWaitLimit until count controls arrived.
  bool WaitFor(size_t count) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, kWaitLimit, [&] { return calls.size() >= count; });
  }
  std::vector<std::string> Get() {
    std::lock_guard<std::mutex> lock(mutex);
    return calls;
  }

 private:
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> calls;
};

// Runs a service under the host, the calling thread being the dispatcher (which keeps the stop
// signals blocked afterwards), and returns what StartServiceCtrlDispatcher returned. The service
// registers a handler that adds each control to log, reports startState, runs body on its own
// thread and ends when body returns.
inline int RunService(platform::ServiceHost& host, uint32_t startState, ControlLog& log,
                      const std::function<void()>& body,
                      const std::function<void()>& beforeRegistration = {}) {
  return host.StartServiceCtrlDispatcher("KeystoneTest", [&] {
    if (beforeRegistration) beforeRegistration();
    host.RegisterServiceCtrlHandler("KeystoneTest",
                                    [&](uint32_t control, uint32_t eventType, const void*) {
                                      log.Add(control, eventType);
                                      return platform::kErrorSuccess;
                                    });
    platform::ServiceStatus status;
    status.currentState = startState;
    status.controlsAccepted = startState == platform::kServiceStartPending ? 0 : 0x1C1;
    host.SetServiceStatus(status);
    try {
      body();
    } catch (const std::exception& e) {
      ADD_FAILURE() << "the service's body threw: " << e.what();
    }
    status.currentState = platform::kServiceStopped;
    host.SetServiceStatus(status);
  });
}

}  // namespace platform_test
