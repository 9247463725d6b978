#include <gtest/gtest.h>
#include <stdlib.h>
#include <systemd/sd-bus.h>

#include <filesystem>
#include <functional>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bluetooth/ble_bridge_loader.h"
#include "bluetooth/gatt10_bridge.h"
#include "bluetooth/provider_factory.h"
#include "common/config_keys.h"
#include "platform/os_version.h"
#include "platform/registry.h"
#include "platform/signed_file_verifier.h"
#include "tests/fakes/fake_logind.h"
#include "tests/fakes/log_capture.h"
#include "tests/fakes/memory_registry.h"
#include "tests/fakes/program_paths.h"
#include "tests/fakes/program_runner.h"
#include "tests/fakes/test_signing.h"

namespace mfab {
namespace {

using keystone::testing::CopySigned;
using keystone::testing::LogCapture;
using keystone::testing::TempDirectory;
using keystone::testing::ThumbprintOf;

constexpr const char* kSimBridge = KEYSTONE_SIM_BLE_BRIDGE;
constexpr char kPhone[] = "A0:B1:C2:D3:E4:F5";
constexpr char kNoServicePhone[] = "10:20:30:40:50:60";

class BleBridgeTest : public ::testing::Test {
 public:  // the refusal table arranges through it
  void SetUp() override {
    log = LogCapture::Install();
    ::setenv("KEYSTONE_SIM_BLE_DEVICES",
             (std::string(kPhone) + "=Pixel BLE=-48;" + kNoServicePhone + "=Mute=-70=noservice")
                 .c_str(),
             1);
    ::unsetenv("KEYSTONE_SIM_BLE_FACTORY");
    Trust(keystone::testing::kTestSignerCert);
  }
  void TearDown() override {
    log->Uninstall();
    ::unsetenv("KEYSTONE_SIM_BLE_DEVICES");
    ::unsetenv("KEYSTONE_SIM_BLE_FACTORY");
  }

  void Trust(const std::string& certificate) {
    platform::WriteRegistryValue(registry, keystone::kEngineKey, keystone::kTrustedSignersValue,
                                 platform::RegValue::MultiString({ThumbprintOf(certificate)}));
  }
  void SetVersion(uint32_t major, const std::string& build) {
    platform::WriteRegistryValue(registry, keystone::kWindowsCurrentVersionKey,
                                 "CurrentMajorVersionNumber", platform::RegValue::Dword(major));
    platform::WriteRegistryValue(registry, keystone::kWindowsCurrentVersionKey,
                                 "CurrentBuildNumber", platform::RegValue::String(build));
  }
  // Installs the simulated bridge under a bridge file name.
  std::string Install(const std::string& name, const std::string& suffix = ".sig") {
    return CopySigned(kSimBridge, dir.Path(), name, suffix);
  }
  BtProviderFactory::Creator Creator() {
    return MakeBleBridgeCreator({registry, verifier, platform::CreateOsVersion(registry), dir.Path()});
  }
  std::shared_ptr<IBTProvider> Load() { return Creator()(); }

  std::shared_ptr<LogCapture> log;
  keystone::testing::MemoryRegistry registry;
  std::shared_ptr<platform::SignedFileVerifier> verifier = platform::CreateSignedFileVerifier();
  TempDirectory dir;
};

TEST_F(BleBridgeTest, SignedBridgeServesItsDevices) {
  Install(kGatt10Rs2BridgeFile);
  const auto provider = Load();
  provider->Setup();
  const std::vector<BluetoothDevice> found = provider->ScanDevices(0);
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].name, "Pixel BLE");
  EXPECT_EQ(found[0].address, kPhone);
  EXPECT_TRUE(found[0].isBle);
  EXPECT_TRUE(found[0].authenticated);

  const uint32_t handle = provider->Connect({"", "a0:b1:c2:d3:e4:f5"}, kPhoneServiceClassId);
  EXPECT_EQ(provider->Connect({"", kPhone}, kPhoneServiceClassId), handle);
  provider->Send(handle, {0x01, 0xF0});
  Bytes reply;
  provider->Receive(handle, 1000, reply);
  EXPECT_EQ(reply, (Bytes{0xFE, 0x0F}));
  EXPECT_EQ(provider->GetDeviceRssi({"", kPhone}, true), -48);
}

TEST_F(BleBridgeTest, BridgeResultCodesBecomeProviderExceptions) {
  Install(kGatt10Rs2BridgeFile);
  const auto provider = Load();
  EXPECT_THROW(provider->Connect({"", "00:00:00:00:00:01"}, kPhoneServiceClassId),
               BluetoothProvider::ConnectionFailedException);
  EXPECT_THROW(provider->Connect({"", kNoServicePhone}, kPhoneServiceClassId),
               BluetoothProvider::ProviderServiceNotFoundException);
  const uint32_t handle = provider->Connect({"", kPhone}, kPhoneServiceClassId);
  Bytes reply;
  EXPECT_THROW(provider->Receive(handle, 1, reply), BluetoothProvider::ProviderTimeoutPassed);
  provider->Disconnect(handle);
  EXPECT_THROW(provider->GetDeviceRssi({"", kPhone}, true),
               BluetoothProvider::ConnectionFailedException);
}

TEST_F(BleBridgeTest, LibraryLogLinesReachTheBluetoothLog) {
  Install(kGatt10Rs2BridgeFile);
  Load()->Setup();
  bool forwarded = false;
  for (const auto& entry : log->Entries()) {
    if (entry.record.message == "setup") {
      forwarded = true;
      EXPECT_EQ(entry.sink, LogSink::kBt);
      EXPECT_EQ(entry.record.operation, "GattW10");
      EXPECT_EQ(entry.record.function, "Gatt10Bridge::WriteLog");
    }
  }
  EXPECT_TRUE(forwarded);
}

struct RefusalCase {
  const char* name;
  std::function<void(BleBridgeTest&)> arrange;
  const char* line;
};

TEST_F(BleBridgeTest, UntrustedBridgesAreRefusedWithTheirLine) {
  const std::string file = kGatt10Rs2BridgeFile;
  const RefusalCase cases[] = {
      {"missing", [](BleBridgeTest&) {}, "Load  GetFullPath failure"},
      {"unsigned",
       [&file](BleBridgeTest& t) {
         std::filesystem::remove(t.Install(file) + ".sig");
       },
       "Load  VerifyFileSignature failure"},
      {"tampered",
       [&file](BleBridgeTest& t) {
         std::ofstream(t.Install(file), std::ios::binary | std::ios::app).put('\0');
       },
       "Load  VerifyFileSignature failure"},
      {"foreign signer", [&file](BleBridgeTest& t) { t.Install(file, ".foreign-sig"); },
       "Load  VerifyFileCertificate failure"},
  };
  for (const RefusalCase& c : cases) {
    std::filesystem::remove_all(dir.File(file));
    std::filesystem::remove_all(dir.File(file + ".sig"));
    log->Clear();
    c.arrange(*this);
    BtProviderFactory factory(nullptr, Creator());
    EXPECT_THROW(factory.GetProvider(kBleProviderType),
                 BluetoothProvider::InvalidProviderTypeException)
        << c.name;
    EXPECT_TRUE(log->Has(c.line)) << c.name;
    EXPECT_FALSE(factory.HasProvider(kBleProviderType)) << c.name;
  }
}

TEST_F(BleBridgeTest, FactoryThatReturnsNullIsALoadFailure) {
  Install(kGatt10Rs2BridgeFile);
  ::setenv("KEYSTONE_SIM_BLE_FACTORY", "null", 1);
  EXPECT_THROW(Load(), BluetoothProvider::LoadDllFailed);
  EXPECT_TRUE(log->Contains("returned no object"));
}

TEST_F(BleBridgeTest, EarlyVersion10BuildLoadsTheFirstBridge) {
  SetVersion(10, "14393");
  Install(kGatt10Rs2BridgeFile);
  EXPECT_THROW(Load(), BluetoothProvider::LoadDllFailed);
  Install(kGatt10BridgeFile);
  EXPECT_NE(Load(), nullptr);
}

TEST_F(BleBridgeTest, OlderSystemLoadsTheLegacyBridgeSetUp) {
  SetVersion(6, "9600");
  Install(kLegacyBridgeFile);
  BtProviderFactory factory(nullptr, Creator());
  ASSERT_NE(factory.GetProvider(kBleProviderType), nullptr);
  EXPECT_TRUE(factory.LegacyBleLoaded());
  EXPECT_TRUE(log->Has("setup"));
}

TEST_F(BleBridgeTest, RegistryDirectoryIsWhereTheBridgeIsLoadedFrom) {
  Install(kGatt10Rs2BridgeFile);
  platform::WriteRegistryValue(registry, keystone::kEngineKey, kBleBridgeDirectoryValue,
                               platform::RegValue::String(dir.Path()));
  EXPECT_NE(MakeBleBridgeCreator({registry, verifier, platform::CreateOsVersion(registry), {}})(),
            nullptr);
}

TEST_F(BleBridgeTest, StateNamesTheFileAndWhyItIsRefused) {
  const auto osVersion = platform::CreateOsVersion(registry);
  BleBridgeState state = DescribeBleBridge(registry, *verifier, *osVersion, dir.Path());
  EXPECT_EQ(state.path, dir.File(kGatt10Rs2BridgeFile));
  EXPECT_EQ(state.reason, "missing");
  Install(kGatt10Rs2BridgeFile, ".foreign-sig");
  state = DescribeBleBridge(registry, *verifier, *osVersion, dir.Path());
  EXPECT_FALSE(state.trusted);
  EXPECT_EQ(state.reason, "signer-not-trusted");
  Install(kGatt10Rs2BridgeFile);
  state = DescribeBleBridge(registry, *verifier, *osVersion, dir.Path());
  EXPECT_TRUE(state.trusted);
  EXPECT_EQ(state.signer, ThumbprintOf(keystone::testing::kTestSignerCert));
}

TEST_F(BleBridgeTest, BluezBridgeOffersTheWholeCallTable) {
  CopySigned(KEYSTONE_BLUEZ_GATT_BRIDGE, dir.Path(), kGatt10Rs2BridgeFile);
  const auto provider = Load();
  ASSERT_NE(dynamic_cast<Gatt10Bridge*>(provider.get()), nullptr);
  EXPECT_FALSE(dynamic_cast<Gatt10Bridge*>(provider.get())->Legacy());
}

// BlueZ on a system bus of the test's own: the name org.bluez and an object manager at "/",
// listing one adapter (/org/bluez/hci0) or none. Serves from a thread of its own.
class FakeBluez {
 public:
  explicit FakeBluez(bool withAdapter) {
    if (!bus.Ready() || sd_bus_open_system(&connection) < 0) return;
    if (sd_bus_add_object_manager(connection, nullptr, "/") < 0) return;
    if (withAdapter &&
        sd_bus_add_object_vtable(connection, nullptr, "/org/bluez/hci0", "org.bluez.Adapter1",
                                 kAdapterTable, nullptr) < 0) {
      return;
    }
    if (sd_bus_request_name(connection, "org.bluez", 0) < 0) return;
    ready = true;
    server = std::jthread([this](std::stop_token stop) {
      while (!stop.stop_requested()) {
        while (sd_bus_process(connection, nullptr) > 0) {
        }
        sd_bus_wait(connection, 50'000);  // looks at the stop request every 50 ms
      }
    });
  }
  ~FakeBluez() {
    if (server.joinable()) {
      server.request_stop();
      server.join();
    }
    if (connection) sd_bus_flush_close_unref(connection);
  }
  FakeBluez(const FakeBluez&) = delete;
  FakeBluez& operator=(const FakeBluez&) = delete;

  bool Ready() const { return ready; }

 private:
  static constexpr sd_bus_vtable kAdapterTable[] = {SD_BUS_VTABLE_START(0), SD_BUS_VTABLE_END};

  keystone::testing::PrivateSystemBus bus;
  sd_bus* connection = nullptr;
  bool ready = false;
  std::jthread server;
};

// Where no adapter can be had, each call of the BlueZ bridge fails with its own code and one
// log line, and the engine's provider keeps working: no bus at all, a bus without BlueZ, and
// BlueZ without an adapter.
TEST_F(BleBridgeTest, BluezBridgeWithoutAnAdapterFailsEachCallCleanly) {
  CopySigned(KEYSTONE_BLUEZ_GATT_BRIDGE, dir.Path(), kGatt10Rs2BridgeFile);
  const auto provider = Load();
  const struct {
    const char* name;
    int32_t code;
    const char* line;
  } cases[] = {
      {"no system bus", -5, "system bus: "},
      {"no BlueZ on the bus", -5, "GetManagedObjects: "},
      {"BlueZ without an adapter", -19, "no Bluetooth adapter"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<keystone::testing::PrivateSystemBus> bareBus;
    std::unique_ptr<FakeBluez> bluez;
    if (c.code == -19) {
      bluez = std::make_unique<FakeBluez>(false);
      if (!bluez->Ready()) GTEST_SKIP() << "no dbus-daemon for a bus of the test's own";
    } else if (std::string(c.name) == "no BlueZ on the bus") {
      bareBus = std::make_unique<keystone::testing::PrivateSystemBus>();
      if (!bareBus->Ready()) GTEST_SKIP() << "no dbus-daemon for a bus of the test's own";
    } else {
      ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + dir.File("no-bus")).c_str(), 1);
    }
    // The bridge opens its bus on first use; tearing down drops it, so each case starts afresh.
    provider->TearDown();
    provider->Setup();
    try {
      provider->ScanDevices(0);
      ADD_FAILURE() << "the scan did not fail";
    } catch (const BluetoothProvider::ProviderGeneralException& e) {
      EXPECT_EQ(static_cast<int32_t>(e.Code()), c.code) << e.what();
    }
    EXPECT_THROW(provider->Connect({"", kPhone}, kPhoneServiceClassId),
                 BluetoothProvider::ProviderGeneralException);
    EXPECT_THROW(provider->GetDeviceRssi({"", kPhone}, true),
                 BluetoothProvider::ConnectionFailedException);
    EXPECT_TRUE(log->Contains(c.line));
    provider->TearDown();
    ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
  }
}

TEST_F(BleBridgeTest, BluezBridgeSetsUpOnTheFirstAdapter) {
  FakeBluez bluez(true);
  if (!bluez.Ready()) GTEST_SKIP() << "no dbus-daemon for a bus of the test's own";
  CopySigned(KEYSTONE_BLUEZ_GATT_BRIDGE, dir.Path(), kGatt10Rs2BridgeFile);
  const auto provider = Load();
  provider->Setup();
  EXPECT_TRUE(log->Contains("BlueZ GATT bridge set up on /org/bluez/hci0"));
  // BlueZ knows no device offering the phone application's service.
  EXPECT_TRUE(provider->ScanDevices(0).empty());
  provider->TearDown();
}

TEST(BridgeFileNameTest, GenerationPicksTheFile) {
  EXPECT_EQ(BridgeFileName(false, platform::kWin10Later), kLegacyBridgeFile);
  EXPECT_EQ(BridgeFileName(true, platform::kWin10Rs1), kGatt10BridgeFile);
  EXPECT_EQ(BridgeFileName(true, platform::kWin10Rs2), kGatt10Rs2BridgeFile);
  EXPECT_EQ(BridgeFileName(true, platform::kWin10Later), kGatt10Rs2BridgeFile);
}

TEST(SafeLibraryLoaderTest, LoggerIsRequired) {
  const auto verifier = platform::CreateSignedFileVerifier();
  EXPECT_THROW(SafeLibraryLoader(nullptr, *verifier), std::invalid_argument);
}

}  // namespace
}  // namespace mfab
