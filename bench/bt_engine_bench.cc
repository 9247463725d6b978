// SendMessageToBtDeviceRpc through a real keystone-engine (client RPC, the Bluetooth manager, a
// classic device and provider on the simulated stack) to a simulated phone, sampled side by side
// (bench/interleaved.h) with two baselines:
// - raw: one local socket round trip of the message's size (goal: p50 at most 1.5x);
// - twohop: the engine's own two hops without the engine: the call's frames over a socket pair
//   to a relay process, the message over a second pair to a peer (in this process, as the
//   simulated phone is) answering as the phone does, and back. What the engine adds is the
//   difference.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/bt_frames.h"
#include "bench/engine_process.h"
#include "bench/interleaved.h"
#include "bench/raw_echo.h"
#include "platform/unix_socket.h"
#include "rpc/client/client.h"
#include "sim/phones/bluetooth_selection.h"
#include "sim/phones/phone_protocol.h"
#include "sim/phones/phone_simulator.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr double kRatioLimit = 1.5;
constexpr size_t kMessageSize = 256;
constexpr char kPhone[] = "5C:F3:70:12:34:56";
const Bytes kPhoneId{0x5C, 0xF3, 0x70, 0x12, 0x34, 0x56, 0x01, 0x00};

using keystone::bench::InterleavedLatency;
using keystone::bench::RawEcho;
using keystone::bench::RawRelay;

// The simulated phone's answer to a message (the complemented bytes).
void PhoneAnswers(std::span<const uint8_t> request, std::span<uint8_t> reply) {
  const Bytes answer = phonesim::PhoneAnswer(request, 0);
  std::copy_n(answer.begin(), std::min(answer.size(), reply.size()), reply.begin());
}

void BM_EngineSendMessageToBtDeviceVsRaw(benchmark::State& state) {
  // The simulator's threads, the engine process and the baselines' peers all start on this CPU.
  const keystone::bench::OneCpu oneCpu;
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
    // One hop: the message to a peer that answers as the phone does.
    RawEcho raw({kMessageSize, kMessageSize}, PhoneAnswers);
    // Two hops, the engine's sockets, sizes and processes: the call's frames to a relay in a
    // process of its own, the message on to the phone-like peer in this one, and back.
    RawRelay twoHop(keystone::bench::SendMessageToBtDeviceFrames(kMessageSize),
                    {kMessageSize, kMessageSize}, PhoneAnswers, RawRelay::Where::kProcess);
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
    InterleavedLatency compare({{"rpc", send},
                                {"raw", [&] { raw.RoundTrip(); }},
                                {"twohop", [&] { twoHop.RoundTrip(); }}});
    try {
      compare.Run(state);
    } catch (const std::exception& e) {
      // A failed round trip ends the run with its reason; the engine's log outlives its
      // directory.
      const std::string kept =
          (std::filesystem::temp_directory_path() / "bt_engine_bench-engine.log").string();
      std::error_code ignored;
      std::filesystem::copy_file(engine.root + "/engine.log", kept,
                                 std::filesystem::copy_options::overwrite_existing, ignored);
      state.SkipWithError((std::string(e.what()) + "; the engine's log: " + kept).c_str());
    }
    if (!state.error_occurred()) {
      const double rpcP50 = state.counters["rpc_p50_us"];
      const double twoHopP50 = state.counters["twohop_p50_us"];
      state.counters["ratio_p50_twohop"] = InterleavedLatency::Ratio(rpcP50, twoHopP50);
      // What the engine adds beyond carrying the bytes over its two sockets.
      state.counters["engine_extra_p50_us"] = rpcP50 - twoHopP50;
      state.counters["ratio_limit"] = kRatioLimit;
    }
  }
  simulator.Stop();
  std::filesystem::remove_all(simDir);
}
BENCHMARK(BM_EngineSendMessageToBtDeviceVsRaw)
    ->Iterations(InterleavedLatency::kRounds)
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
