// SendMessageToAppletRpc through a running keystone-engine on the simulated applet, against the
// same request handed straight to the simulated library (KILN_SendAndRecv2), in one run: per-call
// latency (p50, p99) and calls per second with 1, 16 and 64 client threads. The request is
// GetPolicyDataRequest without a policy, so both paths produce the same error reply and no stored
// data travels.
//
// BM_AppletRpcVsReference times, interleaved in one thread, the engine's call and the least any
// out-of-process applet call can cost: an RPC round trip to the same engine, plus one hand-off to
// another thread that makes the direct library call and hands the reply back.
//
// BM_AppletThroughputVsDirect compares calls per second with 16 client threads the same way:
// all threads make a burst of engine calls, then a burst of direct calls, then as many direct
// calls handed one at a time to a worker thread, round after round, so all three see the same
// load from the rest of the machine. The last is the ceiling of any engine that keeps the library
// call on a worker thread of its own, as the call's time limit requires. A fourth phase runs the
// whole arrangement the engine must keep, with none of its work: each client's raw socket pair
// answered by a thread of its own, which queues the request for one sender thread, which hands
// each call to its worker thread (RawChain).

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "applet/applet_ids.h"
#include "applet/kiln.h"
#include "bench/engine_process.h"
#include "bench/interleaved.h"
#include "bench/percentile.h"
#include "bench/raw_echo.h"
#include "common/config_keys.h"
#include "platform/registry.h"
#include "rpc/client/client.h"
#include "tlv/message.h"
#include "tlv/message_types.h"

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

using keystone::bench::Percentile;

void Report(benchmark::State& state, std::vector<double>& micros) {
  state.SetItemsProcessed(state.iterations());
  state.counters["p50_us"] =
      benchmark::Counter(Percentile(micros, 0.50), benchmark::Counter::kAvgThreads);
  state.counters["p99_us"] =
      benchmark::Counter(Percentile(micros, 0.99), benchmark::Counter::kAvgThreads);
}

// The simulated library in this process, on a state directory of its own, with one session.
class DirectSim {
 public:
  DirectSim() : root(bench::MakeTempDir("ks-applet-direct-bench")) {
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

bench::EngineProcess& TheEngine() {
  static bench::EngineProcess engine("ks-applet-rpc-bench");
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

// A thread of its own that runs one job at a time for a caller who waits for it: the hand-off
// the engine makes from the thread serving a client to the one that talks to the applet.
class HandOff {
 public:
  HandOff() : worker([this](std::stop_token stop) { Serve(stop); }) {}
  ~HandOff() {
    {
      std::lock_guard lock(mutex);
      stopping = true;
    }
    wake.notify_one();
  }

  void Run(const std::function<void()>& work) {
    std::unique_lock lock(mutex);
    job = &work;
    done = false;
    wake.notify_one();
    finished.wait(lock, [this] { return done; });
  }

 private:
  void Serve(std::stop_token) {
    std::unique_lock lock(mutex);
    for (;;) {
      wake.wait(lock, [this] { return stopping || job != nullptr; });
      if (stopping) return;
      const std::function<void()>* work = job;
      job = nullptr;
      lock.unlock();
      (*work)();
      lock.lock();
      done = true;
      finished.notify_one();
    }
  }

  std::mutex mutex;
  std::condition_variable wake;
  std::condition_variable finished;
  const std::function<void()>* job = nullptr;
  bool done = true;
  bool stopping = false;
  std::jthread worker;
};

// The engine's arrangement for applet calls with none of its work: each client's requests come
// over a raw socket pair to a thread of its own (the least an RPC server costs per call), which
// queues the request for the one sender thread and waits for its answer; the sender takes the
// requests in turn and hands each to its worker thread, which makes the library call.
class RawChain {
 public:
  RawChain(DirectSim& library, size_t clients, keystone::bench::HopSizes sizes) : sim(library) {
    for (size_t i = 0; i < clients; ++i) {
      auto job = std::make_unique<Job>();
      Job* const mine = job.get();
      jobs.push_back(std::move(job));
      echoes.push_back(std::make_unique<keystone::bench::RawEcho>(
          sizes, [this, mine](std::span<const uint8_t> request, std::span<uint8_t> reply) {
            Call(*mine, request, reply);
          }));
    }
  }
  ~RawChain() {
    echoes.clear();  // the answering threads end with their clients' ends
    {
      std::lock_guard lock(queueMutex);
      stopping = true;
    }
    wake.notify_one();
  }

  // One round trip over client i's socket pair; the reply's bytes stay in the echo.
  void RoundTrip(size_t client) { echoes[client]->RoundTrip(); }

 private:
  struct Job {
    std::mutex mutex;
    std::condition_variable answered;
    bool done = false;
    Bytes request;
    Bytes reply;
  };

  // On the client's answering thread.
  void Call(Job& job, std::span<const uint8_t> request, std::span<uint8_t> reply) {
    job.request.assign(request.begin(), request.end());
    {
      std::lock_guard lock(job.mutex);
      job.done = false;
    }
    {
      std::lock_guard lock(queueMutex);
      queue.push_back(&job);
    }
    wake.notify_one();
    std::unique_lock lock(job.mutex);
    job.answered.wait(lock, [&] { return job.done; });
    std::copy_n(job.reply.begin(), std::min(job.reply.size(), reply.size()), reply.begin());
  }

  void Send() {
    std::unique_lock lock(queueMutex);
    for (;;) {
      wake.wait(lock, [this] { return stopping || !queue.empty(); });
      if (stopping) return;
      Job* const job = queue.front();
      queue.pop_front();
      lock.unlock();
      handOff.Run([this, job] { sim.Exchange(job->request, job->reply); });
      {
        std::lock_guard answer(job->mutex);
        job->done = true;
      }
      job->answered.notify_one();
      lock.lock();
    }
  }

  DirectSim& sim;
  HandOff handOff;
  std::mutex queueMutex;
  std::condition_variable wake;
  std::deque<Job*> queue;
  bool stopping = false;
  std::vector<std::unique_ptr<Job>> jobs;
  std::vector<std::unique_ptr<keystone::bench::RawEcho>> echoes;
  std::jthread sender{[this] { Send(); }};  // last: started once the rest is made
};

// One round = one SendMessageToAppletRpc and one reference call (GetSessionIdRpc to the same
// engine, then the direct library call on another thread), interleaved on this thread
// (bench/interleaved.h). Not pinned to one CPU: the engine is shared with the throughput
// benchmark, and a pinned engine would stay pinned for it.
void BM_AppletRpcVsReference(benchmark::State& state) {
  rpc::Client client(TheEngine().socketPath);
  DirectSim& sim = TheSim();
  HandOff handOff;
  const Bytes request = Request();
  Bytes reply(kReplyCapacity);
  Bytes directReply;
  const std::function<void()> direct = [&] { sim.Exchange(request, directReply); };
  bool failed = false;
  keystone::bench::InterleavedLatency compare(
      {{"engine",
        [&] {
          int32_t size = kReplyCapacity;
          failed |=
              client.SendMessageToAppletRpc(0, static_cast<int32_t>(request.size()), request.data(),
                                            &size, reply.data()) != rpc::AppletCallStatus::kSuccess;
        }},
       {"reference", [&] {
          benchmark::DoNotOptimize(client.GetSessionIdRpc());
          handOff.Run(direct);
        }}});
  compare.Run(state);
  if (failed) state.SkipWithError("SendMessageToAppletRpc failed");
}
BENCHMARK(BM_AppletRpcVsReference)
    ->Iterations(keystone::bench::InterleavedLatency::kRounds)
    ->Unit(benchmark::kMicrosecond);

constexpr int kThroughputThreads = 16;
constexpr int kBurst = 50;

// Shared by the threads of one run of BM_AppletThroughputVsDirect.
struct Rounds {
  std::barrier<> barrier{kThroughputThreads};
  Clock::time_point phaseStart;
  std::atomic<int64_t> engineNanos{0};
  std::atomic<int64_t> directNanos{0};
  std::atomic<int64_t> handedNanos{0};
  std::atomic<int64_t> chainNanos{0};
  std::atomic<bool> failed{false};
  // The third phase's worker thread.
  HandOff handOff;
  // The fourth phase's threads.
  std::unique_ptr<RawChain> chain;
};

// One iteration = one round: every thread kBurst engine calls, then every thread kBurst direct
// calls, then the same number of direct calls, each handed to a worker thread (as the engine
// must: every library call runs on a worker thread under a time limit), then every thread kBurst
// calls through the raw chain; the first thread times each phase from the barrier before it to
// the barrier after it.
void BM_AppletThroughputVsDirect(benchmark::State& state) {
  static std::unique_ptr<Rounds> rounds;
  static std::barrier<> setUp(kThroughputThreads);
  if (state.thread_index() == 0) {
    rounds = std::make_unique<Rounds>();
    Bytes sample;
    TheSim().Exchange(Request(), sample);
    rounds->chain = std::make_unique<RawChain>(TheSim(), kThroughputThreads,
                                               keystone::bench::HopSizes{Request().size(), sample.size()});
  }
  setUp.arrive_and_wait();
  rpc::Client client(TheEngine().socketPath);
  DirectSim& sim = TheSim();
  const Bytes request = Request();
  Bytes reply(kReplyCapacity);
  Bytes directReply;
  const bool timer = state.thread_index() == 0;
  auto phaseEnds = [&](std::atomic<int64_t>& total) {
    rounds->barrier.arrive_and_wait();
    if (!timer) return;
    const Clock::time_point now = Clock::now();
    total += std::chrono::duration_cast<std::chrono::nanoseconds>(now - rounds->phaseStart).count();
    rounds->phaseStart = now;
  };
  for (auto _ : state) {
    rounds->barrier.arrive_and_wait();
    if (timer) rounds->phaseStart = Clock::now();
    for (int i = 0; i < kBurst; ++i) {
      int32_t size = kReplyCapacity;
      if (client.SendMessageToAppletRpc(0, static_cast<int32_t>(request.size()), request.data(),
                                        &size, reply.data()) != rpc::AppletCallStatus::kSuccess) {
        rounds->failed = true;
      }
    }
    phaseEnds(rounds->engineNanos);
    for (int i = 0; i < kBurst; ++i) sim.Exchange(request, directReply);
    phaseEnds(rounds->directNanos);
    // One thread hands over the round's calls back to back, as the engine's queue thread does
    // while requests wait; the others only wait for the phase to end.
    if (timer) {
      const std::function<void()> direct = [&] { sim.Exchange(request, directReply); };
      for (int i = 0; i < kBurst * kThroughputThreads; ++i) rounds->handOff.Run(direct);
    }
    phaseEnds(rounds->handedNanos);
    for (int i = 0; i < kBurst; ++i) rounds->chain->RoundTrip(static_cast<size_t>(state.thread_index()));
    phaseEnds(rounds->chainNanos);
  }
  state.SetItemsProcessed(state.iterations() * kBurst);
  setUp.arrive_and_wait();
  if (rounds->failed) state.SkipWithError("SendMessageToAppletRpc failed");
  const double calls = static_cast<double>(state.iterations()) * kBurst * kThroughputThreads;
  const double enginePerSecond = calls * 1e9 / static_cast<double>(rounds->engineNanos.load());
  const double directPerSecond = calls * 1e9 / static_cast<double>(rounds->directNanos.load());
  const double handedPerSecond = calls * 1e9 / static_cast<double>(rounds->handedNanos.load());
  const double chainPerSecond = calls * 1e9 / static_cast<double>(rounds->chainNanos.load());
  const auto average = benchmark::Counter::kAvgThreads;
  state.counters["engine_per_s"] = benchmark::Counter(enginePerSecond, average);
  state.counters["direct_per_s"] = benchmark::Counter(directPerSecond, average);
  state.counters["handed_per_s"] = benchmark::Counter(handedPerSecond, average);
  state.counters["ratio"] = benchmark::Counter(enginePerSecond / directPerSecond, average);
  state.counters["ratio_handed"] = benchmark::Counter(enginePerSecond / handedPerSecond, average);
  state.counters["chain_per_s"] = benchmark::Counter(chainPerSecond, average);
  state.counters["ratio_chain"] = benchmark::Counter(enginePerSecond / chainPerSecond, average);
  state.counters["chain_vs_direct"] = benchmark::Counter(chainPerSecond / directPerSecond, average);
  setUp.arrive_and_wait();
  if (timer) rounds.reset();
}
BENCHMARK(BM_AppletThroughputVsDirect)->Threads(kThroughputThreads)->Iterations(100)->UseRealTime();

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
