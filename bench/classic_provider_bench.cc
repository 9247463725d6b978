// The classic provider's message round trip (Send, then Receive) to a simulated phone, beside a
// raw local-socket ping-pong of the same size measured in the same run. The provider's round
// trip also asks the simulator twice whether a radio is present (once per Send and Receive, as
// the provider does before each), so the ratio shows what those checks cost on top of the link.

#include <benchmark/benchmark.h>

#include <array>
#include <memory>
#include <thread>

#include "bluetooth/classic_bt_provider.h"
#include "log/logger.h"
#include "platform/unix_socket.h"
#include "sim/phones/control_channel.h"
#include "sim/phones/phone_protocol.h"
#include "sim/phones/phone_simulator.h"
#include "sim/phones/simulated_bluetooth.h"
#include "tests/fakes/program_runner.h"

namespace {

constexpr size_t kMessageSize = 64;

// Records are formatted as in the engine, then dropped: the terminal is not what is measured.
class DiscardingBackend : public mfab::LogBackend {
 public:
  void Write(mfab::LogSink, uint16_t, const mfab::LogRecord&) override {}
};
const bool kQuietLog = [] {
  mfab::SetLogBackend(std::make_shared<DiscardingBackend>());
  return true;
}();
constexpr char kPhone[] = "5C:F3:70:12:34:56";

void BM_ClassicProviderRoundTrip(benchmark::State& state) {
  keystone::testing::TempDirectory dir;
  phonesim::PhoneSimulator simulator(dir.Path() + "/sim");
  std::jthread server([&] { simulator.Run(); });
  simulator.Handle(std::string("ADD ") + kPhone + " 5A020C 1 Bench");
  mfab::ClassicBTProvider provider(
      std::make_shared<phonesim::SimulatedBluetoothStack>(simulator.ControlPath()));
  const uint32_t handle = provider.Connect({"", kPhone, false, false}, mfab::kPhoneServiceClassId);
  const mfab::Bytes message(kMessageSize, 0x5A);
  mfab::Bytes reply;
  for (auto _ : state) {
    provider.Send(handle, message);
    provider.Receive(handle, 5000, reply);
    benchmark::DoNotOptimize(reply.data());
  }
  provider.Disconnect(handle);
  simulator.Stop();
}
BENCHMARK(BM_ClassicProviderRoundTrip)->UseRealTime();

// One radio check through the simulator's control socket: two of these are in each round trip.
void BM_SimulatedRadioCheck(benchmark::State& state) {
  keystone::testing::TempDirectory dir;
  phonesim::PhoneSimulator simulator(dir.Path() + "/sim");
  std::jthread server([&] { simulator.Run(); });
  mfab::ClassicBTProvider provider(
      std::make_shared<phonesim::SimulatedBluetoothStack>(simulator.ControlPath()));
  for (auto _ : state) benchmark::DoNotOptimize(provider.IsRadioPresent());
  simulator.Stop();
}
BENCHMARK(BM_SimulatedRadioCheck)->UseRealTime();

void BM_RawSocketRoundTrip(benchmark::State& state) {
  auto [near, far] = platform::UnixStream::Pair();
  std::jthread echo([peer = std::move(far)]() mutable {
    std::array<uint8_t, 2048> buffer;
    for (;;) {
      const size_t n = peer.ReceiveSome(buffer);
      if (n == 0) return;
      const auto answer = phonesim::PhoneAnswer(std::span(buffer.data(), n), 0);
      peer.SendAll(answer);
    }
  });
  const std::vector<uint8_t> message(kMessageSize, 0x5A);
  std::array<uint8_t, 1011> reply;
  for (auto _ : state) {
    near.SendAll(message);
    size_t got = 0;
    while (got < kMessageSize) got += near.ReceiveSome(std::span(reply).subspan(got));
    benchmark::DoNotOptimize(reply.data());
  }
  near.ShutdownBoth();
}
BENCHMARK(BM_RawSocketRoundTrip)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
