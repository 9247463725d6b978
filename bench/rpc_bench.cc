// The RPC layer's cost: a GetSessionIdRpc round trip beside a raw socket ping-pong of the same
// frame sizes (interleaved in one run, so the ratio compares like with like; goal: at most 2x),
// and call throughput with 1, 16 and 64 client threads beside raw ping-pong pairs.

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
#include "bench/percentile.h"

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

void ReceiveExactly(platform::UnixStream& stream, uint8_t* data, size_t size) {
  size_t got = 0;
  while (got < size) {
    const size_t n = stream.ReceiveSome(std::span<uint8_t>(data + got, size - got));
    if (n == 0) throw std::runtime_error("peer closed");
    got += n;
  }
}

// A socket pair with an echo thread that answers each request-sized message with a reply-sized
// one: the raw round trip, with plain blocking reads and writes.
class RawPingPong {
 public:
  RawPingPong() {
    auto [near, far] = platform::UnixStream::Pair();
    client = std::move(near);
    peer = std::move(far);
    echo = std::thread([this] {
      std::array<uint8_t, kRequestSize> received{};
      const std::array<uint8_t, kReplySize> answer{};
      try {
        for (;;) {
          ReceiveExactly(peer, received.data(), received.size());
          peer.SendAll(answer);
        }
      } catch (const std::exception&) {
        // The client end closed: done.
      }
    });
  }
  ~RawPingPong() {
    client.ShutdownBoth();
    echo.join();
  }
  RawPingPong(const RawPingPong&) = delete;
  RawPingPong& operator=(const RawPingPong&) = delete;

  void RoundTrip() {
    client.SendAll(request);
    ReceiveExactly(client, reply.data(), reply.size());
  }

 private:
  platform::UnixStream client;
  platform::UnixStream peer;
  std::thread echo;
  std::array<uint8_t, kRequestSize> request{};
  std::array<uint8_t, kReplySize> reply{};
};

using keystone::bench::Percentile;

double Mean(const std::vector<double>& samples) {
  double sum = 0;
  for (double s : samples) sum += s;
  return samples.empty() ? 0 : sum / static_cast<double>(samples.size());
}

// One iteration = one raw round trip and one GetSessionIdRpc, each timed by hand.
void BM_RoundTripRpcVsRaw(benchmark::State& state) {
  RpcWorld& world = World();
  RawPingPong raw;
  for (int i = 0; i < 1000; ++i) {  // warm both paths: threads, pooled connection, buffers
    raw.RoundTrip();
    benchmark::DoNotOptimize(world.client->GetSessionIdRpc());
  }
  std::vector<double> rawMicros;
  std::vector<double> rpcMicros;
  rawMicros.reserve(1 << 20);
  rpcMicros.reserve(1 << 20);
  for (auto _ : state) {
    const auto t0 = Clock::now();
    raw.RoundTrip();
    const auto t1 = Clock::now();
    benchmark::DoNotOptimize(world.client->GetSessionIdRpc());
    const auto t2 = Clock::now();
    rawMicros.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    rpcMicros.push_back(std::chrono::duration<double, std::micro>(t2 - t1).count());
  }
  const double rawMean = Mean(rawMicros);
  const double rpcMean = Mean(rpcMicros);
  const double rawP50 = Percentile(rawMicros, 0.50);
  const double rpcP50 = Percentile(rpcMicros, 0.50);
  state.counters["raw_mean_us"] = rawMean;
  state.counters["rpc_mean_us"] = rpcMean;
  state.counters["raw_p50_us"] = rawP50;
  state.counters["rpc_p50_us"] = rpcP50;
  state.counters["raw_p99_us"] = Percentile(rawMicros, 0.99);
  state.counters["rpc_p99_us"] = Percentile(rpcMicros, 0.99);
  state.counters["ratio_mean"] = rawMean > 0 ? rpcMean / rawMean : 0;
  state.counters["ratio_p50"] = rawP50 > 0 ? rpcP50 / rawP50 : 0;
  state.counters["ratio_limit"] = kRatioLimit;
}
BENCHMARK(BM_RoundTripRpcVsRaw)->Unit(benchmark::kMicrosecond);

void MeasureThroughput(benchmark::State& state, rpc::Client& client) {
  std::vector<double> micros;
  micros.reserve(1 << 18);
  for (auto _ : state) {
    const auto t0 = Clock::now();
    benchmark::DoNotOptimize(client.GetSessionIdRpc());
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
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
  RawPingPong raw;
  for (auto _ : state) raw.RoundTrip();
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RawThroughput)->Threads(1)->Threads(16)->Threads(64)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
