// The Bluetooth manager's costs:
// - the proximity decision per RSSI sample (add a reading, recompute the trimmed mean and the
//   state) beside a bare six-reading window mean, in one run;
// - a SendMessageToBtDeviceRpc round trip through the engine's operations, the Bluetooth manager
//   and a classic device to an instant in-process phone, beside a raw socket round trip of the
//   same size, sampled side by side (bench/interleaved.h; goal: at most 1.5x). The
//   simulated phone over a real socket is bt_engine_bench's.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bluetooth/bt_manager.h"
#include "bluetooth/proximity.h"
#include "log/logger.h"
#include "platform/unix_socket.h"
#include "rpc/client/client.h"
#include "rpc/engine_rpc_operations.h"
#include "rpc/rpc_server.h"
#include "tests/bluetooth/fake_bt_provider.h"
#include "tests/fakes/program_runner.h"
#include "bench/interleaved.h"
#include "bench/raw_echo.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr double kRatioLimit = 1.5;
constexpr size_t kMessageSize = 256;
const Bytes kClassicId{0xAA, 0xBB, 0xCC, 0x0D, 0x0E, 0x0F, 0x01, 0x00};

// A recorded walk: near, moving away, gone, back.
const std::vector<int16_t> kWalk = {-48, -50, -47, -52, -55, -60, -66, -71, -75, -80, -84, -88,
                                    -90, -91, -89, -85, -78, -70, -62, -55, -50, -49, -51, -50};

void QuietLogs() {
  for (int i = 0; i < mfab::kLogSinkCount; ++i) {
    mfab::SetLogThreshold(static_cast<mfab::LogSink>(i), 0);
  }
}

void BM_ProximityDecision(benchmark::State& state) {
  QuietLogs();
  keystone::testing::ManualClock clock;
  mfab::MfaProximityLock lock(clock);
  size_t i = 0;
  for (auto _ : state) {
    clock.Advance(std::chrono::milliseconds(200));
    lock.addRssi(kWalk[i++ % kWalk.size()]);
    benchmark::DoNotOptimize(lock.state());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ProximityDecision);

// The least any decision costs: the mean of the last six readings in a plain ring.
void BM_BareWindowMean(benchmark::State& state) {
  std::array<int16_t, 6> ring{};
  size_t i = 0;
  for (auto _ : state) {
    ring[i % ring.size()] = kWalk[i % kWalk.size()];
    ++i;
    int sum = 0;
    for (int16_t v : ring) sum += v;
    benchmark::DoNotOptimize(sum / 6.0);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BareWindowMean);

// The engine's services as far as operations 7 to 14 need them: the Bluetooth manager.
class BluetoothOnlyServices final : public rpc::EngineRpcServices {
 public:
  explicit BluetoothOnlyServices(std::shared_ptr<mfab::BtManager> manager)
      : bluetooth(std::move(manager)) {}
  std::shared_ptr<mfab::BtManager> Bluetooth() override { return bluetooth; }

  [[noreturn]] static void Absent() { throw std::runtime_error("not in this benchmark"); }
  uint32_t NextSessionId() override { Absent(); }
  void ReleaseSessionId(uint32_t, const keystone::ClientIdentity&) override { Absent(); }
  Bytes SendMessageToApplet(const Bytes&, const keystone::ClientIdentity&) override { Absent(); }
  bool IsPriorityClient(const keystone::ClientIdentity&) override { Absent(); }
  bool SetAsyncRpcState(bool) override { Absent(); }
  StatusPoll PollAuthenticationStatus() override { Absent(); }
  Bytes GetAuthenticationStatus() override { Absent(); }
  void AuthenticationStatusUpdateCompleted() override { Absent(); }
  void UpdateAuthenticationErrorState(int32_t, uint32_t) override { Absent(); }
  void RequestSessionVerification() override { Absent(); }
  bool SessionVerificationPending() override { Absent(); }
  void MirrorDataCleared() override { Absent(); }
  void MirrorUserUpdated(const std::string&) override { Absent(); }
  void MirrorUpdateAll() override { Absent(); }
  void MirrorFactorStatus(const Bytes&) override { Absent(); }
  void ClearUserData() override { Absent(); }
  void UserDataUpdated(const std::string&) override { Absent(); }
  void StartUserRecordTask() override { Absent(); }
  Bytes Discover(int16_t, const Bytes&, const std::string&, const std::string&) override {
    Absent();
  }
  Bytes GetSavedDisplayName(const std::string&) override { Absent(); }
  int32_t AuthenticationOnDesktop(const std::optional<keystone::ClientIdentity>&, int,
                                  const std::string&, const std::string&,
                                  const std::function<bool()>&) override {
    Absent();
  }
  uint32_t RunEnrollmentFlow(uint32_t, const keystone::ClientIdentity&, const std::string&,
                             const std::string&) override {
    Absent();
  }

 private:
  std::shared_ptr<mfab::BtManager> bluetooth;
};

// The operations over a manager with an instant echo phone, listening in a directory of its own.
struct BluetoothWorld {
  static mfab::BtManagerOptions ManagerOptions() {
    QuietLogs();
    mfab::BtManagerOptions options;
    // The monitor's check would compete with the measured calls.
    options.device.monitorCheckPeriod = std::chrono::hours(1);
    return options;
  }

  BluetoothWorld() {
    rpc::ServerOptions options;
    options.socketPath = dir.File("IVoxWithMfa");
    listener.RpcStartListening(&operations, options);
    client = std::make_unique<rpc::Client>(options.socketPath);
  }
  ~BluetoothWorld() { listener.RpcStopListening(); }

  keystone::testing::BtManagerHarness env;
  std::shared_ptr<mfab::BtManager> manager = env.Make(ManagerOptions());
  keystone::testing::TempDirectory dir;
  BluetoothOnlyServices services{manager};
  rpc::EngineRpcOperations operations{services};
  rpc::RpcListener listener;
  std::unique_ptr<rpc::Client> client;
};

using keystone::bench::InterleavedLatency;
using keystone::bench::RawEcho;

// One round = one SendMessageToBtDeviceRpc and one raw round trip of the message's size, timed
// side by side on this thread (bench/interleaved.h).
void BM_SendMessageToBtDeviceRpcVsRaw(benchmark::State& state) {
  const keystone::bench::OneCpu oneCpu;
  BluetoothWorld world;
  RawEcho raw({kMessageSize, kMessageSize});
  const Bytes message(kMessageSize, 0x5A);
  Bytes reply(4096);
  auto send = [&] {
    int32_t size = static_cast<int32_t>(reply.size());
    const rpc::BtCallStatus status = world.client->SendMessageToBtDeviceRpc(
        static_cast<int32_t>(kClassicId.size()), kClassicId.data(),
        static_cast<int32_t>(message.size()), message.data(), 0, &size, reply.data());
    if (status != rpc::BtCallStatus::kSuccess || size != static_cast<int32_t>(kMessageSize)) {
      throw std::runtime_error("the phone did not answer: status " +
                               std::to_string(static_cast<int>(status)) + " size " +
                               std::to_string(size));
    }
  };
  InterleavedLatency compare({{"rpc", send}, {"raw", [&] { raw.RoundTrip(); }}});
  compare.Run(state);
  state.counters["ratio_limit"] = kRatioLimit;
}
BENCHMARK(BM_SendMessageToBtDeviceRpcVsRaw)
    ->Iterations(InterleavedLatency::kRounds)
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
