#pragma once

// A keystone-engine process of a test, with keystonectl to drive it.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "tests/fakes/program_runner.h"

namespace keystone::testing {

// Owns one engine process in a temporary directory: state in <root>/state, runtime files in
// <root>/run, the simulated applet's state in <root>/kiln, its log (KEYSTONE_LOG=stderr) in
// <root>/engine.log and its sd_notify datagrams on a socket of its own. No logind is reachable.
// Not thread-safe, except that Log, WaitForLog and Ctl may be called from any thread.
// The destructor kills an engine that is still running.
class EngineProcess {
 public:
  enum class StopBy { kSigterm, kKeystonectl };

  EngineProcess(std::string enginePath, std::string keystonectlPath,
                std::chrono::milliseconds limit = std::chrono::seconds(30));
  ~EngineProcess();
  EngineProcess(const EngineProcess&) = delete;
  EngineProcess& operator=(const EngineProcess&) = delete;

  const std::string& Root() const { return dir.Path(); }
  std::string StateDir() const { return dir.File("state"); }
  std::string RuntimeDir() const { return dir.File("run"); }
  std::string KilnDir() const { return dir.File("kiln"); }
  // The environment the engine and keystonectl get; a test may add to it before Start.
  EnvChanges& Env() { return env; }

  // Writes a value under the engine's registry key (before Start, or while it runs).
  void SetEngineValue(const std::string& name, const platform::RegValue& value) const;
  void SetEngineDword(const std::string& name, uint32_t value) const;
  // Replaces the simulated applet's fault file in one step.
  void WriteKilnFaults(const std::string& text) const;

  // Starts the engine and waits, up to the limit, until it reports READY=1 (again, after an
  // earlier run); a failure says why and carries the log.
  ::testing::AssertionResult Start();
  // Every sd_notify datagram received so far, in order; does not wait.
  const std::vector<std::string>& Notifications();

  // The started engine's process id (-1 when none runs).
  pid_t Pid() const { return pid; }
  std::string Log() const { return ReadFileText(dir.File("engine.log")); }
  // Waits up to the limit until the log holds fragment.
  bool WaitForLog(const std::string& fragment) const;

  // Runs keystonectl with the engine's environment.
  ProgramResult Ctl(const std::vector<std::string>& args,
                    std::optional<uint32_t> uid = std::nullopt) const;

  // Stops the started engine and returns its exit code (-1 when it did not end within the
  // limit: it is then killed).
  int Stop(StopBy how = StopBy::kSigterm);
  // Kills the engine with SIGKILL, as a crash would end it, and reaps it; Start may follow.
  void Kill();

 private:
  TempDirectory dir;
  std::string engine;
  std::string keystonectl;
  std::chrono::milliseconds limit;
  EnvChanges env;
  int notifyFd = -1;
  std::vector<std::string> notifications;
  pid_t pid = -1;
};

}  // namespace keystone::testing
