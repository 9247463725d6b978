#pragma once

// Latency of a subject beside its baselines, sampled in one loop on one thread, so that every
// path sees the same machine at the same moments (bench/README.md, "Latency benchmarks"):
// - each round times every path once, on the calling thread;
// - the path that goes first moves by one each round, so no path always follows the same one;
// - before each sample the thread pauses briefly, so that whatever the previous sample left
//   running (a server thread on its way back to its wait, a peer's next read) is over before
//   the clock starts: no path is charged with another's tail;
// - every path gets the same number of samples, enough for a stable p99;
// - every thread of the comparison runs on one CPU (OneCpu below): the subject's threads, the
//   baselines' peers and a child process started meanwhile alike. Where the scheduler puts a
//   peer otherwise decides a round trip more than the work does (a wake-up on the other CPU
//   costs several times one on the same CPU, and the placement holds for a whole run), so two
//   runs, or two paths of one run, would not compare.

#include <sched.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench/percentile.h"

namespace keystone::bench {

// Keeps the calling thread, and every thread and process it starts while this lives, on the CPU
// it runs on now; gives the calling thread its former CPUs back at the end (what was started
// meanwhile stays where it is, so it must end with this).
class OneCpu {
 public:
  OneCpu() {
    CPU_ZERO(&former);
    if (::sched_getaffinity(0, sizeof former, &former) != 0) return;
    const int cpu = ::sched_getcpu();
    if (cpu < 0) return;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    pinned = ::sched_setaffinity(0, sizeof one, &one) == 0;
  }
  ~OneCpu() {
    if (pinned) ::sched_setaffinity(0, sizeof former, &former);
  }
  OneCpu(const OneCpu&) = delete;
  OneCpu& operator=(const OneCpu&) = delete;

 private:
  cpu_set_t former;
  bool pinned = false;
};

class InterleavedLatency {
 public:
  struct Path {
    std::string name;  // counters are <name>_p50_us, <name>_p99_us, <name>_mean_us
    std::function<void()> roundTrip;
  };
  // Rounds a benchmark should run: 100 samples beyond the p99 of each path.
  static constexpr int64_t kRounds = 10'000;
  static constexpr int kWarmRounds = 500;
  static constexpr std::chrono::microseconds kPause{20};

  explicit InterleavedLatency(std::vector<Path> measured) : paths(std::move(measured)) {
    micros.resize(paths.size());
  }

  // Untimed rounds: threads started, connections pooled, buffers grown, caches warm.
  void Warm(int rounds = kWarmRounds) {
    for (int r = 0; r < rounds; ++r) {
      for (Path& path : paths) path.roundTrip();
    }
  }

  // The benchmark's loop: warm, one round per iteration, then the counters.
  void Run(benchmark::State& state) {
    Warm();
    for (auto _ : state) Round();
    Report(state);
  }

  // One sample of every path.
  void Round() {
    const size_t first = round++ % paths.size();
    for (size_t i = 0; i < paths.size(); ++i) {
      const size_t p = (first + i) % paths.size();
      std::this_thread::sleep_for(kPause);
      const auto start = std::chrono::steady_clock::now();
      paths[p].roundTrip();
      const auto end = std::chrono::steady_clock::now();
      micros[p].push_back(std::chrono::duration<double, std::micro>(end - start).count());
    }
  }

  // Sets each path's counters, and ratio_p50 / ratio_p99 of the first path against the second
  // (the subject against its baseline). No ratio of means: a few samples the host's other work
  // stretched by milliseconds decide a mean, whichever path they fell on.
  void Report(benchmark::State& state) {
    std::vector<double> p50(paths.size()), p99(paths.size()), mean(paths.size());
    for (size_t p = 0; p < paths.size(); ++p) {
      double sum = 0;
      for (double s : micros[p]) sum += s;
      mean[p] = micros[p].empty() ? 0 : sum / static_cast<double>(micros[p].size());
      p50[p] = Percentile(micros[p], 0.50);
      p99[p] = Percentile(micros[p], 0.99);
      state.counters[paths[p].name + "_p50_us"] = p50[p];
      state.counters[paths[p].name + "_p99_us"] = p99[p];
      state.counters[paths[p].name + "_mean_us"] = mean[p];
    }
    state.counters["samples"] = static_cast<double>(micros.empty() ? 0 : micros[0].size());
    if (paths.size() >= 2) {
      state.counters["ratio_p50"] = Ratio(p50[0], p50[1]);
      state.counters["ratio_p99"] = Ratio(p99[0], p99[1]);
    }
  }

  static double Ratio(double subject, double baseline) {
    return baseline > 0 ? subject / baseline : 0;
  }
  double P50(size_t path) { return Percentile(micros[path], 0.50); }

 private:
  std::vector<Path> paths;
  std::vector<std::vector<double>> micros;
  size_t round = 0;
};

}  // namespace keystone::bench
