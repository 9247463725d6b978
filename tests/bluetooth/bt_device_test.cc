#include "bluetooth/bt_device.h"

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "bluetooth/bluetooth_exceptions.h"
#include "bluetooth/bt_device_ble.h"
#include "bluetooth/bt_device_classic.h"
#include "bluetooth/bt_device_legacy.h"
#include "common/task_group.h"
#include "tests/bluetooth/fake_bt_provider.h"
#include "tests/fakes/eventually.h"

namespace mfab {
namespace {

using keystone::testing::Eventually;
using keystone::testing::FakeBtProvider;
using keystone::testing::FakeBtProviderFactory;
using keystone::testing::ManualClock;
using std::chrono::milliseconds;
using Op = FakeBtProvider::Op;

const Bytes kClassicId{0xAA, 0xBB, 0xCC, 0x0D, 0x0E, 0x0F, 0x01, 0x00};
const Bytes kBleId{0xAA, 0xBB, 0xCC, 0x0D, 0x0E, 0x0F, 0x02, 0x00};
const std::string kAddress = "aa:bb:cc:0d:0e:0f";
const Bytes kMessage{0x01, 0x02, 0x03};

std::exception_ptr Timeout() {
  return std::make_exception_ptr(BluetoothProvider::ProviderTimeoutPassed());
}
std::exception_ptr General(uint32_t code = 0x2746) {
  return std::make_exception_ptr(BluetoothProvider::ProviderGeneralException(code, "link lost"));
}

class BtDeviceTest : public ::testing::Test {
 protected:
  BtDeviceTest() {
    factory.Set(kClassicProviderType, provider);
    factory.Set(kBleProviderType, provider);
  }

  BtDeviceContext Context() { return BtDeviceContext{factory, clock, tasks, options}; }

  ManualClock clock;
  std::shared_ptr<FakeBtProvider> provider = std::make_shared<FakeBtProvider>();
  FakeBtProviderFactory factory;
  // The monitor checks seldom, so the readings a test queues reach the device's own reads.
  BtDeviceOptions options = keystone::testing::FastManagerOptions().device;
  // Declared after what the tasks use, so they end first.
  keystone::TaskGroup tasks;
};

using ClassicBtDeviceTest = BtDeviceTest;

TEST_F(ClassicBtDeviceTest, ConnectWaitsForMonitorConnection) {
  ClassicBtDevice device(Context(), kAddress, kClassicId);
  device.Connect();
  EXPECT_TRUE(device.IsConnected());
  EXPECT_TRUE(device.IsMonitorRunning());
  EXPECT_EQ(provider->LastAddress(), kAddress);
  EXPECT_EQ(provider->LastServiceClass(), kPhoneServiceClassId);
}

TEST_F(ClassicBtDeviceTest, MonitorEndsAfterFiveFailedAttempts) {
  provider->ThrowOn(Op::kConnect, General(), 5);
  ClassicBtDevice device(Context(), kAddress, kClassicId);
  EXPECT_THROW(device.Connect(), BluetoothExceptions::NotResponsiveException);
  EXPECT_EQ(provider->Calls(Op::kConnect), 5);
  EXPECT_FALSE(device.IsMonitorRunning());
  // A later Connect starts a new monitor, which connects.
  device.Connect();
  EXPECT_TRUE(device.IsConnected());
}

TEST_F(ClassicBtDeviceTest, MonitorEndsOnFirstFailureOnceConnected) {
  options.monitorCheckPeriod = milliseconds(1);
  ClassicBtDevice device(Context(), kAddress, kClassicId);
  device.Connect();
  provider->ThrowOn(Op::kRssi, General());
  ASSERT_TRUE(Eventually([&] { return !device.IsMonitorRunning(); }));
  EXPECT_FALSE(device.IsConnected());
  EXPECT_TRUE(provider->OpenHandles().empty());
}

TEST_F(ClassicBtDeviceTest, NonInteractiveReplyTimeoutIsRetriedOnce) {
  ClassicBtDevice device(Context(), kAddress, kClassicId);
  provider->ThrowOn(Op::kReceive, Timeout());
  EXPECT_EQ(device.SendAndReceive(kMessage, false), kMessage);
  EXPECT_EQ(provider->Sent().size(), 2u);
  EXPECT_EQ(provider->TimeoutsAsked(), (std::vector<uint32_t>{3000, 3000}));
}

TEST_F(ClassicBtDeviceTest, InteractiveReplyTimeoutReturnsEmptyReply) {
  ClassicBtDevice device(Context(), kAddress, kClassicId);
  provider->ThrowOn(Op::kReceive, Timeout());
  EXPECT_TRUE(device.SendAndReceive(kMessage, true).empty());
  EXPECT_EQ(provider->Sent().size(), 1u);
  EXPECT_EQ(provider->TimeoutsAsked(), (std::vector<uint32_t>{45000}));
  EXPECT_GE(provider->Calls(Op::kDisconnect), 1);
}

TEST_F(ClassicBtDeviceTest, SecondFailedExchangePropagates) {
  ClassicBtDevice device(Context(), kAddress, kClassicId);
  provider->ThrowOn(Op::kSend, General(), 2);
  EXPECT_THROW(device.SendAndReceive(kMessage, false), BluetoothProvider::ProviderGeneralException);
  // The device is usable again afterwards.
  EXPECT_EQ(device.SendAndReceive(kMessage, false), kMessage);
}

TEST_F(ClassicBtDeviceTest, RadioLossMidMessageIsRetriedOnNewConnection) {
  ClassicBtDevice device(Context(), kAddress, kClassicId);
  provider->ThrowOn(Op::kReceive,
                    std::make_exception_ptr(BluetoothProvider::RadioNotAvailableException()));
  EXPECT_EQ(device.SendAndReceive(kMessage, true), kMessage);
  EXPECT_EQ(provider->Sent().size(), 2u);
  EXPECT_EQ(provider->OpenHandles().size(), 1u);
}

TEST_F(ClassicBtDeviceTest, OutOfRangeSendLeavesConnectionAlone) {
  ClassicBtDevice device(Context(), kAddress, kClassicId);
  provider->QueueRssi({-50, -90});  // the monitor's check, then the device's readings
  EXPECT_EQ(device.GetState(true), OUT_OF_RANGE);
  const int connects = provider->Calls(Op::kConnect);
  EXPECT_TRUE(device.SendAndReceive(kMessage, false).empty());
  EXPECT_TRUE(provider->Sent().empty());
  EXPECT_EQ(provider->Calls(Op::kConnect), connects);
}

TEST_F(ClassicBtDeviceTest, ReadingFailureDropsConnection) {
  ClassicBtDevice device(Context(), kAddress, kClassicId);
  device.Connect();
  // The monitor's two checks (on connecting, then on its first round) come first.
  ASSERT_TRUE(Eventually([&] { return provider->Calls(Op::kRssi) == 2; }));
  provider->ThrowOn(Op::kRssi, General());
  try {
    device.GetRSSI(true);
    FAIL() << "no exception";
  } catch (const BluetoothProvider::BluetoothProviderException&) {
    FAIL() << "the provider's exception escaped";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "link lost");
  }
  EXPECT_GE(provider->Calls(Op::kDisconnect), 1);
}

TEST_F(ClassicBtDeviceTest, EstablishConnectionReconnects) {
  ClassicBtDevice device(Context(), kAddress, kClassicId);
  device.Connect();
  EXPECT_TRUE(device.EstablishConnection());
  EXPECT_TRUE(device.IsConnected());
  EXPECT_EQ(provider->OpenHandles().size(), 1u);
}

TEST_F(ClassicBtDeviceTest, EstablishConnectionFailsWithoutPhone) {
  options.pollsWhenMonitorStarts = 50;
  options.pollsWhenMonitorRuns = 50;
  provider->ThrowOn(Op::kConnect, General(), 100);
  ClassicBtDevice device(Context(), kAddress, kClassicId);
  EXPECT_FALSE(device.EstablishConnection());
}

using BtDeviceStateTest = BtDeviceTest;

TEST_F(BtDeviceStateTest, TakesReadingsUntilDecided) {
  BLEDevice device(Context(), kAddress, kBleId);
  provider->QueueRssi({-50});
  EXPECT_EQ(device.GetState(true), IN_RANGE);
  EXPECT_EQ(provider->Calls(Op::kRssi), 6);
}

TEST_F(BtDeviceStateTest, SilentPhoneExhaustsReadingBudget) {
  BLEDevice device(Context(), kAddress, kBleId);
  provider->QueueRssi({0});  // no signal: the mean stays 0.0
  EXPECT_THROW(device.GetState(true), BluetoothExceptions::InternalErrorException);
  EXPECT_EQ(provider->Calls(Op::kRssi), 100);
}

TEST_F(BtDeviceStateTest, StrongBestReadingAnswersQuickCheck) {
  factory.SetLegacyBleLoaded(true);
  BLEDevice device(Context(), kAddress, kBleId);
  provider->QueueRssi({-90, -60, -90});
  EXPECT_EQ(device.GetState(false), IN_RANGE);
  EXPECT_EQ(provider->Calls(Op::kRssi), 2);
}

TEST_F(BtDeviceStateTest, BleQuickCheckWaitsForDecision) {
  BLEDevice device(Context(), kAddress, kBleId);
  provider->QueueRssi({-90, -60, -90});
  EXPECT_EQ(device.GetState(false), OUT_OF_RANGE);
  EXPECT_EQ(provider->Calls(Op::kRssi), 6);
}

struct Settlement {
  int readingsAfterInRange;  // -73 readings 1 s apart: 5 give NEED_MORE_DATA
  int32_t decision;
  int32_t expected;
};

class BtDeviceSettlementTest : public BtDeviceTest,
                               public ::testing::WithParamInterface<Settlement> {};

TEST_P(BtDeviceSettlementTest, OutsideDecisionSettlesOnlyNeedMoreData) {
  BLEDevice device(Context(), kAddress, kBleId);
  provider->QueueRssi({-50, -50, -50, -50, -50, -50, -73});
  device.GetState(true);
  for (int i = 0; i < GetParam().readingsAfterInRange; ++i) {
    clock.Advance(milliseconds(1000));
    device.GetRSSI(true);
  }
  device.UpdateProximityState(GetParam().decision);
  EXPECT_EQ(device.Proximity().state(), GetParam().expected);
  // A confirmed phone counts as in range.
  if (GetParam().expected == CONFIRMED_IN_RANGE) {
    EXPECT_EQ(device.GetState(true), IN_RANGE);
  }
}

INSTANTIATE_TEST_SUITE_P(Decisions, BtDeviceSettlementTest,
                         ::testing::Values(Settlement{5, IN_RANGE, CONFIRMED_IN_RANGE},
                                           Settlement{5, OUT_OF_RANGE, OUT_OF_RANGE},
                                           Settlement{5, NEED_MORE_DATA, NEED_MORE_DATA},
                                           Settlement{0, IN_RANGE, IN_RANGE},
                                           Settlement{0, OUT_OF_RANGE, IN_RANGE}));

using BleDeviceTest = BtDeviceTest;

TEST_F(BleDeviceTest, ConnectTimesOutWhenProviderHangs) {
  options.bleConnectWait = milliseconds(20);
  provider->CloseGate(Op::kConnect);
  BLEDevice device(Context(), kAddress, kBleId);
  EXPECT_THROW(device.Connect(), BluetoothExceptions::NotResponsiveException);
  EXPECT_FALSE(device.IsConnected());
  // The late connection is dropped by its own task.
  provider->OpenGate(Op::kConnect);
  tasks.WaitIdle();
  EXPECT_EQ(provider->Calls(Op::kDisconnect), 1);
  EXPECT_TRUE(provider->OpenHandles().empty());
}

TEST_F(BleDeviceTest, MissingProviderMakesPhoneUnresponsive) {
  FakeBtProviderFactory classicOnly;
  classicOnly.Set(kClassicProviderType, provider);
  BLEDevice device(BtDeviceContext{classicOnly, clock, tasks, options}, kAddress, kBleId);
  EXPECT_THROW(device.SendAndReceive(kMessage, false), BluetoothExceptions::NotResponsiveException);
}

TEST_F(BleDeviceTest, FailedSendIsRetriedOnNewConnection) {
  BLEDevice device(Context(), kAddress, kBleId);
  provider->ThrowOn(Op::kSend, General());
  EXPECT_EQ(device.SendAndReceive(kMessage, false), kMessage);
  EXPECT_EQ(provider->Calls(Op::kConnect), 2);
  EXPECT_EQ(provider->OpenHandles().size(), 1u);
}

TEST_F(BleDeviceTest, FailedRetryMakesPhoneUnresponsive) {
  BLEDevice device(Context(), kAddress, kBleId);
  provider->ThrowOn(Op::kSend, General(), 2);
  EXPECT_THROW(device.SendAndReceive(kMessage, false), BluetoothExceptions::NotResponsiveException);
  EXPECT_FALSE(device.IsConnected());
  EXPECT_EQ(device.SendAndReceive(kMessage, false), kMessage);
}

TEST_F(BleDeviceTest, InteractiveReplyTimeoutDropsConnection) {
  BLEDevice device(Context(), kAddress, kBleId);
  provider->ThrowOn(Op::kReceive, Timeout());
  EXPECT_TRUE(device.SendAndReceive(kMessage, true).empty());
  EXPECT_FALSE(device.IsConnected());
  EXPECT_TRUE(provider->OpenHandles().empty());
}

TEST_F(BleDeviceTest, HeldConnectionMutexTimesOut) {
  options.connectionMutexWait = milliseconds(20);
  provider->CloseGate(Op::kConnect);
  BLEDevice device(Context(), kAddress, kBleId);
  std::thread connecting([&] {
    try {
      device.Connect();
    } catch (const std::exception&) {
    }
  });
  ASSERT_TRUE(Eventually([&] { return provider->Calls(Op::kConnect) == 1; }));
  try {
    device.Disconnect();
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Wait for connection mutex has timed out");
  }
  provider->OpenGate(Op::kConnect);
  connecting.join();
}

TEST_F(BleDeviceTest, DestructionClosesConnection) {
  {
    BLEDevice device(Context(), kAddress, kBleId);
    device.Connect();
  }
  EXPECT_TRUE(provider->OpenHandles().empty());
}

using LegacyBtDeviceTest = BtDeviceTest;

TEST_F(LegacyBtDeviceTest, ProviderTypeIsDeviceType) {
  EXPECT_EQ(LegacyBtDevice(Context(), kAddress, kClassicId).GetProviderType(), 1u);
  EXPECT_EQ(LegacyBtDevice(Context(), kAddress, kBleId).GetProviderType(), 2u);
}

TEST_F(LegacyBtDeviceTest, InactivityDropsConnection) {
  options.legacyInactivity = milliseconds(30);
  LegacyBtDevice device(Context(), kAddress, kClassicId);
  device.Connect();
  ASSERT_TRUE(Eventually([&] { return !device.IsConnected(); }));
  EXPECT_TRUE(provider->OpenHandles().empty());
}

TEST_F(LegacyBtDeviceTest, FailedReadingReconnectsOnce) {
  LegacyBtDevice device(Context(), kAddress, kClassicId);
  provider->QueueRssi({-55});
  provider->ThrowOn(Op::kRssi, General());
  EXPECT_EQ(device.GetRSSI(true), -55);
  EXPECT_EQ(provider->Calls(Op::kConnect), 2);
  EXPECT_EQ(provider->OpenHandles().size(), 1u);
}

TEST_F(LegacyBtDeviceTest, SleepDisconnects) {
  LegacyBtDevice device(Context(), kAddress, kClassicId);
  device.Connect();
  device.DisconnectOnSleep();
  EXPECT_FALSE(device.IsConnected());
  device.ConnectOnResume();
  EXPECT_TRUE(device.IsConnected());
}

}  // namespace
}  // namespace mfab
