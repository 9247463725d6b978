// End to end: a real keystone-engine whose Bluetooth factor stands on simulated phones, driven
// over the client RPC as applications drive it, with the phones scripted through the
// simulator's control requests.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/config_keys.h"
#include "platform/registry.h"
#include "rpc/client/client.h"
#include "sim/phones/bluetooth_selection.h"
#include "sim/phones/phone_simulator.h"
#include "tests/fakes/engine_process.h"
#include "tests/fakes/program_paths.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using rpc::BtCallStatus;

constexpr auto kWaitLimit = 30s;
constexpr char kPhone[] = "5C:F3:70:12:34:56";
const Bytes kPhoneId{0x5C, 0xF3, 0x70, 0x12, 0x34, 0x56, 0x01, 0x00};
const Bytes kUnknownId{0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x01, 0x00};

Bytes Complement(const Bytes& message) {
  Bytes out(message);
  for (uint8_t& b : out) b = static_cast<uint8_t>(~b);
  return out;
}

class BtE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    using namespace keystone::testing;
    if (!*kEngineBinary || !*kKeystonectlBinary || !*kKilnSimLibrary) {
      GTEST_SKIP() << "keystone-engine, keystonectl or the simulated applet was not built";
    }
    simulator = std::make_unique<phonesim::PhoneSimulator>(engine.Root() + "/phones");
    server = std::jthread([this] { simulator->Run(); });
    Sim(std::string("ADD ") + kPhone + " 5A020C 1 Anna%27s%20phone");
    std::filesystem::create_directories(engine.StateDir());
    std::filesystem::permissions(engine.StateDir(), std::filesystem::perms(0755));
    {
      auto registry = platform::OpenRegistry(engine.StateDir() + "/registry.db");
      platform::WriteRegistryValue(*registry, keystone::kSecureBtKey,
                                   phonesim::kSimulatedPhonesValue,
                                   platform::RegValue::String(simulator->ControlPath()));
    }
    started = true;
    ASSERT_TRUE(engine.Start());
    client = std::make_unique<rpc::Client>(engine.RuntimeDir() + "/IVoxWithMfa");
  }
  void TearDown() override {
    if (started) {
      client.reset();
      EXPECT_EQ(engine.Stop(), 0) << "the engine did not stop cleanly";
    }
    if (simulator) simulator->Stop();
  }

  // One control request; the test fails when the simulator refuses it.
  void Sim(const std::string& line) {
    const std::string reply = simulator->Handle(line);
    ASSERT_EQ(reply.rfind("OK", 0), 0u) << line << ": " << reply;
  }

  // A non-interactive message to the phone; reply, when given, receives the phone's answer.
  BtCallStatus Send(const Bytes& message, Bytes* reply) {
    Bytes out(4096);
    int32_t size = static_cast<int32_t>(out.size());
    const BtCallStatus status = client->SendMessageToBtDeviceRpc(
        8, kPhoneId.data(), static_cast<int32_t>(message.size()), message.data(), 0, &size,
        out.data());
    out.resize(static_cast<size_t>(std::max(size, 0)));
    if (reply) *reply = std::move(out);
    return status;
  }
  BtCallStatus Connect(const Bytes& id) {
    return client->EstablishConnectionWithBtDeviceRpc(static_cast<int32_t>(id.size()), id.data());
  }
  BtCallStatus Rssi(bool mustExist, int16_t& rssi) {
    return client->GetRSSIRpc(8, kPhoneId.data(), mustExist ? 1 : 0, rssi);
  }
  BtCallStatus Status(int32_t& status) {
    return client->GetDeviceStatusRpc(8, kPhoneId.data(), 1, status);
  }
  // Sends until the phone's reply is the complement of the message, or time is up.
  bool EchoesWithin(const Bytes& message) {
    const auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
    do {
      Bytes reply;
      if (Send(message, &reply) == BtCallStatus::kSuccess && reply == Complement(message)) {
        return true;
      }
      std::this_thread::sleep_for(50ms);  // paces the retries
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
  }

  keystone::testing::EngineProcess engine{keystone::testing::kEngineBinary,
                                          keystone::testing::kKeystonectlBinary, kWaitLimit};
  std::unique_ptr<phonesim::PhoneSimulator> simulator;
  std::jthread server;
  bool started = false;
  std::unique_ptr<rpc::Client> client;
};

TEST_F(BtE2eTest, ReportsTooSmallOutputWithoutChangingItsSize) {
  ASSERT_EQ(Connect(kPhoneId), BtCallStatus::kSuccess);
  const Bytes message(64, 0x11);
  Bytes out(16);
  int32_t size = 16;
  EXPECT_EQ(client->SendMessageToBtDeviceRpc(8, kPhoneId.data(), 64, message.data(), 0, &size,
                                             out.data()),
            BtCallStatus::kBufferTooSmall);
  EXPECT_EQ(size, 16);
}

TEST_F(BtE2eTest, RefusesRssiOfAnUnknownDeviceThatMustExist) {
  int16_t rssi = 0;
  EXPECT_EQ(client->GetRSSIRpc(static_cast<int32_t>(kUnknownId.size()), kUnknownId.data(), 1, rssi),
            BtCallStatus::kInvalidDeviceId);
  EXPECT_TRUE(engine.WaitForLog("GetRSSI for non-existing device"));
}

TEST_F(BtE2eTest, ReportsAPhoneThatIsNotThereAsNotResponsive) {
  EXPECT_EQ(Connect(kUnknownId), BtCallStatus::kNotResponsive);
}

TEST_F(BtE2eTest, ScanDecodesTheSimulatedPhone) {
  Bytes out(56 * 8);
  int32_t size = static_cast<int32_t>(out.size());
  ASSERT_EQ(client->ScanRpc(1, &size, out.data()), BtCallStatus::kSuccess);
  ASSERT_EQ(size, 56);
  EXPECT_EQ(out[0], 1);  // paired
  EXPECT_EQ(Bytes(out.begin() + 4, out.begin() + 10), Bytes(kPhoneId.begin(), kPhoneId.begin() + 6));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.data() + 10)), "Anna's phone");
  EXPECT_EQ(out[52], 1);  // classic
  int32_t supported = 0;
  EXPECT_EQ(client->IsRSSISupportedRpc(1, supported), BtCallStatus::kSuccess);
  EXPECT_EQ(supported, 1);
  EXPECT_EQ(client->IsRSSISupportedRpc(3, supported), BtCallStatus::kGeneralFailure);
}

TEST_F(BtE2eTest, ProximityFollowsThePhoneOutOfRangeAndBack) {
  ASSERT_EQ(Connect(kPhoneId), BtCallStatus::kSuccess);
  Sim(std::string("RSSI ") + kPhone + " -50");
  int32_t status = 0;
  ASSERT_EQ(Status(status), BtCallStatus::kSuccess);
  EXPECT_EQ(status, 100);
  ASSERT_EQ(client->CalibrateRSSIRpc(8, kPhoneId.data()),
            BtCallStatus::kSuccess);
  // Weak readings right after an in-range decision leave it undecided...
  Sim(std::string("RSSI ") + kPhone + " -95");
  for (int i = 0; i < 6; ++i) {
    int16_t rssi = 0;
    ASSERT_EQ(Rssi(true, rssi), BtCallStatus::kSuccess);
    EXPECT_EQ(rssi, -95);
  }
  ASSERT_EQ(Status(status), BtCallStatus::kSuccess);
  EXPECT_EQ(status, 102);
  // ...until the applet decides; then messages stop until the phone is seen near again.
  client->UpdateProximityStateRpc(8, kPhoneId.data(), 101);
  ASSERT_EQ(Status(status), BtCallStatus::kSuccess);
  EXPECT_EQ(status, 101);
  Bytes reply{0xFF};
  ASSERT_EQ(Send({0x01}, &reply), BtCallStatus::kSuccess);
  EXPECT_TRUE(reply.empty());
  Sim(std::string("RSSI ") + kPhone + " -45");
  for (int i = 0; i < 6; ++i) {
    int16_t rssi = 0;
    ASSERT_EQ(Rssi(true, rssi), BtCallStatus::kSuccess);
  }
  ASSERT_EQ(Status(status), BtCallStatus::kSuccess);
  EXPECT_EQ(status, 100);
  EXPECT_TRUE(EchoesWithin({0x42}));
}

TEST_F(BtE2eTest, PhoneVanishingMidMessageFailsThatMessageOnly) {
  ASSERT_EQ(Connect(kPhoneId), BtCallStatus::kSuccess);
  Sim(std::string("MODE ") + kPhone + " drop");
  // The provider's failure is no Bluetooth exception of the client's: a general failure, or
  // not responsive when the retry finds the link not yet back.
  EXPECT_THAT(Send({0x01, 0x02}, nullptr),
              ::testing::AnyOf(BtCallStatus::kGeneralFailure, BtCallStatus::kNotResponsive));
  EXPECT_TRUE(engine.WaitForLog("BluetoothException: "));
  Sim(std::string("MODE ") + kPhone + " echo");
  EXPECT_TRUE(EchoesWithin({0x03}));
}

TEST_F(BtE2eTest, RadioThatDisappearsGivesEmptyRepliesUntilItReturns) {
  ASSERT_EQ(Connect(kPhoneId), BtCallStatus::kSuccess);
  Sim("RADIO off");
  Bytes reply{0xFF};
  ASSERT_EQ(Send({0x01}, &reply), BtCallStatus::kSuccess);
  EXPECT_TRUE(reply.empty());
  int16_t rssi = 0;
  ASSERT_EQ(Rssi(false, rssi), BtCallStatus::kSuccess);
  EXPECT_EQ(rssi, -32768);
  EXPECT_TRUE(engine.WaitForLog("Bluetooth Radio is off"));
  Sim("RADIO on");
  EXPECT_TRUE(EchoesWithin({0x04}));
}

TEST_F(BtE2eTest, DeviceConnectedBeforeSleepWorksAfterResume) {
  ASSERT_EQ(Connect(kPhoneId), BtCallStatus::kSuccess);
  ASSERT_EQ(engine.Ctl({"event", "sleep"}).exitCode, 0);
  // The control socket hands the event on; the send must come after the engine took it.
  ASSERT_TRUE(engine.WaitForLog("PS-END: PowerState = 1"));
  Bytes reply{0xFF};
  ASSERT_EQ(Send({0x01}, &reply), BtCallStatus::kSuccess);
  EXPECT_TRUE(reply.empty());
  EXPECT_TRUE(engine.WaitForLog("going to sleep"));
  ASSERT_EQ(engine.Ctl({"event", "resume"}).exitCode, 0);
  EXPECT_TRUE(EchoesWithin({0x05}));
}

TEST_F(BtE2eTest, EngineStopsCleanlyDuringACallToASilentPhone) {
  ASSERT_EQ(Connect(kPhoneId), BtCallStatus::kSuccess);
  Sim(std::string("MODE ") + kPhone + " silent");
  std::jthread caller([this] {
    rpc::Client other(engine.RuntimeDir() + "/IVoxWithMfa");
    const Bytes message{0x09};
    Bytes out(64);
    int32_t size = 64;
    try {
      other.SendMessageToBtDeviceRpc(8, kPhoneId.data(), 1, message.data(), 1, &size, out.data());
    } catch (const std::exception&) {
      // The engine went away during the call.
    }
  });
  // An interactive send waits 45 s for the reply: the stop must end that wait, not sit it out.
  ASSERT_TRUE(engine.WaitForLog("waiting 45000 seconds for a response"));
  EXPECT_EQ(engine.Stop(), 0) << "the engine did not stop cleanly";
  started = false;
}

}  // namespace
