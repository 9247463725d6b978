#include "bluetooth/soft_bt_device.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "bluetooth/bluetooth_exceptions.h"
#include "tests/bluetooth/fake_bt_provider.h"
#include "tests/fakes/eventually.h"
#include "tests/fakes/log_capture.h"

namespace keystone::testing {
namespace {

using mfab::SoftBtDevice;
using namespace std::chrono_literals;

class SoftBtDeviceTest : public ::testing::Test {
 protected:
  SoftBtDeviceTest() : device(clock, {std::chrono::seconds(1), 1ms}) {}
  ~SoftBtDeviceTest() override { capture->Uninstall(); }

  // Runs a wait on its own thread; the test moves the manual clock.
  template <typename Wait>
  std::future<bool> Start(Wait wait) {
    return std::async(std::launch::async, wait);
  }
  // Advances the clock in steps until the wait ends; its result.
  bool AdvanceUntilDone(std::future<bool>& result) {
    while (result.wait_for(1ms) != std::future_status::ready) clock.Advance(500ms);
    return result.get();
  }

  std::shared_ptr<LogCapture> capture = LogCapture::Install();
  ManualClock clock;
  SoftBtDevice device;
};

TEST_F(SoftBtDeviceTest, ChangeRestartsCountAndStampsTime) {
  EXPECT_EQ(device.GetState(), SoftBtDevice::kInit);
  clock.Advance(3s);
  device.NotFound();
  const platform::Ticks changedAt = clock.SteadyNow();
  clock.Advance(2s);
  device.NotFound();
  device.NotFound();
  EXPECT_EQ(device.StateCount(), 3u);
  EXPECT_EQ(device.StateTime(), changedAt);
  device.Found();
  EXPECT_EQ(device.StateCount(), 1u);
  EXPECT_EQ(device.StateTime(), clock.SteadyNow());
  EXPECT_TRUE(capture->Has(">>>> NOT FOUND "));
  EXPECT_TRUE(capture->Has(">>>> FOUND "));
}

TEST_F(SoftBtDeviceTest, FoundAndUnknownAnswerWithoutWaiting) {
  for (auto set : {&SoftBtDevice::Found, &SoftBtDevice::Unknown}) {
    (device.*set)();
    // The clock never moves: a wait would not end.
    EXPECT_TRUE(device.IsFound(45));
  }
  EXPECT_TRUE(capture->Has(">>> UNKNOWN "));
  EXPECT_EQ(capture->Count("Device Found"), 2u);
}

TEST_F(SoftBtDeviceTest, InitWaitEndsWithTheFirstAnswer) {
  auto result = Start([this] { return device.IsFound(15); });
  ASSERT_TRUE(Eventually([this] { return capture->Has("IsFound with timeout of 15"); }));
  device.Found();
  EXPECT_TRUE(result.get());
  EXPECT_TRUE(capture->Has("Device state updated "));
  EXPECT_TRUE(capture->Has("Device FOUND"));
}

TEST_F(SoftBtDeviceTest, InitWaitEndsWhenNotFound) {
  auto result = Start([this] { return device.WaitForStatusChange(15); });
  device.NotFound();
  EXPECT_FALSE(result.get());
  EXPECT_TRUE(capture->Has("Device NOT_FOUND"));
}

TEST_F(SoftBtDeviceTest, InitWaitGivesUpAtItsDeadline) {
  const platform::Ticks start = clock.SteadyNow();
  auto result = Start([this] { return device.WaitForStatusChange(7); });
  EXPECT_FALSE(AdvanceUntilDone(result));
  EXPECT_GE(clock.SteadyNow() - start, platform::ToTicks(7s));
  EXPECT_TRUE(capture->Has("Device at INIT state"));
}

TEST_F(SoftBtDeviceTest, UnknownIsNotAChangeForTheInitWait) {
  auto result = Start([this] { return device.WaitForStatusChange(5); });
  device.Unknown();
  // Unknown does not end the wait, but once the deadline passes it counts as found.
  EXPECT_TRUE(AdvanceUntilDone(result));
  EXPECT_FALSE(capture->Has("Device state updated "));
}

TEST_F(SoftBtDeviceTest, NotFoundWaitsForFound) {
  device.NotFound();
  auto result = Start([this] { return device.IsFound(5); });
  ASSERT_TRUE(Eventually([this] { return capture->Has("IsFound with timeout of 5"); }));
  device.Found();
  EXPECT_TRUE(result.get());
}

TEST_F(SoftBtDeviceTest, NotFoundWaitGivesUpAtItsDeadline) {
  device.NotFound();
  auto result = Start([this] { return device.WaitForStatusFound(5); });
  device.Unknown();  // not Found: the wait goes on
  EXPECT_FALSE(AdvanceUntilDone(result));
  EXPECT_TRUE(capture->Has("Device not Found"));
}

TEST_F(SoftBtDeviceTest, ResetForgetsState) {
  device.Found();
  device.Reset("aa:bb:cc:dd:ee:ff");
  EXPECT_EQ(device.GetState(), SoftBtDevice::kInit);
  EXPECT_EQ(device.Address(), "aa:bb:cc:dd:ee:ff");
  EXPECT_TRUE(capture->Has(">>>> INIT "));
}

TEST_F(SoftBtDeviceTest, IdMustBeEightBytes) {
  for (size_t size : {0u, 7u, 9u}) {
    EXPECT_THROW(SoftBtDevice::ValidateDeviceId(mfab::Bytes(size, 1)),
                 BluetoothExceptions::InvalidDeviceIdException)
        << size;
  }
  EXPECT_TRUE(capture->Has("Device ID size is 7"));
  EXPECT_EQ(SoftBtDevice::ExtractMacAddressFromDeviceId({0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6, 1, 0}),
            "a1:b2:c3:d4:e5:f6");
}

}  // namespace
}  // namespace keystone::testing
