// The BlueZ facility on a host whose kernel has no Bluetooth (this build's machines): every
// call answers "no radio", none hangs or crashes.

#include <gtest/gtest.h>

#include "platform/bluetooth.h"

namespace platform {
namespace {

TEST(BluezBluetoothTest, KernelWithoutBluetoothIsAStackWithNoRadio) {
  if (KernelHasBluetooth()) GTEST_SKIP() << "this kernel has Bluetooth";
  const std::shared_ptr<BluetoothStack> stack = SystemBluetoothStack();
  EXPECT_TRUE(stack->Radios().empty());
  EXPECT_FALSE(stack->CanReadConnectionRssi());
  EXPECT_FALSE(stack->DeviceNodeProblem(0x001122334455).has_value());
  const auto noRadio = [](auto call) {
    try {
      call();
      return false;
    } catch (const BluetoothError& e) {
      return e.Kind() == BluetoothErrc::kNoRadio;
    }
  };
  EXPECT_TRUE(noRadio([&] { stack->DeviceInfo(0x001122334455); }));
  EXPECT_TRUE(noRadio([&] { stack->KnownDevices(); }));
  EXPECT_TRUE(noRadio([&] { stack->Inquiry(1); }));
  EXPECT_TRUE(noRadio([&] { stack->LookupServices(0x001122334455); }));
  EXPECT_TRUE(noRadio([&] { stack->Connect(0x001122334455, 3, DeadlineAfter(std::chrono::seconds(1))); }));
  EXPECT_TRUE(noRadio([&] { stack->ConnectionRssi(0x001122334455); }));
  EXPECT_TRUE(noRadio([&] { stack->SetDeviceNodeEnabled(0x001122334455, true); }));
}

}  // namespace
}  // namespace platform
