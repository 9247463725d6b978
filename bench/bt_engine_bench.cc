// SendMessageToBtDeviceRpc through a real keystone-engine (client RPC, the Bluetooth manager, a
// classic device and provider on the simulated stack) to a simulated phone, beside a raw local
// socket round trip of the same size, interleaved in one run (goal: p50 at most 1.5x). The
// engine's call crosses two sockets (client to engine, engine to phone) where the raw one
// crosses one.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/engine_process.h"
#include "platform/unix_socket.h"
#include "rpc/client/client.h"
#include "sim/phones/bluetooth_selection.h"
#include "sim/phones/phone_protocol.h"
#include "sim/phones/phone_simulator.h"
#include "bench/percentile.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr double kRatioLimit = 1.5;
constexpr size_t kMessageSize = 256;
constexpr char kPhone[] = "5C:F3:70:12:34:56";
const Bytes kPhoneId{0x5C, 0xF3, 0x70, 0x12, 0x34, 0x56, 0x01, 0x00};

using keystone::bench::Percentile;

// A socket pair whose far end answers as a phone does (one read, the complemented bytes).
class RawPhone {
 public:
  RawPhone() {
    auto [near, far] = platform::UnixStream::Pair();
    client = std::move(near);
    echo = std::jthread([peer = std::move(far)]() mutable {
      std::array<uint8_t, 2048> buffer;
      try {
        for (;;) {
          const size_t n = peer.ReceiveSome(buffer);
          if (n == 0) return;
          peer.SendAll(phonesim::PhoneAnswer(std::span(buffer.data(), n), 0));
        }
      } catch (const std::exception&) {
        // The client end closed: done.
      }
    });
  }
  ~RawPhone() { client.ShutdownBoth(); }

  void RoundTrip(const Bytes& message) {
    client.SendAll(message);
    size_t got = 0;
    while (got < message.size()) {
      const size_t n = client.ReceiveSome(std::span(reply).subspan(got, message.size() - got));
      if (n == 0) throw std::runtime_error("raw phone closed");
      got += n;
    }
  }

 private:
  platform::UnixStream client;
  std::array<uint8_t, 2048> reply{};
  std::jthread echo;
};

void BM_EngineSendMessageToBtDeviceVsRaw(benchmark::State& state) {
  const std::string simDir = bench::MakeTempDir("ks-bt-bench-sim");
  phonesim::PhoneSimulator simulator(simDir + "/phones");
  std::jthread server([&] { simulator.Run(); });
  simulator.Handle(std::string("ADD ") + kPhone + " 5A020C 1 Bench");
  {
    bench::EngineProcess engine("ks-bt-bench", [&](const std::string&, platform::Registry& registry) {
      for (const char* sink : {"ClassicBluetooth", "Proximity", "BluetoothBridge"}) {
        platform::WriteRegistryValue(registry, keystone::kLoggingKey, sink,
                                     platform::RegValue::Dword(2));
      }
      platform::WriteRegistryValue(registry, keystone::kSecureBtKey,
                                   phonesim::kSimulatedPhonesValue,
                                   platform::RegValue::String(simulator.ControlPath()));
    });
    rpc::Client client(engine.socketPath);
    if (client.EstablishConnectionWithBtDeviceRpc(8, kPhoneId.data()) != rpc::BtCallStatus::kSuccess) {
      state.SkipWithError("the engine did not connect to the simulated phone");
      return;
    }
    RawPhone raw;
    const Bytes message(kMessageSize, 0x5A);
    Bytes reply(4096);
    auto send = [&] {
      int32_t size = static_cast<int32_t>(reply.size());
      const rpc::BtCallStatus status = client.SendMessageToBtDeviceRpc(
          8, kPhoneId.data(), static_cast<int32_t>(message.size()), message.data(), 0, &size,
          reply.data());
      if (status != rpc::BtCallStatus::kSuccess || size != static_cast<int32_t>(kMessageSize)) {
        throw std::runtime_error("the phone did not answer: status " +
                                 std::to_string(static_cast<int>(status)));
      }
    };
    for (int i = 0; i < 500; ++i) {  // warm both paths
      raw.RoundTrip(message);
      send();
    }
    std::vector<double> rawMicros;
    std::vector<double> rpcMicros;
    for (auto _ : state) {
      const auto t0 = Clock::now();
      raw.RoundTrip(message);
      const auto t1 = Clock::now();
      send();
      const auto t2 = Clock::now();
      rawMicros.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
      rpcMicros.push_back(std::chrono::duration<double, std::micro>(t2 - t1).count());
    }
    const double rawP50 = Percentile(rawMicros, 0.50);
    const double rpcP50 = Percentile(rpcMicros, 0.50);
    state.counters["raw_p50_us"] = rawP50;
    state.counters["rpc_p50_us"] = rpcP50;
    state.counters["raw_p99_us"] = Percentile(rawMicros, 0.99);
    state.counters["rpc_p99_us"] = Percentile(rpcMicros, 0.99);
    state.counters["ratio_p50"] = rawP50 > 0 ? rpcP50 / rawP50 : 0;
    state.counters["ratio_limit"] = kRatioLimit;
  }
  simulator.Stop();
  std::filesystem::remove_all(simDir);
}
BENCHMARK(BM_EngineSendMessageToBtDeviceVsRaw)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
