#include "bluetooth/rssi_finder.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bluetooth/classic_bt_provider.h"
#include "sim/phones/simulated_bluetooth.h"
#include "tests/fakes/eventually.h"
#include "tests/sim/phone_sim_test_support.h"

namespace {

using Ostra::RssiCommunication::AnswerDefect;
using Ostra::RssiCommunication::ConnectionEntry;
using Ostra::RssiCommunication::ConnectionInfoByAddrCommand;
using Ostra::RssiCommunication::ConnectionRSSICommand;
using Ostra::RssiCommunication::ParseRssiAnswer;
using platform::BluetoothErrc;
using platform::BluetoothError;

// Answers recorded from a controller for Read RSSI on handle 0x002A (RSSI -59 dBm).
const std::vector<uint8_t> kGoodAnswer = {0x0E, 0x07, 0x01, 0x05, 0x14, 0x00, 0x2A, 0x00, 0xC5};

struct AnswerCase {
  const char* name;
  std::vector<uint8_t> answer;
  AnswerDefect defect;
  int rssi;
};

TEST(RssiAnswerTest, RecordedAnswersParseToTheirDefect) {
  const AnswerCase cases[] = {
      {"good", kGoodAnswer, AnswerDefect::kNone, -59},
      {"positive rssi", {0x0E, 0x07, 0x01, 0x05, 0x14, 0x00, 0x2A, 0x00, 0x05}, AnswerDefect::kNone,
       5},
      {"packet boundary flags in the handle",
       {0x0E, 0x07, 0x01, 0x05, 0x14, 0x00, 0x2A, 0x20, 0xC5}, AnswerDefect::kNone, -59},
      {"one byte too many", {0x0E, 0x07, 0x01, 0x05, 0x14, 0x00, 0x2A, 0x00, 0xC5, 0x00},
       AnswerDefect::kWrongSize, 0},
      {"command status instead", {0x0F, 0x04, 0x0C, 0x01, 0x05, 0x14, 0x00, 0x00, 0x00},
       AnswerDefect::kNotCommandComplete, 0},
      {"wrong parameter length", {0x0E, 0x06, 0x01, 0x05, 0x14, 0x00, 0x2A, 0x00, 0xC5},
       AnswerDefect::kNotCommandComplete, 0},
      {"answer to another command", {0x0E, 0x07, 0x01, 0x12, 0xFC, 0x00, 0x2A, 0x00, 0xC5},
       AnswerDefect::kWrongOpcode, 0},
      {"unknown connection", {0x0E, 0x07, 0x01, 0x05, 0x14, 0x02, 0x2A, 0x00, 0x00},
       AnswerDefect::kBadStatus, 0},
      {"another link", {0x0E, 0x07, 0x01, 0x05, 0x14, 0x00, 0x2B, 0x00, 0xC5},
       AnswerDefect::kWrongHandle, 0},
  };
  for (const AnswerCase& c : cases) {
    const auto parsed = ParseRssiAnswer(c.answer, 0x002A);
    EXPECT_EQ(parsed.defect, c.defect) << c.name;
    EXPECT_EQ(parsed.rssi, c.rssi) << c.name;
  }
}

TEST(RssiAnswerTest, EveryTruncationIsRefused) {
  for (size_t size = 0; size < kGoodAnswer.size(); ++size) {
    const std::vector<uint8_t> shortAnswer(kGoodAnswer.begin(), kGoodAnswer.begin() + size);
    EXPECT_EQ(ParseRssiAnswer(shortAnswer, 0x002A).defect, AnswerDefect::kWrongSize) << size;
  }
}

TEST(RssiAnswerTest, BadStatusCarriesTheControllersCode) {
  const auto parsed =
      ParseRssiAnswer(platform::ReadRssiAnswerBytes(0x0C, 0x002A, -40), 0x002A);
  EXPECT_EQ(parsed.defect, AnswerDefect::kBadStatus);
  EXPECT_EQ(parsed.status, 0x0C);
}

// A stack whose two HCI calls the test scripts; everything else is unused.
class ScriptedHciStack : public platform::BluetoothStack {
 public:
  std::vector<platform::BluetoothRadio> Radios() override { return radios; }
  platform::BluetoothDeviceInfo DeviceInfo(platform::BluetoothAddress) override { throw Unused(); }
  std::vector<platform::BluetoothDeviceInfo> KnownDevices() override { throw Unused(); }
  std::vector<platform::BluetoothDeviceInfo> Inquiry(uint8_t) override { throw Unused(); }
  std::vector<platform::BluetoothServiceRecord> LookupServices(platform::BluetoothAddress) override {
    throw Unused();
  }
  std::unique_ptr<platform::BluetoothConnection> Connect(platform::BluetoothAddress, uint8_t,
                                                         platform::Deadline) override {
    throw Unused();
  }
  int8_t ConnectionRssi(platform::BluetoothAddress) override { throw Unused(); }
  bool CanReadConnectionRssi() override { return true; }
  std::optional<int> DeviceNodeProblem(platform::BluetoothAddress) override { throw Unused(); }
  void SetDeviceNodeEnabled(platform::BluetoothAddress, bool) override { throw Unused(); }

  uint16_t ConnectionHandle(platform::BluetoothAddress address) override {
    ++hciCalls;
    askedAddress = address;
    return handle();
  }
  std::vector<uint8_t> ReadRssiAnswer(uint16_t linkHandle, std::chrono::milliseconds) override {
    ++hciCalls;
    askedHandle = linkHandle;
    return answer();
  }

  std::vector<platform::BluetoothRadio> radios = {{0x001122AABBCC, "hci0"}};
  std::function<uint16_t()> handle = [] { return uint16_t{0x002A}; };
  std::function<std::vector<uint8_t>()> answer = [] { return kGoodAnswer; };
  int hciCalls = 0;
  platform::BluetoothAddress askedAddress = 0;
  uint16_t askedHandle = 0;

 private:
  static BluetoothError Unused() { return BluetoothError(BluetoothErrc::kFailed, 0, "unused"); }
};

class HostRssiFinderTest : public ::testing::Test {
 protected:
  // The what() of the exception GetRssi throws, or "" when it returns.
  std::string FailureOf(const std::string& address = "00:11:22:33:44:55") {
    try {
      finder.GetRssi(address);
    } catch (const std::exception& e) {
      return e.what();
    }
    return "";
  }

  std::shared_ptr<ScriptedHciStack> stack = std::make_shared<ScriptedHciStack>();
  mfab::HostRssiFinder finder{stack};
};

TEST_F(HostRssiFinderTest, ReadsTheRssiOfTheAddressesLink) {
  finder.Setup();
  EXPECT_EQ(finder.GetRssi("a0:b1:c2:d3:e4:f5"), -59);
  EXPECT_EQ(stack->askedAddress, 0xA0B1C2D3E4F5u);
  EXPECT_EQ(stack->askedHandle, 0x002A);
}

TEST_F(HostRssiFinderTest, AddressWithFiveNumbersIsRefusedBeforeTheRadio) {
  finder.Setup();
  EXPECT_THROW(finder.GetRssi("00:11:22:33:44"), std::invalid_argument);
  EXPECT_EQ(FailureOf("00:11:22:33:44"), "BAD MAC Address");
  EXPECT_EQ(FailureOf("00:11:22:33:44:100"), "BAD MAC Address");
  EXPECT_EQ(stack->hciCalls, 0);
}

TEST_F(HostRssiFinderTest, AddressWithoutLinkHasNoConnection) {
  finder.Setup();
  stack->handle = []() -> uint16_t { throw BluetoothError(BluetoothErrc::kNotConnected, 0, "x"); };
  EXPECT_EQ(FailureOf(), "The MAC address doesn't have a connection");
}

TEST_F(HostRssiFinderTest, StackFailuresBecomeTheFinderFamily) {
  finder.Setup();
  struct Case {
    std::function<void()> fail;
    std::string text;
  } cases[] = {
      {[] { throw BluetoothError(BluetoothErrc::kNoRadio, 0, "x"); }, "Invalid Bluetooth radio"},
      {[] { throw BluetoothError(BluetoothErrc::kNotReady, 19, "x"); }, "Invalid Bluetooth radio"},
      {[] { throw platform::BluetoothPermissionError(1, "x"); }, "Invalid privilege"},
      {[] { throw BluetoothError(BluetoothErrc::kTimedOut, 110, "x"); },
       "Internal error occurd in rssi finder"},
  };
  for (const Case& c : cases) {
    stack->answer = [&c]() -> std::vector<uint8_t> {
      c.fail();
      return {};
    };
    EXPECT_EQ(FailureOf(), c.text);
  }
}

TEST_F(HostRssiFinderTest, EightByteAnswerIsRefused) {
  finder.Setup();
  stack->answer = [] { return std::vector<uint8_t>(kGoodAnswer.begin(), kGoodAnswer.end() - 1); };
  EXPECT_THROW(finder.GetRssi("00:11:22:33:44:55"), RssiFinderExceptions::InternalRssiErrorException);
}

TEST_F(HostRssiFinderTest, MissingRadioFailsUntilOneArrives) {
  stack->radios.clear();
  EXPECT_THROW(finder.Setup(), std::runtime_error);
  EXPECT_EQ(FailureOf(), "Radio Handle is invalid");
  EXPECT_EQ(stack->hciCalls, 0);
  stack->radios = {{0x001122AABBCC, "hci0"}};
  EXPECT_EQ(finder.GetRssi("00:11:22:33:44:55"), -59);
}

TEST(RssiCommandTest, ConnectionInfoParametersAreTheAddressLeastSignificantFirst) {
  ScriptedHciStack stack;
  ConnectionInfoByAddrCommand command(&stack, "00:11:22:33:44:55");
  EXPECT_EQ(command.FillParameters(),
            (std::vector<uint8_t>{0x00, 0x55, 0x44, 0x33, 0x22, 0x11, 0x00}));
}

TEST(RssiCommandTest, RssiParametersAreTheHandleLittleEndian) {
  ScriptedHciStack stack;
  ConnectionEntry entry{0x0123, 0};
  ConnectionRSSICommand command(&stack, entry, std::chrono::milliseconds(10));
  EXPECT_EQ(command.FillParameters(), (std::vector<uint8_t>{0x23, 0x01}));
}

TEST(RssiCommandTest, CommandWithoutRadioIsRefused) {
  try {
    ConnectionInfoByAddrCommand command(nullptr, "00:11:22:33:44:55");
    FAIL() << "made a command without a radio";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Radio Handle is invalid");
  }
}

}  // namespace

namespace mfab {
namespace {

using Ostra::RssiCommunication::AnswerDefect;

constexpr char kSimPhone[] = "5C:F3:70:12:34:56";

// The simulated phones answer the two HCI calls as a controller would.
TEST(SimulatedRssiAnswerTest, LinkHandleAnswersWithTheScriptUntilTheLinkGoes) {
  keystone::testing::PhoneSimProcess sim;
  ASSERT_TRUE(sim.Ready());
  sim.Must(std::string("ADD ") + kSimPhone + " 5A020C 1 Pixel");
  sim.Must(std::string("RSSI ") + kSimPhone + " -44");
  auto stack = std::make_shared<phonesim::SimulatedBluetoothStack>(sim.ControlPath());
  const platform::BluetoothAddress address = *platform::ParseBluetoothAddressText(kSimPhone);
  EXPECT_THROW(stack->ConnectionHandle(address), platform::BluetoothError);
  {
    ClassicBTProvider provider(stack);
    const uint32_t link = provider.Connect({"", kSimPhone, false, false}, kPhoneServiceClassId);
    const uint16_t handle = stack->ConnectionHandle(address);
    EXPECT_EQ(stack->ConnectionHandle(address), handle);
    const auto answer = Ostra::RssiCommunication::ParseRssiAnswer(
        stack->ReadRssiAnswer(handle, std::chrono::milliseconds(1000)), handle);
    EXPECT_EQ(answer.defect, AnswerDefect::kNone);
    EXPECT_EQ(answer.rssi, -44);
    provider.Disconnect(link);
    // The simulator learns of the closed link when it reads the stream's end.
    EXPECT_TRUE(keystone::testing::Eventually([&] {
      const auto gone = Ostra::RssiCommunication::ParseRssiAnswer(
          stack->ReadRssiAnswer(handle, std::chrono::milliseconds(1000)), handle);
      return gone.defect == AnswerDefect::kBadStatus &&
             gone.status == platform::kHciUnknownConnection;
    }));
  }
  EXPECT_EQ(sim.Stop(), 0);
}

}  // namespace
}  // namespace mfab
