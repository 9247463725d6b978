#include "bluetooth/bt_manager.h"

#include <chrono>
#include <filesystem>
#include <functional>
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
#include "service/bluetooth_wiring.h"
#include "service/owned_resource_manager.h"
#include "tests/bluetooth/fake_bt_provider.h"
#include "tests/fakes/eventually.h"

namespace mfab {
namespace {

using keystone::testing::BtManagerHarness;
using keystone::testing::Eventually;
using keystone::testing::FakeBtProvider;
using Op = FakeBtProvider::Op;

const Bytes kClassicId{0xAA, 0xBB, 0xCC, 0x0D, 0x0E, 0x0F, 0x01, 0x00};
const Bytes kBleId{0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x02, 0x00};
const Bytes kMessage{0x42};
constexpr const char* kUser = "S-1-5-21-1-2-3-1000";
constexpr const char* kOtherUser = "S-1-5-21-1-2-3-1001";

BluetoothDevice Found(std::string name, std::string address, bool ble, bool paired = true) {
  return BluetoothDevice{std::move(name), std::move(address), paired, ble};
}

class BtManagerTest : public ::testing::Test {
 protected:
  BtManagerHarness env;
};

TEST_F(BtManagerTest, RejectsIdsOfWrongLength) {
  auto manager = env.Make();
  const std::vector<std::function<void(const Bytes&)>> operations = {
      [&](const Bytes& id) { manager->SendMessageToBtDevice(id, kMessage, false); },
      [&](const Bytes& id) { manager->EstablishConnectionWithBtDevice(id); },
      [&](const Bytes& id) { manager->GetRSSI(id, false); },
      [&](const Bytes& id) { manager->GetRSSI(id, true); },
      [&](const Bytes& id) { manager->GetDeviceStatus(id, true); },
      [&](const Bytes& id) { manager->CalibrateRssi(id); },
      [&](const Bytes& id) { manager->UpdateProximityState(id, IN_RANGE); },
      [&](const Bytes& id) { BtManager::ExtractMacAddressFromDeviceId(id); },
      [&](const Bytes& id) { BtManager::ExtractDeviceTypeFromDeviceId(id); },
  };
  for (const Bytes& id : {Bytes(7, 1), Bytes(9, 1), Bytes{}}) {
    for (size_t i = 0; i < operations.size(); ++i) {
      try {
        operations[i](id);
        ADD_FAILURE() << "operation " << i << " accepted " << id.size() << " bytes";
      } catch (const BluetoothExceptions::InvalidDeviceIdException& e) {
        EXPECT_STREQ(e.what(), "Bluetooth device's id is invalid");
        EXPECT_EQ(e.Code(), 1);
      }
    }
  }
  EXPECT_EQ(manager->DeviceCount(), 0u);
}

TEST_F(BtManagerTest, ExtractsAddressAndType) {
  EXPECT_EQ(BtManager::ExtractMacAddressFromDeviceId(kClassicId), "aa:bb:cc:0d:0e:0f");
  EXPECT_EQ(BtManager::ExtractDeviceTypeFromDeviceId(kClassicId), 1);
  EXPECT_EQ(BtManager::ExtractDeviceTypeFromDeviceId(Bytes{0, 0, 0, 0, 0, 0, 0x05, 0x01}), 0x105);
}

TEST_F(BtManagerTest, KeepsOneDevicePerId) {
  auto manager = env.Make();
  auto first = manager->SafelyGetDevice(kClassicId);
  EXPECT_EQ(manager->SafelyGetDevice(kClassicId), first);
  EXPECT_EQ(manager->DeviceCount(), 1u);
}

struct Choice {
  std::string build;
  Bytes id;
  const char* kind;
};

class BtManagerChoiceTest : public BtManagerTest, public ::testing::WithParamInterface<Choice> {};

TEST_P(BtManagerChoiceTest, PicksImplementationByGenerationAndType) {
  env.SetBuild(GetParam().build);
  auto manager = env.Make();
  auto device = manager->SafelyGetDevice(GetParam().id);
  const std::string kind = GetParam().kind;
  if (kind == "classic") {
    auto* classic = dynamic_cast<ClassicBtDevice*>(device.get());
    ASSERT_NE(classic, nullptr);
    EXPECT_TRUE(classic->IsMonitorRunning());
  } else if (kind == "ble") {
    EXPECT_NE(dynamic_cast<BLEDevice*>(device.get()), nullptr);
  } else {
    EXPECT_NE(dynamic_cast<LegacyBtDevice*>(device.get()), nullptr);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Generations, BtManagerChoiceTest,
    ::testing::Values(Choice{"22631", {1, 2, 3, 4, 5, 6, 0x01, 0x00}, "classic"},
                      Choice{"22631", {1, 2, 3, 4, 5, 6, 0x02, 0x00}, "ble"},
                      Choice{"22631", {1, 2, 3, 4, 5, 6, 0x05, 0x00}, "ble"},
                      Choice{"14393", {1, 2, 3, 4, 5, 6, 0x01, 0x00}, "legacy"},
                      Choice{"14393", {1, 2, 3, 4, 5, 6, 0x02, 0x00}, "legacy"},
                      Choice{"14394", {1, 2, 3, 4, 5, 6, 0x01, 0x00}, "classic"}));

TEST_F(BtManagerTest, RssiSupportOfTypeZeroAsksNoProvider) {
  auto manager = env.Make();
  const int before = env.factory->Requests();
  EXPECT_TRUE(manager->IsRSSISupported(0));
  EXPECT_FALSE(manager->IsRSSISupported(7));
  EXPECT_EQ(env.factory->Requests(), before);
  env.ble->SetRssiSupported(false);
  EXPECT_FALSE(manager->IsRSSISupported(2));
  EXPECT_TRUE(manager->IsRSSISupported(1));
}

TEST_F(BtManagerTest, SendWhileGoingToSleepReturnsEmptyReply) {
  auto manager = env.Make();
  env.sleeping = true;
  EXPECT_TRUE(manager->SendMessageToBtDevice(kClassicId, kMessage, false).empty());
  EXPECT_EQ(manager->GetRSSI(kClassicId, false), kNoRssi);
  EXPECT_EQ(manager->DeviceCount(), 0u);
}

TEST_F(BtManagerTest, SendWithoutRadioReturnsEmptyReplyUntilRadioReturns) {
  auto manager = env.Make();
  env.radio = false;
  EXPECT_TRUE(manager->SendMessageToBtDevice(kClassicId, kMessage, false).empty());
  EXPECT_EQ(manager->GetRSSI(kClassicId, false), kNoRssi);
  EXPECT_EQ(env.classic->Calls(Op::kConnect), 0);
  env.radio = true;
  EXPECT_EQ(manager->SendMessageToBtDevice(kClassicId, kMessage, false), kMessage);
}

// Threads of this process, from the kernel's list.
size_t ThreadCount() {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry :
       std::filesystem::directory_iterator("/proc/self/task")) {
    ++count;
  }
  return count;
}

TEST_F(BtManagerTest, LeavesNoThreadBehind) {
  // A sanitizer starts a helper thread of its own at the first thread created: let that happen first.
  std::thread([] {}).join();
  const size_t before = ThreadCount();
  {
    auto options = keystone::testing::FastManagerOptions();
    options.scanLimit = std::chrono::milliseconds(10);
    options.device.bleConnectWait = std::chrono::milliseconds(10);
    env.classic->CloseGate(Op::kScan);
    env.ble->CloseGate(Op::kConnect);
    auto manager = env.Make(options);
    manager->SendMessageToBtDevice(kClassicId, kMessage, false);
    EXPECT_THROW(manager->Scan(1), BluetoothProvider::ScanFailedException);
    EXPECT_THROW(manager->SendMessageToBtDevice(kBleId, kMessage, false),
                 BluetoothExceptions::NotResponsiveException);
    EXPECT_GT(ThreadCount(), before);
    // The abandoned scan and connect end once their providers answer.
    env.classic->OpenGate(Op::kScan);
    env.ble->OpenGate(Op::kConnect);
  }
  EXPECT_EQ(ThreadCount(), before);
  EXPECT_TRUE(env.classic->OpenHandles().empty());
  EXPECT_TRUE(env.ble->OpenHandles().empty());
}

TEST_F(BtManagerTest, ContinuousRssiNeedsKnownDevice) {
  auto manager = env.Make();
  EXPECT_THROW(manager->GetRSSI(kBleId, true), BluetoothExceptions::InvalidDeviceIdException);
  env.ble->QueueRssi({-61});
  EXPECT_EQ(manager->GetRSSI(kBleId, false), -61);
  EXPECT_EQ(manager->GetRSSI(kBleId, true), -61);
}

TEST_F(BtManagerTest, FailedInteractiveBleSendIsRetriedOnce) {
  auto manager = env.Make();
  env.ble->ThrowOn(Op::kConnect,
                   std::make_exception_ptr(BluetoothProvider::ConnectionFailedException()));
  EXPECT_EQ(manager->SendMessageToBtDevice(kBleId, kMessage, true), kMessage);
  EXPECT_EQ(env.ble->Calls(Op::kConnect), 2);
}

TEST_F(BtManagerTest, FailedNonInteractiveBleSendIsNotRetried) {
  auto manager = env.Make();
  env.ble->ThrowOn(Op::kConnect,
                   std::make_exception_ptr(BluetoothProvider::ConnectionFailedException()));
  EXPECT_THROW(manager->SendMessageToBtDevice(kBleId, kMessage, false),
               BluetoothExceptions::NotResponsiveException);
  EXPECT_EQ(env.ble->Calls(Op::kConnect), 1);
}

TEST_F(BtManagerTest, StartupCreatesLastActiveDevice) {
  env.SetAndroidDevice("aa:bb:cc:0d:0e:0f:01:00");
  auto manager = env.Make();
  EXPECT_TRUE(manager->HasDevice(kClassicId));
  EXPECT_EQ(env.ble->Calls(Op::kSetup), 1);
}

TEST_F(BtManagerTest, MissingLastActiveDeviceIsReported) {
  auto manager = env.Make();
  try {
    manager->LoadLastActiveAndroidDevice();
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "No active device exists. ");
  }
  EXPECT_EQ(manager->DeviceCount(), 0u);
}

struct AndroidDeviceText {
  std::string text;
  Bytes id;  // empty: refused
};

class AndroidDeviceTest : public ::testing::TestWithParam<AndroidDeviceText> {};

TEST_P(AndroidDeviceTest, ParsesPairs) {
  if (GetParam().id.empty()) {
    EXPECT_THROW(ParseAndroidDevice(GetParam().text), std::invalid_argument);
  } else {
    EXPECT_EQ(ParseAndroidDevice(GetParam().text), GetParam().id);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, AndroidDeviceTest,
    ::testing::Values(AndroidDeviceText{"aa:bb:cc:0d:0e:0f:01:00", kClassicId},
                      AndroidDeviceText{"AA-BB-CC-0D-0E-0F-01-00-", kClassicId},
                      AndroidDeviceText{"1122", {}}, AndroidDeviceText{"11:2", {}},
                      AndroidDeviceText{"11:zz", {}}, AndroidDeviceText{std::string(66, '1'), {}}));

struct RecordCase {
  BluetoothDevice device;
  Bytes expected;  // the record's 56 bytes
};

Bytes Record(uint32_t paired, Bytes address, const std::string& name, uint32_t type) {
  Bytes record(kScanRecordSize, 0);
  record[0] = static_cast<uint8_t>(paired);
  std::copy(address.begin(), address.end(), record.begin() + 4);
  std::copy(name.begin(), name.end(), record.begin() + 10);
  record[52] = static_cast<uint8_t>(type);
  return record;
}

class ScanRecordTest : public ::testing::TestWithParam<RecordCase> {};

TEST_P(ScanRecordTest, PacksFields) {
  const auto record = PackScanRecord(GetParam().device);
  EXPECT_EQ(Bytes(record.begin(), record.end()), GetParam().expected);
}

const std::string kLongName(50, 'n');
// 40 ASCII bytes and a 2-byte character: the character does not fit in 41 bytes.
const std::string kCutName = std::string(40, 'x') + "\xC3\xA9";

INSTANTIATE_TEST_SUITE_P(
    Records, ScanRecordTest,
    ::testing::Values(RecordCase{Found("Pixel", "AA:BB:CC:0D:0E:0F", false),
                                 Record(1, {0xAA, 0xBB, 0xCC, 0x0D, 0x0E, 0x0F}, "Pixel", 1)},
                      RecordCase{Found("Tag", "01:02:03:04:05:06", true, false),
                                 Record(0, {1, 2, 3, 4, 5, 6}, "Tag", 2)},
                      RecordCase{Found(kLongName, "01:02:03:04:05:06", false),
                                 Record(1, {1, 2, 3, 4, 5, 6}, std::string(41, 'n'), 1)},
                      RecordCase{Found(kCutName, "01:02:03:04:05:06", false),
                                 Record(1, {1, 2, 3, 4, 5, 6}, std::string(40, 'x'), 1)},
                      RecordCase{Found("Odd", "1:02:03:04:05:06", false), Record(1, {}, "Odd", 1)},
                      RecordCase{Found("Odd", "01-02-03-04-05-06", false),
                                 Record(1, {}, "Odd", 1)}));

// The addresses of packed scan records, in order.
std::vector<std::string> Addresses(const Bytes& packed) {
  std::vector<std::string> out;
  for (size_t at = 0; at + kScanRecordSize <= packed.size(); at += kScanRecordSize) {
    char text[18];
    std::snprintf(text, sizeof(text), "%02X:%02X:%02X:%02X:%02X:%02X", packed[at + 4],
                  packed[at + 5], packed[at + 6], packed[at + 7], packed[at + 8], packed[at + 9]);
    out.emplace_back(text);
  }
  return out;
}

using BtManagerScanTest = BtManagerTest;

TEST_F(BtManagerScanTest, ClassicWithoutRssiSupportIsRefused) {
  env.classic->SetRssiSupported(false);
  auto manager = env.Make();
  try {
    manager->Scan(1);
    FAIL() << "no exception";
  } catch (const BluetoothExceptions::UnsupportedFactorException& e) {
    EXPECT_STREQ(e.what(), "BT Factor not supported");
    EXPECT_EQ(e.Code(), 6);
  }
  EXPECT_TRUE(manager->Scan(0).empty());
}

TEST_F(BtManagerScanTest, MergesBleAndValidatedClassicDevices) {
  env.ble->SetScanResult(
      {Found("Phone", "11:11:11:11:11:11", true), Found("Short", "22:22:22:22:22:2", true)});
  env.classic->SetScanResult({Found("Phone", "33:33:33:33:33:33", false),
                              Found("Laptop", "44:44:44:44:44:44", false),
                              Found("Phone", "55:55:55:55:55:55", false)});
  env.classic->SetValidAddresses({"55:55:55:55:55:55"});
  auto manager = env.Make();
  EXPECT_EQ(
      Addresses(manager->Scan(3)),
      (std::vector<std::string>{"11:11:11:11:11:11", "44:44:44:44:44:44", "55:55:55:55:55:55"}));
}

TEST_F(BtManagerScanTest, BothWithoutBleReturnsClassicDevices) {
  env.factory->Set(kBleProviderType, nullptr);
  env.classic->SetScanResult({Found("Laptop", "44:44:44:44:44:44", false)});
  auto manager = env.Make();
  EXPECT_EQ(Addresses(manager->Scan(3)), (std::vector<std::string>{"44:44:44:44:44:44"}));
  EXPECT_THROW(manager->Scan(2), BluetoothExceptions::UnsupportedFactorException);
}

TEST_F(BtManagerScanTest, LegacyBridgeSkipsClassicPass) {
  env.factory->SetLegacyBleLoaded(true);
  env.ble->SetScanResult({Found("Phone", "11:11:11:11:11:11", true)});
  env.classic->SetScanResult({Found("Laptop", "44:44:44:44:44:44", false)});
  auto manager = env.Make();
  EXPECT_EQ(Addresses(manager->Scan(3)), (std::vector<std::string>{"11:11:11:11:11:11"}));
  EXPECT_EQ(env.classic->Calls(Op::kScan), 0);
}

TEST_F(BtManagerScanTest, EnrolledPhonesAreLeftOut) {
  env.MirrorFactor("F-SECURE", "SecureBT");
  env.MirrorFactor("F-SOFT", "SoftBT");
  env.MirrorUserEntry(kUser, "F-SECURE", true, std::string("44:44:44:44:44:44") + '\0');
  env.MirrorUserEntry(kOtherUser, "F-SOFT", true, "66:66:66:66:66:66");
  env.MirrorUserEntry(kOtherUser, "F-SECURE", true, "55:55:55:55:55:55");
  env.classic->SetScanResult(
      {Found("A", "44:44:44:44:44:44", false), Found("B", "55:55:55:55:55:55", false),
       Found("C", "66:66:66:66:66:66", false), Found("D", "77:77:77:77:77:77", false)});
  auto manager = env.Make();
  // The other user's SoftBT entry wins over their SecureBT entry.
  EXPECT_EQ(Addresses(manager->Scan(1)),
            (std::vector<std::string>{"55:55:55:55:55:55", "77:77:77:77:77:77"}));
}

using BtManagerPowerTest = BtManagerTest;

TEST_F(BtManagerPowerTest, ConnectedClassicDeviceReconnectsAfterResume) {
  auto manager = env.Make();
  manager->SendMessageToBtDevice(kClassicId, kMessage, false);
  auto* classic = dynamic_cast<ClassicBtDevice*>(manager->SafelyGetDevice(kClassicId).get());
  ASSERT_NE(classic, nullptr);
  manager->HandlePowerSleepEvent();
  EXPECT_FALSE(classic->IsMonitorRunning());
  EXPECT_FALSE(classic->IsConnected());
  EXPECT_TRUE(env.classic->OpenHandles().empty());
  EXPECT_EQ(env.classic->Calls(Op::kTearDown), 1);
  manager->HandlePowerResumeEvent();
  EXPECT_EQ(env.classic->Calls(Op::kSetup), 1);
  EXPECT_TRUE(classic->IsMonitorRunning());
  ASSERT_TRUE(Eventually([&] { return classic->IsConnected(); }));
}

TEST_F(BtManagerPowerTest, ConnectedBleDeviceIsLeftAloneOverSleep) {
  auto manager = env.Make();
  manager->SendMessageToBtDevice(kBleId, kMessage, false);
  const int connects = env.ble->Calls(Op::kConnect);
  manager->HandlePowerSleepEvent();
  manager->HandlePowerResumeEvent();
  EXPECT_TRUE(manager->SafelyGetDevice(kBleId)->IsConnected());
  EXPECT_EQ(env.ble->Calls(Op::kConnect), connects);
  EXPECT_EQ(env.ble->Calls(Op::kTearDown), 1);
}

TEST_F(BtManagerPowerTest, SessionEventsReachBleProvider) {
  auto manager = env.Make();
  manager->HandleSessionUnlockEvent();
  manager->HandleSessionLockEvent();
  EXPECT_EQ(env.ble->SessionUnlocks(), 1);
  EXPECT_EQ(env.ble->SessionLocks(), 1);
  env.factory->Set(kBleProviderType, nullptr);
  EXPECT_NO_THROW(manager->HandleSessionUnlockEvent());
}

using BtManagerUserDataTest = BtManagerTest;

TEST_F(BtManagerUserDataTest, EnrolledUserKeepsDevices) {
  env.MirrorFactor("F-SECURE", "SecureBT");
  env.MirrorUserEntry(kUser, "F-SECURE", true);
  env.SetAndroidDevice("aa:bb:cc:0d:0e:0f:01:00");
  auto manager = env.Make();
  manager->UserDataUpdated(kUser);
  EXPECT_EQ(manager->DeviceCount(), 1u);
  EXPECT_TRUE(env.AndroidDevice().has_value());
}

TEST_F(BtManagerUserDataTest, UserWithoutEnrollmentDropsDevices) {
  env.MirrorFactor("F-SECURE", "SecureBT");
  env.MirrorUserEntry(kUser, "F-SECURE", false);
  env.SetAndroidDevice("aa:bb:cc:0d:0e:0f:01:00");
  auto manager = env.Make();
  manager->SendMessageToBtDevice(kClassicId, kMessage, false);
  manager->UserDataUpdated(kUser);
  EXPECT_EQ(manager->DeviceCount(), 0u);
  EXPECT_FALSE(env.AndroidDevice().has_value());
  EXPECT_EQ(env.ble->UserDataUpdates(), 1);
  EXPECT_TRUE(env.classic->OpenHandles().empty());
}

TEST_F(BtManagerUserDataTest, ClearDropsDevices) {
  env.SetAndroidDevice("11:22:33:44:55:66:02:00");
  auto manager = env.Make();
  ASSERT_TRUE(manager->HasDevice(kBleId));
  manager->ClearUserData();
  EXPECT_EQ(manager->DeviceCount(), 0u);
  EXPECT_FALSE(env.AndroidDevice().has_value());
  EXPECT_EQ(env.ble->UserDataClears(), 1);
}

TEST(BluetoothWiringTest, NoFactoryMeansNoManager) {
  BtManagerHarness env;
  OwnedResourceManager resources;
  EXPECT_EQ(
      MakeBluetoothManager(
          {env.clock, env.registry, *env.osVersion, env.mirroring, resources, nullptr, {}, {}}),
      nullptr);
}

TEST(BluetoothWiringTest, ManagerWorksBeforeResourceManagerExists) {
  BtManagerHarness env;
  OwnedResourceManager resources;
  auto manager = MakeBluetoothManager({env.clock, env.registry, *env.osVersion, env.mirroring,
                                       resources, env.factory, [] { return true; },
                                       keystone::testing::FastManagerOptions()});
  ASSERT_NE(manager, nullptr);
  manager->WaitForStartup(std::chrono::seconds(10));
  EXPECT_EQ(manager->SendMessageToBtDevice(kClassicId, kMessage, false), kMessage);
}

}  // namespace
}  // namespace mfab
