// What hostile local users can make a running keystone-engine hold: 20 users (uids 60000 and
// up) with 100 connections each, 2000 in all, that (a) stay idle, (b) each send the header of a
// 4 MiB request and 100 bytes of it, or (c) each ask for a 2 MiB reply (an operation that answers
// with the whole buffer) and never read it. Reported per attack: the engine's resident memory and
// its peak, its descriptors and threads, how many of the connections (or, for the unread replies, calls) the server did not refuse, and a
// root client's round trip while the attack holds. Needs root (to act as the other users).

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/engine_process.h"
#include "platform/unix_socket.h"
#include "rpc/marshal.h"
#include "rpc/protocol.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kUsers = 20;
constexpr int kConnectionsPerUser = 100;
constexpr uint32_t kFirstUid = 60000;

enum Attack : int64_t { kIdle = 0, kPartialFrames = 1, kUnreadReplies = 2 };

bench::EngineProcess& TheEngine() {
  static bench::EngineProcess engine("ks-hostile-bench");
  return engine;
}

// A field of /proc/<pid>/status in kB (or a count), 0 when missing.
uint64_t StatusField(pid_t pid, const std::string& name) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(name + ":", 0) == 0) return std::stoull(line.substr(name.size() + 1));
  }
  return 0;
}

uint64_t Descriptors(pid_t pid) {
  const auto fds = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd");
  return static_cast<uint64_t>(std::distance(fds, std::filesystem::directory_iterator{}));
}

std::vector<uint8_t> AttackFrame(Attack attack) {
  if (attack == kPartialFrames) {
    std::vector<uint8_t> frame(rpc::kFrameHeaderSize + 100, 0x5A);
    rpc::FinishFrame(frame, rpc::FrameKind::kRequest, 5, 1);
    const uint32_t announced = (4u << 20) - 64;
    for (int i = 0; i < 4; ++i) frame[16 + i] = static_cast<uint8_t>(announced >> (8 * i));
    return frame;
  }
  // SendMessageToBtDeviceRpc: no Bluetooth manager, so the output size stays the capacity and
  // the reply carries the whole zero-filled buffer.
  const uint8_t id[8] = {1, 1, 1, 1, 1, 1, 1, 1};
  int32_t capacity = 2 << 20;
  uint8_t unused = 0;
  return rpc::EncodeRequestFrame<7>(1, 8, id, 0, nullptr, 0, &capacity, &unused);
}

// One attacking user in a process of its own: opens its connections, says on the pipe how many
// the server admitted, then holds them until killed.
[[noreturn]] void RunAttacker(uint32_t uid, const std::string& socket, Attack attack, int report) {
  if (::setgid(uid) != 0 || ::setuid(uid) != 0) ::_exit(2);
  std::vector<platform::UnixStream> held;
  const std::vector<uint8_t> frame = AttackFrame(attack);
  for (int i = 0; i < kConnectionsPerUser; ++i) {
    try {
      held.push_back(platform::UnixStream::Connect(socket));
      if (attack != kIdle) held.back().SendAll(frame, platform::DeadlineAfter(std::chrono::seconds(2)));
    } catch (const std::system_error&) {
    }
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  // A refused connection holds a fault 1723 from the server; an admitted one holds nothing yet,
  // or the start of its reply.
  int admitted = 0;
  for (platform::UnixStream& stream : held) {
    uint8_t header[rpc::kFrameHeaderSize];
    const std::optional<size_t> got = stream.TryReceive(header);
    const bool refused = got && *got == sizeof(header) &&
                         rpc::DecodeHeader(header).status == rpc::kStatusServerTooBusy;
    if (!refused && !(got && *got == 0)) ++admitted;
  }
  [[maybe_unused]] const ssize_t n = ::write(report, &admitted, sizeof(admitted));
  for (;;) ::pause();
}

void BM_HostileConnections(benchmark::State& state) {
  if (::geteuid() != 0) {
    state.SkipWithError("acting as other users needs root");
    return;
  }
  bench::EngineProcess& engine = TheEngine();
  std::filesystem::permissions(engine.root, std::filesystem::perms(0755));
  const auto attack = static_cast<Attack>(state.range(0));
  for (auto _ : state) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) throw std::runtime_error("pipe failed");
    std::vector<pid_t> attackers;
    for (int user = 0; user < kUsers; ++user) {
      const pid_t pid = ::fork();
      if (pid == 0) RunAttacker(kFirstUid + static_cast<uint32_t>(user), engine.socketPath, attack, pipeFds[1]);
      attackers.push_back(pid);
    }
    int admitted = 0;
    for (int user = 0; user < kUsers; ++user) {
      int count = 0;
      if (::read(pipeFds[0], &count, sizeof(count)) == sizeof(count)) admitted += count;
    }
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);

    // A root client while the attack holds.
    rpc::Client client(engine.socketPath);
    std::vector<double> micros;
    for (int i = 0; i < 200; ++i) {
      const auto t0 = Clock::now();
      client.GetSessionIdRpc();
      micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    std::sort(micros.begin(), micros.end());

    state.counters["not_refused"] = admitted;
    state.counters["engine_rss_kb"] = static_cast<double>(StatusField(engine.pid, "VmRSS"));
    state.counters["engine_peak_rss_kb"] = static_cast<double>(StatusField(engine.pid, "VmHWM"));
    state.counters["engine_fds"] = static_cast<double>(Descriptors(engine.pid));
    state.counters["engine_threads"] = static_cast<double>(StatusField(engine.pid, "Threads"));
    state.counters["root_rpc_p50_us"] = micros[micros.size() / 2];

    for (pid_t pid : attackers) ::kill(pid, SIGKILL);
    for (pid_t pid : attackers) ::waitpid(pid, nullptr, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    state.counters["engine_fds_after"] = static_cast<double>(Descriptors(engine.pid));
  }
}
BENCHMARK(BM_HostileConnections)
    ->Arg(kIdle)
    ->Arg(kPartialFrames)
    ->Arg(kUnreadReplies)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
