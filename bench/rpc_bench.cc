// The RPC layer's cost: a GetSessionIdRpc round trip beside a raw socket ping-pong of the same
// frame sizes (interleaved on one thread, bench/interleaved.h; goal: at most 2x), and call
// throughput with 1, 16 and 64 client threads beside raw ping-pong pairs, with the process's
// CPU time per call beside each.

#include <sys/resource.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "platform/unix_socket.h"
#include "rpc/client/client.h"
#include "rpc/protocol.h"
#include "rpc/server.h"
#include "tests/rpc/fake_engine.h"
#include "bench/interleaved.h"
#include "bench/percentile.h"
#include "bench/raw_echo.h"

namespace {

using Clock = std::chrono::steady_clock;

// The goal for the RPC round trip against the raw one.
constexpr double kRatioLimit = 2.0;
// Frame sizes of a GetSessionIdRpc call: a bare header, and a header with a 4-byte result.
constexpr size_t kRequestSize = rpc::kFrameHeaderSize;
constexpr size_t kReplySize = rpc::kFrameHeaderSize + 4;

// The fake engine with a GetSessionIdRpc that does nothing but count, so the RPC layer is what
// is measured.
class BenchEngine : public rpc::testing::FakeEngine {
 public:
  int32_t GetSessionIdRpc(rpc::CallContext&) override {
    return next.fetch_add(1, std::memory_order_relaxed);
  }

 private:
  std::atomic<int32_t> next{1};
};

// A server with the fake engine in a directory of its own, and one client; lives for the run.
struct RpcWorld {
  RpcWorld() {
    rpc::ServerOptions options;
    options.socketPath = dir.File("IVoxWithMfa");
    server = std::make_unique<rpc::Server>(engine, options);
    server->UseEndpoint();
    server->Listen();
    client = std::make_unique<rpc::Client>(options.socketPath);
    rpc::ClientOptions wide;
    wide.maxIdleConnections = 64;
    widePoolClient = std::make_unique<rpc::Client>(options.socketPath, wide);
  }

  keystone::testing::TempDirectory dir;
  BenchEngine engine;
  std::unique_ptr<rpc::Server> server;
  std::unique_ptr<rpc::Client> client;
  // Keeps a connection per thread between calls, instead of the default small pool.
  std::unique_ptr<rpc::Client> widePoolClient;
};

RpcWorld& World() {
  static RpcWorld world;
  return world;
}

using keystone::bench::InterleavedLatency;
using keystone::bench::Percentile;
using keystone::bench::RawEcho;

// One round = one GetSessionIdRpc and one raw round trip of the same frame sizes, timed side by
// side on this thread (bench/interleaved.h).
void BM_RoundTripRpcVsRaw(benchmark::State& state) {
  const keystone::bench::OneCpu oneCpu;
  // A server of its own, whose threads stay on this CPU with the raw peer's.
  RpcWorld world;
  RawEcho raw({kRequestSize, kReplySize});
  InterleavedLatency compare({{"rpc", [&] { benchmark::DoNotOptimize(world.client->GetSessionIdRpc()); }},
                              {"raw", [&] { raw.RoundTrip(); }}});
  compare.Run(state);
  state.counters["ratio_limit"] = kRatioLimit;
}
BENCHMARK(BM_RoundTripRpcVsRaw)
    ->Iterations(InterleavedLatency::kRounds)
    ->Unit(benchmark::kMicrosecond);

// The whole process (the server's threads included) so far: CPU time in microseconds and
// context switches.
struct ProcessUsage {
  double cpuMicros = 0;
  double switches = 0;

  static ProcessUsage Now() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto micros = [](const timeval& t) {
      return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_usec);
    };
    return {micros(usage.ru_utime) + micros(usage.ru_stime),
            static_cast<double>(usage.ru_nvcsw + usage.ru_nivcsw)};
  }
};

// Measured by the first thread around its loop: what one call costs the machine, which a busy
// host changes less than it changes calls per second.
class CostPerCall {
 public:
  explicit CostPerCall(const benchmark::State& state)
      : first(state.thread_index() == 0), start(first ? ProcessUsage::Now() : ProcessUsage{}) {}
  void Report(benchmark::State& state) const {
    if (!first || state.iterations() == 0) return;
    const ProcessUsage end = ProcessUsage::Now();
    const double calls = static_cast<double>(state.iterations()) * state.threads();
    state.counters["cpu_us_per_call"] = (end.cpuMicros - start.cpuMicros) / calls;
    state.counters["switches_per_call"] = (end.switches - start.switches) / calls;
  }

 private:
  bool first;
  ProcessUsage start;
};

void MeasureThroughput(benchmark::State& state, rpc::Client& client) {
  std::vector<double> micros;
  micros.reserve(1 << 18);
  const CostPerCall cost(state);
  for (auto _ : state) {
    const auto t0 = Clock::now();
    benchmark::DoNotOptimize(client.GetSessionIdRpc());
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  cost.Report(state);
  state.SetItemsProcessed(state.iterations());
  state.counters["p50_us"] = benchmark::Counter(Percentile(micros, 0.50), benchmark::Counter::kAvgThreads);
  state.counters["p99_us"] = benchmark::Counter(Percentile(micros, 0.99), benchmark::Counter::kAvgThreads);
}

// Calls per second with many client threads sharing one Client with the default pool: beyond
// its idle connections, a call opens (and the server accepts) a connection of its own.
void BM_RpcThroughput(benchmark::State& state) { MeasureThroughput(state, *World().client); }
BENCHMARK(BM_RpcThroughput)->Threads(1)->Threads(16)->Threads(64)->UseRealTime();

// The same with a pool that keeps a connection for every thread.
void BM_RpcThroughputWidePool(benchmark::State& state) {
  MeasureThroughput(state, *World().widePoolClient);
}
BENCHMARK(BM_RpcThroughputWidePool)->Threads(1)->Threads(16)->Threads(64)->UseRealTime();

// The same number of threads, each with its own raw ping-pong pair: the transport's ceiling.
void BM_RawThroughput(benchmark::State& state) {
  RawEcho raw({kRequestSize, kReplySize});
  const CostPerCall cost(state);
  for (auto _ : state) raw.RoundTrip();
  cost.Report(state);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RawThroughput)->Threads(1)->Threads(16)->Threads(64)->UseRealTime();

// The same threads, each with a raw connection of its own, answered by a pool of three threads
// waiting on all the connections at once and doing nothing else: what a bounded pool's poller
// path costs per call, without any work of the server's (docs in bench/README.md).
void BM_PooledThroughput(benchmark::State& state) {
  static keystone::bench::PooledEcho* echo = nullptr;
  if (state.thread_index() == 0) {
    echo = new keystone::bench::PooledEcho(static_cast<size_t>(state.threads()), 3,
                                           {kRequestSize, kReplySize});
  }
  std::vector<uint8_t> request(kRequestSize);
  std::vector<uint8_t> reply(kReplySize);
  const CostPerCall cost(state);
  for (auto _ : state) echo->RoundTrip(static_cast<size_t>(state.thread_index()), request, reply);
  cost.Report(state);
  state.SetItemsProcessed(state.iterations());
  if (state.thread_index() == 0) {
    delete echo;
    echo = nullptr;
  }
}
BENCHMARK(BM_PooledThroughput)->Threads(16)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
