#pragma once

// A keystone-engine of its own for a benchmark, in temporary directories, for the whole run; it
// logs only errors (information records would measure the log, not the engine).

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/config_keys.h"
#include "platform/registry.h"
#include "rpc/client/client.h"

extern char** environ;

namespace bench {

inline std::string MakeTempDir(const char* prefix) {
  std::string pattern = (std::filesystem::temp_directory_path() / prefix).string() + "-XXXXXX";
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

class EngineProcess {
 public:
  // configure may write more registry values before the engine starts.
  explicit EngineProcess(const char* prefix,
                         const std::function<void(const std::string& root, platform::Registry&)>&
                             configure = {})
      : root(MakeTempDir(prefix)) {
    socketPath = root + "/run/IVoxWithMfa";
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
      const std::string entry = *e;
      if (entry.rfind("KEYSTONE_", 0) != 0 && entry.rfind("KILN_SIM_", 0) != 0 &&
          entry.rfind("NOTIFY_SOCKET=", 0) != 0) {
        env.push_back(entry);
      }
    }
    env.push_back("KEYSTONE_STATE_DIR=" + root + "/state");
    env.push_back("KEYSTONE_RUNTIME_DIR=" + root + "/run");
    env.push_back("KILN_SIM_STATE_DIR=" + root + "/kiln");
    env.push_back("KEYSTONE_LOG=stderr");
    // Only errors: the engine's information records would measure the log, not the call.
    std::filesystem::create_directories(root + "/state");
    {
      auto registry = platform::OpenRegistry(root + "/state/registry.db");
      platform::WriteRegistryValue(*registry, keystone::kLoggingKey, "Engine",
                                   platform::RegValue::Dword(2));
      if (configure) configure(root, *registry);
    }
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    const std::string log = root + "/engine.log";
    pid = ::fork();
    if (pid == 0) {
      std::FILE* out = std::freopen(log.c_str(), "w", stderr);
      (void)out;
      char* argv[] = {const_cast<char*>(KEYSTONE_ENGINE_BINARY), nullptr};
      ::execve(argv[0], argv, envp.data());
      ::_exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (;;) {
      if (std::filesystem::exists(socketPath)) {
        try {
          rpc::Client probe(socketPath);
          probe.GetSessionIdRpc();
          break;
        } catch (const rpc::TransportError&) {
        }
      }
      int status = 0;
      if (::waitpid(pid, &status, WNOHANG) != 0 || std::chrono::steady_clock::now() > deadline) {
        throw std::runtime_error("keystone-engine did not start an RPC server; see " + log);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  ~EngineProcess() {
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    std::filesystem::remove_all(root);
  }

  std::string root;
  std::string socketPath;
  pid_t pid = -1;
};

}  // namespace bench
