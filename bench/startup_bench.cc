// Start-up time of keystone-engine: from fork to the READY=1 datagram on the test's own
// NOTIFY_SOCKET, in a fresh state and runtime directory per run, and the engine's resident memory
// at that moment (counter rss_kb). The engine is stopped with SIGTERM after each run (not timed).

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

constexpr int kReadyLimitMs = 20000;

// VmRSS of the process in kB; 0 when it cannot be read.
long ResidentKb(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return 0;
}

void BM_EngineStartToReady(benchmark::State& state) {
  std::string pattern = (std::filesystem::temp_directory_path() / "ks-bench-XXXXXX").string();
  const std::string root = ::mkdtemp(pattern.data());
  const std::string notifyPath = root + "/notify";
  const int notifyFd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, notifyPath.c_str(), sizeof(address.sun_path) - 1);
  if (::bind(notifyFd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    state.SkipWithError("cannot bind the notify socket");
    return;
  }
  int run = 0;
  for (auto _ : state) {
    const std::string dir = root + "/" + std::to_string(run++);
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::setenv("KEYSTONE_STATE_DIR", (dir + "/state").c_str(), 1);
      ::setenv("KEYSTONE_RUNTIME_DIR", (dir + "/run").c_str(), 1);
      ::setenv("KEYSTONE_LOG", "stderr", 1);
      ::setenv("NOTIFY_SOCKET", notifyPath.c_str(), 1);
      const int devNull = ::open("/dev/null", O_WRONLY);
      ::dup2(devNull, STDERR_FILENO);
      ::execl(KEYSTONE_ENGINE_BINARY, KEYSTONE_ENGINE_BINARY, static_cast<char*>(nullptr));
      ::_exit(127);
    }
    bool ready = false;
    while (!ready) {
      pollfd entry{notifyFd, POLLIN, 0};
      if (::poll(&entry, 1, kReadyLimitMs) <= 0) break;
      char buffer[256] = {};
      if (::recv(notifyFd, buffer, sizeof(buffer) - 1, 0) > 0 && std::strstr(buffer, "READY=1")) {
        ready = true;
      }
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    if (ready) state.counters["rss_kb"] = static_cast<double>(ResidentKb(pid));
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    // Drain the stop reports so the next run reads its own.
    char drain[256];
    while (::recv(notifyFd, drain, sizeof(drain), MSG_DONTWAIT) > 0) {
    }
    if (!ready) {
      state.SkipWithError("the engine did not report READY=1");
      break;
    }
    state.SetIterationTime(std::chrono::duration<double>(elapsed).count());
  }
  ::close(notifyFd);
  std::filesystem::remove_all(root);
}

BENCHMARK(BM_EngineStartToReady)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(20)
    ->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
