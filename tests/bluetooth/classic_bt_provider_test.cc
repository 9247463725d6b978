// The classic provider against the real phone simulator: connections and their handles, the
// round trip, the reply limits and time-outs, a phone that goes away, the radio, the retries and
// the failure codes a device sees.

#include "bluetooth/classic_bt_provider.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "sim/phones/simulated_bluetooth.h"
#include "tests/fakes/log_capture.h"
#include "tests/sim/phone_sim_test_support.h"

namespace mfab {
namespace {

using keystone::testing::LogCapture;
using keystone::testing::PhoneSimProcess;

constexpr char kPhone[] = "5C:F3:70:12:34:56";

ClassicBTProvider::Options FastOptions() {
  ClassicBTProvider::Options options;
  options.radioCheckInterval = std::chrono::milliseconds(1);
  options.plugAndPlayRetryInterval = std::chrono::milliseconds(1);
  options.connectLimit = std::chrono::milliseconds(2000);
  options.sendLimit = std::chrono::milliseconds(2000);
  return options;
}

BluetoothDevice Phone(const std::string& address = kPhone) { return {"", address, false, false}; }

Bytes Message(size_t size) {
  Bytes message(size);
  for (size_t i = 0; i < size; ++i) message[i] = static_cast<uint8_t>(i * 7 + 1);
  return message;
}

Bytes Complement(const Bytes& message) {
  Bytes answer = message;
  for (uint8_t& b : answer) b = static_cast<uint8_t>(~b);
  return answer;
}

class ClassicBTProviderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sim.Ready());
    sim.Must(std::string("ADD ") + kPhone + " 5A020C 1 Pixel%20Test");
    log = LogCapture::Install();
    provider = std::make_unique<ClassicBTProvider>(
        std::make_shared<phonesim::SimulatedBluetoothStack>(sim.ControlPath()), FastOptions());
  }
  void TearDown() override {
    log->Uninstall();
    provider.reset();
    EXPECT_EQ(sim.Stop(), 0) << "the simulator did not end cleanly";
  }

  uint32_t ConnectPhone() { return provider->Connect(Phone(), kPhoneServiceClassId); }

  uint32_t CodeOf(const std::function<void()>& call) {
    try {
      call();
    } catch (const BluetoothProvider::ProviderGeneralException& e) {
      return e.Code();
    }
    ADD_FAILURE() << "no ProviderGeneralException";
    return 0;
  }

  PhoneSimProcess sim;
  std::shared_ptr<LogCapture> log;
  std::unique_ptr<ClassicBTProvider> provider;
};

TEST_F(ClassicBTProviderTest, ReplyIsTheComplementOfTheMessage) {
  const uint32_t handle = ConnectPhone();
  EXPECT_NE(handle, 0u);
  const Bytes message = Message(40);
  provider->Send(handle, message);
  Bytes reply;
  provider->Receive(handle, 2000, reply);
  EXPECT_EQ(reply, Complement(message));
  EXPECT_TRUE(log->Has("Receive: Exit\n"));
}

TEST_F(ClassicBTProviderTest, ConnectKeepsItsHandleUntilDisconnect) {
  const uint32_t first = ConnectPhone();
  EXPECT_EQ(ConnectPhone(), first);
  EXPECT_TRUE(log->Contains("Connection already available. handle is"));
  provider->Disconnect(first);
  const uint32_t second = ConnectPhone();
  EXPECT_NE(second, first);
  EXPECT_NE(second, 0u);
}

TEST_F(ClassicBTProviderTest, LongReplyArrivesAsOneReadOf1011Bytes) {
  sim.Must(std::string("REPLYSIZE ") + kPhone + " 1500");
  const uint32_t handle = ConnectPhone();
  provider->Send(handle, Message(10));
  Bytes first;
  provider->Receive(handle, 2000, first);
  EXPECT_EQ(first.size(), 1011u);
  Bytes rest;
  provider->Receive(handle, 2000, rest);
  EXPECT_EQ(rest.size(), 1500u - 1011u);
}

TEST_F(ClassicBTProviderTest, SilentPhoneTimesOut) {
  sim.Must(std::string("MODE ") + kPhone + " silent");
  const uint32_t handle = ConnectPhone();
  provider->Send(handle, Message(5));
  Bytes reply;
  EXPECT_THROW(provider->Receive(handle, 30, reply), BluetoothProvider::ProviderTimeoutPassed);
  EXPECT_TRUE(log->Has("Receive: Throw timeoutException (Provider timeout passed)"));
}

// Each way a phone goes away in the middle of an exchange: the receive sees the closed link.
TEST_F(ClassicBTProviderTest, PhoneThatGoesAwayMidMessageClosesTheLink) {
  const std::string phone = kPhone;
  const struct {
    const char* name;
    std::string before;  // applied after the connect, before the send
    std::string after;   // applied after the send
    size_t messageSize;
  } cases[] = {
      {"drops the link", "MODE " + phone + " drop", "PING", 10},
      {"walks out of range", "MODE " + phone + " silent", "RANGE " + phone + " out", 10},
      {"refuses a message over its limit", "MAXMESSAGE " + phone + " 100", "PING", 200},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const uint32_t handle = ConnectPhone();
    sim.Must(c.before);
    provider->Send(handle, Message(c.messageSize));
    sim.Must(c.after);
    Bytes reply;
    EXPECT_EQ(CodeOf([&] { provider->Receive(handle, 2000, reply); }), 10054u);
    EXPECT_TRUE(log->Has("Recv: Connection closed"));
    provider->Disconnect(handle);
    sim.Must("RANGE " + phone + " in");
    sim.Must("MODE " + phone + " echo");
    sim.Must("MAXMESSAGE " + phone + " 1011");
    log->Clear();
  }
}

TEST_F(ClassicBTProviderTest, SendToAPhoneThatLeftFails) {
  const uint32_t handle = ConnectPhone();
  sim.Must(std::string("RANGE ") + kPhone + " out");
  EXPECT_EQ(CodeOf([&] { provider->Send(handle, Message(10)); }), 10054u);
  EXPECT_TRUE(log->Has(
      "Send: Throw MicrosoftBluetoothProviderGeneralException with =Send: Failed to send."));
}

TEST_F(ClassicBTProviderTest, UnpairedPhoneIsRefusedBeforeAnySocket) {
  sim.Must(std::string("PAIR ") + kPhone + " 0");
  EXPECT_THROW(ConnectPhone(), BluetoothProvider::DeviceNotPairedException);
  EXPECT_TRUE(log->Has("Connect: Throw device_not_paired\n"));
  EXPECT_FALSE(log->Contains("trying to connect"));
}

TEST_F(ClassicBTProviderTest, UnknownPhoneCountsAsNotPaired) {
  EXPECT_THROW(provider->Connect(Phone("00:11:22:33:44:55"), kPhoneServiceClassId),
               BluetoothProvider::DeviceNotPairedException);
  EXPECT_TRUE(log->Has("Connect: Error during device update (fetching data)"));
}

TEST_F(ClassicBTProviderTest, SendAfterDisconnectIsAnUnknownHandle) {
  const uint32_t handle = ConnectPhone();
  provider->Disconnect(handle);
  try {
    provider->Send(handle, Message(3));
    FAIL() << "no exception";
  } catch (const std::out_of_range& e) {
    EXPECT_STREQ(e.what(), "invalid unordered_map<K, T> key");
  }
}

TEST_F(ClassicBTProviderTest, ReceiveOnUnknownHandleIsAGeneralFailure) {
  Bytes reply;
  EXPECT_EQ(CodeOf([&] { provider->Receive(77, 10, reply); }), 18u);
}

TEST_F(ClassicBTProviderTest, ConnectWithoutRadioGivesUpAfterEveryCheck) {
  sim.Must("RADIO off");
  EXPECT_THROW(ConnectPhone(), BluetoothProvider::RadioNotAvailableException);
  size_t checks = 0;
  for (const auto& entry : log->Entries()) {
    if (entry.record.message.starts_with("Checking if radio is available (Iteration #")) ++checks;
  }
  EXPECT_EQ(checks, 18u);
  EXPECT_TRUE(log->Has("Connect: Radio not available. All retries exahusted"));
}

TEST_F(ClassicBTProviderTest, RadioThatComesBackServesANewConnection) {
  const uint32_t handle = ConnectPhone();
  sim.Must("RADIO off");
  EXPECT_THROW(provider->Send(handle, Message(3)), BluetoothProvider::RadioNotAvailableException);
  EXPECT_TRUE(log->Has("Send: Throw adapter_not_available"));
  sim.Must("RADIO on");
  provider->Disconnect(handle);
  const uint32_t again = ConnectPhone();
  provider->Send(again, Message(8));
  Bytes reply;
  provider->Receive(again, 2000, reply);
  EXPECT_EQ(reply, Complement(Message(8)));
}

TEST_F(ClassicBTProviderTest, NotReadyStackIsRetriedUpToTheLimit) {
  const struct {
    int failures;
    bool connects;
  } cases[] = {{1, true}, {25, true}, {26, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.failures);
    sim.Must(std::string("FAILCONNECT ") + kPhone + " notready " + std::to_string(c.failures));
    if (c.connects) {
      provider->Disconnect(ConnectPhone());
    } else {
      EXPECT_THROW(ConnectPhone(), BluetoothProvider::RadioNotAvailableException);
      EXPECT_TRUE(log->Has("Connect: Radio not available - PlugAndPlay error . All retries exahusted"));
    }
    sim.Must(std::string("FAILCONNECT ") + kPhone + " failed 0");
  }
}

TEST_F(ClassicBTProviderTest, ConnectFailuresCarryTheirCodes) {
  const struct {
    const char* kind;
    uint32_t code;
  } cases[] = {{"inuse", 10048}, {"timedout", 10060}, {"closed", 10054}, {"failed", 18}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.kind);
    sim.Must(std::string("FAILCONNECT ") + kPhone + " " + c.kind + " 1");
    EXPECT_EQ(CodeOf([&] { ConnectPhone(); }), c.code);
  }
}

TEST_F(ClassicBTProviderTest, OutOfRangePhoneTimesOutWithItsCode) {
  sim.Must(std::string("RANGE ") + kPhone + " out");
  EXPECT_EQ(CodeOf([&] { ConnectPhone(); }), 10060u);
  EXPECT_TRUE(log->Has("TryRepairYellowBangDevice: no repair needed, status 0"));
}

TEST_F(ClassicBTProviderTest, FailedConnectRepairsADeviceNodeWithAProblem) {
  sim.Must(std::string("NODE ") + kPhone + " 43");
  EXPECT_THROW(ConnectPhone(), BluetoothProvider::ProviderGeneralException);
  EXPECT_TRUE(log->Has(std::string("TryRepairYellowBangDevice: Repairing BT devnode. ") + kPhone));
  EXPECT_EQ(sim.Do(std::string("NODESTATE ") + kPhone).words.at(0), "0");
  EXPECT_NE(ConnectPhone(), 0u);
}

TEST_F(ClassicBTProviderTest, RssiFollowsThePhonesScript) {
  sim.Must(std::string("RSSI ") + kPhone + " -50 -61 -72");
  EXPECT_THROW(provider->GetDeviceRssi(Phone(), true), std::runtime_error);
  ConnectPhone();
  std::vector<int16_t> readings;
  for (int i = 0; i < 4; ++i) readings.push_back(provider->GetDeviceRssi(Phone(), true));
  EXPECT_EQ(readings, (std::vector<int16_t>{-50, -61, -72, -72}));
}

TEST_F(ClassicBTProviderTest, WithoutRadioNothingIsSupported) {
  EXPECT_TRUE(provider->IsRSSISupported());
  sim.Must("RADIO off");
  EXPECT_FALSE(provider->IsRadioPresent());
  EXPECT_FALSE(provider->IsRSSISupported());
  EXPECT_TRUE(provider->ScanDevices(0).empty());
}

TEST_F(ClassicBTProviderTest, ScanListsEachDeviceOnce) {
  sim.Must("ADD 11:22:33:44:55:66 240404 0 Speaker");   // in range, not paired
  sim.Must("ADD AA:BB:CC:DD:EE:01 5A020C 1 Far%20Phone");  // paired, out of range
  sim.Must("RANGE AA:BB:CC:DD:EE:01 out");
  const std::vector<BluetoothDevice> found = provider->ScanDevices(0);
  ASSERT_EQ(found.size(), 3u);
  std::map<std::string, bool> paired;
  for (const BluetoothDevice& device : found) paired[device.address] = device.authenticated;
  EXPECT_EQ(paired, (std::map<std::string, bool>{
                        {"11:22:33:44:55:66", false}, {kPhone, true}, {"AA:BB:CC:DD:EE:01", true}}));
  EXPECT_TRUE(log->Has("InquiryDevices: inquiry search return 2 devices"));
  EXPECT_TRUE(log->Has("GetCachedDevices: cache search return 2 devices"));
}

TEST_F(ClassicBTProviderTest, ValidationKeepsOnlyPhonesWithTheApplication) {
  sim.Must("ADD 11:22:33:44:55:66 5A020C 1 No%20App");
  sim.Must("APP 11:22:33:44:55:66 0");
  sim.Must("ADD AA:BB:CC:DD:EE:01 5A020C 1 Far");
  sim.Must("RANGE AA:BB:CC:DD:EE:01 out");
  std::vector<BluetoothDevice> devices = {Phone(), Phone("11:22:33:44:55:66"),
                                          Phone("AA:BB:CC:DD:EE:01"), Phone("bad")};
  provider->ValidateDevices(devices);
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0].address, kPhone);
}

TEST_F(ClassicBTProviderTest, InquiryDeviceNeedsAPairedPhoneThatAnswers) {
  EXPECT_TRUE(provider->InquiryDevice(Phone()));
  sim.Must(std::string("RANGE ") + kPhone + " out");
  EXPECT_FALSE(provider->InquiryDevice(Phone()));
  sim.Must(std::string("PAIR ") + kPhone + " 0");
  EXPECT_THROW(provider->InquiryDevice(Phone()), BluetoothProvider::DeviceNotPairedException);
}

}  // namespace
}  // namespace mfab
