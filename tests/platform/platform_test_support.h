#pragma once

// What the platform tests share: temporary directories, background programs, this test binary
// started again to do a helper's work, registry error checks and a service run under a host.

#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>

#include "platform/registry.h"
#include "platform/service_host.h"
#include "tests/fakes/locked.h"
#include "tests/fakes/log_capture.h"
#include "tests/fakes/program_runner.h"

namespace platform_test {

using namespace std::chrono_literals;

// How long a test waits for something that should happen at once.
inline constexpr auto kWaitLimit = 10s;

// A fresh directory, mode 0755 so that a helper running as another user reaches into it.
struct TempDir {
  TempDir() { ::chmod(path.c_str(), 0755); }
  keystone::testing::TempDirectory dir;
  const std::string path = dir.Path();
};

// A program running in the background, its output appended to logPath; killed at destruction.
class Background {
 public:
  Background(const std::string& path, const std::vector<std::string>& args,
             const keystone::testing::EnvChanges& env, const std::string& logPath)
      : pid(keystone::testing::SpawnProgram(path, args, env, logPath)) {}
  ~Background() { Stop(SIGKILL); }
  Background(const Background&) = delete;

  // Signals the program (unless signal is 0) and waits up to kWaitLimit for its exit code.
  int Stop(int signal = 0) {
    if (pid <= 0) return -1;  // never kill(-1): that would signal every process
    if (signal) ::kill(pid, signal);
    const int code = keystone::testing::WaitForExit(pid, kWaitLimit);
    pid = -1;
    return code;
  }

 private:
  pid_t pid;
};

using keystone::testing::HelperEnv;
using keystone::testing::HelperRole;
using keystone::testing::RunHelper;

// The code of the std::system_error the call throws; none when it throws nothing.
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
    keystone::testing::LockedAppend(mutex, calls,
                                    std::to_string(control) + "/" + std::to_string(eventType));
    changed.notify_all();
    if (onControl) onControl(control, eventType);
  }
  // The service's own work on a control, run on the handler's thread (set before the run).
  std::function<void(uint32_t control, uint32_t eventType)> onControl;
  // Whether count controls arrived within kWaitLimit.
  bool WaitFor(size_t count) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, kWaitLimit, [&] { return calls.size() >= count; });
  }
  std::vector<std::string> Get() { return keystone::testing::LockedCopy(mutex, calls); }

 private:
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> calls;
};

// Runs a test service with the calling thread as host's dispatcher (which keeps the stop
// signals blocked afterwards); returns what StartServiceCtrlDispatcher returned. The service's
// handler adds each control to log; it reports startState, runs body and stops when body
// returns.
inline int RunService(platform::ServiceHost& host, uint32_t startState, ControlLog& log,
                      const std::function<void()>& body,
                      const std::function<void()>& beforeRegistration = {}) {
  return host.StartServiceCtrlDispatcher("KeystoneTest", [&] {
    if (beforeRegistration) beforeRegistration();
    host.RegisterServiceCtrlHandler("KeystoneTest",
                                    [&](uint32_t control, uint32_t type, const void*) {
                                      log.Add(control, type);
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

// RunService under a new Linux service host whose runtime directory is a temporary one.
// Captures the log records.
class ServiceHostFixture : public ::testing::Test {
 protected:
  ServiceHostFixture() { options.runtimeDirectory = runtime.path + "/run"; }
  ~ServiceHostFixture() override { capture->Uninstall(); }

  int Run(uint32_t startState, const std::function<void()>& body,
          const std::function<void()>& beforeRegistration = {}) {
    host = platform::CreateServiceHost(options);
    return RunService(*host, startState, log, body, beforeRegistration);
  }

  std::shared_ptr<keystone::testing::LogCapture> capture = keystone::testing::LogCapture::Install();
  TempDir runtime;
  platform::ServiceHostOptions options;
  ControlLog log;
  std::unique_ptr<platform::ServiceHost> host;  // of the last run
};

}  // namespace platform_test
