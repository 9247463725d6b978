// The engine's side of the simulator protocol against a simulator that misbehaves: garbage,
// endless or missing answers become Bluetooth errors within the call's limit; and the simulator
// against a control client that never finishes its line.

#include "sim/phones/simulated_bluetooth.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "platform/unix_socket.h"
#include "sim/phones/control_channel.h"
#include "sim/phones/phone_simulator.h"
#include "tests/fakes/program_runner.h"

namespace phonesim {
namespace {

using platform::BluetoothErrc;

// Answers every connection with the same bytes (repeated `times` times), then closes.
class FakeSimulator {
 public:
  FakeSimulator(const std::string& path, std::string answer, size_t times = 1)
      : listener(platform::UnixListener::Bind(path, 0600)) {
    listener.Listen(4);
    server = std::jthread([this, answer, times] {
      while (auto client = listener.Accept()) {
        try {
          ReadRequestLine(*client, platform::DeadlineAfter(std::chrono::seconds(2)));
          for (size_t i = 0; i < times; ++i) {
            client->SendAll(std::span(reinterpret_cast<const uint8_t*>(answer.data()), answer.size()),
                            platform::DeadlineAfter(std::chrono::seconds(2)));
            sent += answer.size();
          }
        } catch (const std::exception&) {
          // The client gave up: fine for these tests.
        }
      }
    });
  }
  // Bytes the client took (or the kernel buffered for it) so far.
  size_t Sent() const { return sent; }

  ~FakeSimulator() {
    listener.Wake();
    server.join();
  }

 private:
  platform::UnixListener listener;
  std::atomic<size_t> sent{0};
  std::jthread server;
};

BluetoothErrc KindOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const platform::BluetoothError& e) {
    return e.Kind();
  }
  ADD_FAILURE() << "no BluetoothError";
  return BluetoothErrc::kFailed;
}

class SimulatedStackTest : public ::testing::Test {
 protected:
  std::string Path() const { return directory.File("control.sock"); }
  keystone::testing::TempDirectory directory;
};

TEST_F(SimulatedStackTest, MalformedAnswersAreFailures) {
  for (const std::string answer : {"OK\n", "OK 1\nnot a device\n", "HELLO\n", "OK 5C:F3\n"}) {
    SCOPED_TRACE(answer);
    FakeSimulator fake(Path(), answer);
    SimulatedBluetoothStack stack(Path());
    EXPECT_EQ(KindOf([&] { stack.DeviceInfo(0x5CF370123456); }), BluetoothErrc::kFailed);
    EXPECT_TRUE(stack.Radios().empty());
  }
}

TEST_F(SimulatedStackTest, EndlessAnswerIsCutAtTheReplyLimit) {
  const std::string block(64 * 1024, 'x');
  constexpr size_t kBlocks = 16 * 1024;  // 1 GiB if nobody stops reading
  FakeSimulator fake(Path(), block, kBlocks);
  SimulatedBluetoothStack stack(Path());
  EXPECT_EQ(KindOf([&] { stack.KnownDevices(); }), BluetoothErrc::kFailed);
  // The reader stopped at its limit: what was sent is that plus what the socket buffers hold.
  EXPECT_LT(fake.Sent(), kMaxReply + 16 * block.size());
}

TEST_F(SimulatedStackTest, SilentSimulatorTimesOut) {
  platform::UnixListener listener = platform::UnixListener::Bind(Path(), 0600);
  listener.Listen(4);  // accepted by the kernel, never answered
  SimulatedBluetoothStack stack(Path(), {std::chrono::milliseconds(50)});
  EXPECT_EQ(KindOf([&] { stack.ConnectionRssi(0x5CF370123456); }), BluetoothErrc::kTimedOut);
}

TEST_F(SimulatedStackTest, RefusalKeepsItsKind) {
  FakeSimulator fake(Path(), "ERR notconnected no link to the phone\n");
  SimulatedBluetoothStack stack(Path());
  EXPECT_EQ(KindOf([&] { stack.ConnectionRssi(0x5CF370123456); }), BluetoothErrc::kNotConnected);
}

TEST_F(SimulatedStackTest, SimulatorOutlivesAClientThatNeverFinishesItsLine) {
  PhoneSimulator simulator(directory.Path() + "/sim", {std::chrono::milliseconds(50)});
  std::jthread server([&] { simulator.Run(); });
  platform::UnixStream stuck = platform::UnixStream::Connect(simulator.ControlPath());
  const std::string partial = "PIN";
  stuck.SendAll(std::span(reinterpret_cast<const uint8_t*>(partial.data()), partial.size()));
  EXPECT_TRUE(Call(simulator.ControlPath(), "PING", std::chrono::seconds(5)).ok);
  simulator.Stop();
}

// The radio check reads the state the simulator pushed; a change, the simulator's end included,
// must be seen by the very next check, without a control request in between.
TEST_F(SimulatedStackTest, RadioCheckSeesEachChangeAtOnce) {
  auto simulator = std::make_unique<PhoneSimulator>(directory.Path() + "/sim");
  std::jthread server([&] { simulator->Run(); });
  SimulatedBluetoothStack stack(simulator->ControlPath());
  ASSERT_EQ(stack.Radios().size(), 1u);
  EXPECT_EQ(stack.Radios()[0].name, "keystone-phone-sim");
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(simulator->Handle("RADIO off"), "OK\n");
    EXPECT_TRUE(stack.Radios().empty());
    EXPECT_FALSE(stack.CanReadConnectionRssi());
    ASSERT_EQ(simulator->Handle("RADIO on"), "OK\n");
    EXPECT_EQ(stack.Radios().size(), 1u);
    EXPECT_TRUE(stack.CanReadConnectionRssi());
  }
  simulator->Stop();
  server.join();
  simulator.reset();
  EXPECT_TRUE(stack.Radios().empty());
}

TEST_F(SimulatedStackTest, WatchersThatLeftDoNotUseUpTheSimulatorsSlots) {
  PhoneSimulator simulator(directory.Path() + "/sim");
  std::jthread server([&] { simulator.Run(); });
  for (size_t i = 0; i < 2 * kMaxRadioWatchers; ++i) {
    SimulatedBluetoothStack passing(simulator.ControlPath());
    ASSERT_EQ(passing.Radios().size(), 1u) << "watcher " << i;
  }
  simulator.Stop();
}

}  // namespace
}  // namespace phonesim
