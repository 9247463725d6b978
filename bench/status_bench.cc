// The health view as a monitor polls it: one "status" request over the control socket to a
// running engine (connect, request, the engine gathers and renders, reply), beside the cheapest
// client call, GetSessionIdRpc, and beside an applet message while another thread polls status
// as fast as it can (the poll's effect on the engine's own work, far above a once-a-second poll).

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "bench/engine_process.h"
#include "platform/control_client.h"
#include "rpc/client/client.h"

namespace {

using Clock = std::chrono::steady_clock;

bench::EngineProcess& TheEngine() {
  static bench::EngineProcess engine("ks-status-bench");
  return engine;
}

std::string RuntimeDirectory() { return TheEngine().root + "/run"; }

void ReportP50(benchmark::State& state, std::vector<double>& micros) {
  if (micros.empty()) return;
  std::sort(micros.begin(), micros.end());
  state.counters["p50_us"] = micros[micros.size() / 2];
  state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
}

void BM_StatusRequest(benchmark::State& state) {
  const std::string directory = RuntimeDirectory();
  std::vector<double> micros;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    const std::string reply = platform::SendControlRequest(directory, "status");
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    if (reply.rfind("ok {", 0) != 0) {
      state.SkipWithError("status was not answered");
      break;
    }
  }
  ReportP50(state, micros);
}
BENCHMARK(BM_StatusRequest)->UseRealTime();

void BM_SessionIdRpc(benchmark::State& state) {
  rpc::Client client(TheEngine().socketPath);
  std::vector<double> micros;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    benchmark::DoNotOptimize(client.GetSessionIdRpc());
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  ReportP50(state, micros);
}
BENCHMARK(BM_SessionIdRpc)->UseRealTime();

// GetSessionIdRpc while a second thread polls status without pause; arg 0 leaves it idle.
void BM_SessionIdRpcWhileStatusPolled(benchmark::State& state) {
  rpc::Client client(TheEngine().socketPath);
  const std::string directory = RuntimeDirectory();
  std::atomic<bool> stop{false};
  std::thread poller;
  if (state.range(0) != 0) {
    poller = std::thread([&] {
      while (!stop) platform::SendControlRequest(directory, "status");
    });
  }
  std::vector<double> micros;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    benchmark::DoNotOptimize(client.GetSessionIdRpc());
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  stop = true;
  if (poller.joinable()) poller.join();
  ReportP50(state, micros);
}
BENCHMARK(BM_SessionIdRpcWhileStatusPolled)->Arg(0)->Arg(1)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
