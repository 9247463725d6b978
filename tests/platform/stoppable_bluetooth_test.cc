// The stack the engine stops before it waits for its calls: no waits on a phone outlive it.

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/bluetooth.h"

namespace platform {
namespace {

// A link whose waits last until it is aborted; counts the aborts it saw.
class HangingLink final : public BluetoothConnection {
 public:
  explicit HangingLink(std::atomic<int>& abortCount) : aborts(abortCount) {}
  void Send(std::span<const uint8_t>, Deadline) override {}
  bool WaitReadable(std::chrono::milliseconds limit) override {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, limit, [&] { return aborted; });
  }
  size_t Receive(std::span<uint8_t>) override { return 0; }
  void Close() override {}
  void Abort() noexcept override {
    std::lock_guard<std::mutex> lock(mutex);
    aborted = true;
    ++aborts;
    changed.notify_all();
  }

 private:
  std::atomic<int>& aborts;
  std::mutex mutex;
  std::condition_variable changed;
  bool aborted = false;
};

class OneRadioStack final : public BluetoothStack {
 public:
  std::vector<BluetoothRadio> Radios() override { return {{1, "hci0"}}; }
  BluetoothDeviceInfo DeviceInfo(BluetoothAddress address) override { return {address}; }
  std::vector<BluetoothDeviceInfo> KnownDevices() override { return {}; }
  std::vector<BluetoothDeviceInfo> Inquiry(uint8_t) override { return {}; }
  std::vector<BluetoothServiceRecord> LookupServices(BluetoothAddress) override { return {}; }
  std::unique_ptr<BluetoothConnection> Connect(BluetoothAddress, uint8_t, Deadline) override {
    return std::make_unique<HangingLink>(aborts);
  }
  int8_t ConnectionRssi(BluetoothAddress) override { return -40; }
  bool CanReadConnectionRssi() override { return true; }
  std::optional<int> DeviceNodeProblem(BluetoothAddress) override { return 0; }
  void SetDeviceNodeEnabled(BluetoothAddress, bool) override {}

  std::atomic<int> aborts{0};
};

// A closed link has given its descriptor back: Stop aborts only the open one.
TEST(StoppableBluetoothStackTest, StopEndsAWaitOnAnOpenLink) {
  auto inner = std::make_shared<OneRadioStack>();
  const auto stack = MakeStoppable(inner);
  stack->Connect(3, 1, kNoDeadline)->Close();
  const std::unique_ptr<BluetoothConnection> link = stack->Connect(2, 1, kNoDeadline);
  std::atomic<bool> woke{false};
  std::thread waiter([&] {
    link->WaitReadable(std::chrono::hours(1));
    woke = true;
  });
  stack->Stop();
  waiter.join();
  EXPECT_TRUE(woke);
  EXPECT_EQ(inner->aborts, 1);
}

TEST(StoppableBluetoothStackTest, AStoppedStackHasNoRadio) {
  const auto stack = MakeStoppable(std::make_shared<OneRadioStack>());
  EXPECT_EQ(stack->Radios().size(), 1u);
  stack->Stop();
  EXPECT_TRUE(stack->Radios().empty());
  EXPECT_FALSE(stack->CanReadConnectionRssi());
  try {
    stack->Connect(2, 1, kNoDeadline);
    ADD_FAILURE() << "a stopped stack opened a link";
  } catch (const BluetoothError& e) {
    EXPECT_EQ(e.Kind(), BluetoothErrc::kNoRadio);
  }
}

}  // namespace
}  // namespace platform
