// SendMessageToAppletRpc through a running keystone-engine on the simulated applet, against the
// same request handed straight to the simulated library (KILN_SendAndRecv2), in one run: per-call
// latency (p50, p99) and calls per second with 1, 16 and 64 client threads. The request is
// GetPolicyDataRequest without a policy, so both paths produce the same error reply and no stored
// data travels.

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "applet/applet_ids.h"
#include "applet/kiln.h"
#include "common/config_keys.h"
#include "platform/registry.h"
#include "rpc/client/client.h"
#include "tlv/message.h"
#include "tlv/message_types.h"

extern char** environ;

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kNoSession = 0xFFFFFFFF;
constexpr int32_t kReplyCapacity = 32768;

Bytes Request() {
  mfab::Message message;
  message.moduleId = 5;
  message.messageType = mfab::message_type::kGetPolicyDataRequest;
  message.category = 1;
  message.sessionId = kNoSession;
  return message.Serialize();
}

double Percentile(std::vector<double>& values, double p) {
  if (values.empty()) return 0;
  const size_t at = std::min(values.size() - 1, static_cast<size_t>(p * values.size()));
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(at), values.end());
  return values[at];
}

void Report(benchmark::State& state, std::vector<double>& micros) {
  state.SetItemsProcessed(state.iterations());
  state.counters["p50_us"] =
      benchmark::Counter(Percentile(micros, 0.50), benchmark::Counter::kAvgThreads);
  state.counters["p99_us"] =
      benchmark::Counter(Percentile(micros, 0.99), benchmark::Counter::kAvgThreads);
}

std::string MakeTempDir(const char* prefix) {
  std::string pattern = (std::filesystem::temp_directory_path() / prefix).string() + "-XXXXXX";
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

// A keystone-engine of its own, in temporary directories, for the whole run.
class Engine {
 public:
  Engine() : root(MakeTempDir("ks-applet-rpc-bench")) {
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
    platform::WriteRegistryValue(*platform::OpenRegistry(root + "/state/registry.db"),
                                 keystone::kLoggingKey, "Engine", platform::RegValue::Dword(2));
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
    const auto deadline = Clock::now() + std::chrono::seconds(30);
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
      if (::waitpid(pid, &status, WNOHANG) != 0 || Clock::now() > deadline) {
        throw std::runtime_error("keystone-engine did not start an RPC server; see " + log);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  ~Engine() {
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    std::filesystem::remove_all(root);
  }

  std::string root;
  std::string socketPath;
  pid_t pid = -1;
};

// The simulated library in this process, on a state directory of its own, with one session.
class DirectSim {
 public:
  DirectSim() : root(MakeTempDir("ks-applet-direct-bench")) {
    ::setenv("KILN_SIM_STATE_DIR", root.c_str(), 1);
    if (KILN_Initialize(&handle, nullptr, 0) != 0 ||
        KILN_Install2(handle, keystone::kAuthenticationAppletId, "/applet.img") != 0) {
      throw std::runtime_error("KILN set-up failed");
    }
    Bytes init;
    mfab::AppendTlvInt(init, 0x0000, 3);
    const KILN_INIT_BUFFER buffer{init.data(), static_cast<uint32_t>(init.size())};
    if (KILN_CreateSession(handle, keystone::kAuthenticationAppletId, KILN_SESSION_FLAG_DEFAULT,
                           &buffer, &session) != 0) {
      throw std::runtime_error("KILN_CreateSession failed");
    }
  }
  ~DirectSim() {
    KILN_CloseSession(handle, &session);
    KILN_Deinit(handle);
    std::filesystem::remove_all(root);
  }

  void Exchange(const Bytes& request, Bytes& reply) {
    reply.resize(kReplyCapacity);
    KILN_COMM_BUFFER buffer{request.data(), static_cast<uint32_t>(request.size()), reply.data(),
                            static_cast<uint32_t>(reply.size())};
    uint32_t code = 0;
    if (KILN_SendAndRecv2(handle, session, 0, &buffer, &code) != 0) {
      throw std::runtime_error("KILN_SendAndRecv2 failed");
    }
    reply.resize(buffer.receiveLength);
  }

  std::string root;
  KILN_HANDLE handle = nullptr;
  KILN_SESSION_HANDLE session = nullptr;
};

Engine& TheEngine() {
  static Engine engine;
  return engine;
}

DirectSim& TheSim() {
  static DirectSim sim;
  return sim;
}

// Through the engine: each client thread with a client (and so a connection) of its own.
void BM_EngineSendMessageToApplet(benchmark::State& state) {
  rpc::Client client(TheEngine().socketPath);
  const Bytes request = Request();
  Bytes reply(kReplyCapacity);
  std::vector<double> micros;
  micros.reserve(1 << 16);
  for (auto _ : state) {
    int32_t size = kReplyCapacity;
    const auto t0 = Clock::now();
    const rpc::AppletCallStatus status = client.SendMessageToAppletRpc(
        0, static_cast<int32_t>(request.size()), request.data(), &size, reply.data());
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    if (status != rpc::AppletCallStatus::kSuccess) {
      state.SkipWithError("SendMessageToAppletRpc failed");
      break;
    }
  }
  Report(state, micros);
}
BENCHMARK(BM_EngineSendMessageToApplet)->Threads(1)->Threads(16)->Threads(64)->UseRealTime();

// Straight to the library: every thread on the one session, as the engine's queue thread is.
void BM_DirectKilnSendAndRecv2(benchmark::State& state) {
  DirectSim& sim = TheSim();
  const Bytes request = Request();
  Bytes reply;
  std::vector<double> micros;
  micros.reserve(1 << 16);
  for (auto _ : state) {
    const auto t0 = Clock::now();
    sim.Exchange(request, reply);
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  Report(state, micros);
}
BENCHMARK(BM_DirectKilnSendAndRecv2)->Threads(1)->Threads(16)->Threads(64)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  try {
    TheEngine();
    TheSim();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "applet_rpc_bench: %s\n", e.what());
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
