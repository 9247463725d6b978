// The simulated radio keeps a controller's time: an inquiry lasts its length in time units and a
// lookup of a phone out of reach the page time-out, while every other request is answered during
// that time; a stop or a client that gives up ends the wait at once.

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <system_error>
#include <thread>

#include "platform/unix_socket.h"
#include "sim/phones/control_channel.h"
#include "sim/phones/phone_protocol.h"
#include "sim/phones/phone_simulator.h"
#include "tests/fakes/eventually.h"
#include "tests/fakes/program_runner.h"

namespace phonesim {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr char kPhone[] = "5C:F3:70:12:34:56";

class PhoneSimRadioTimeTest : public ::testing::Test {
 protected:
  // A simulator whose radio counts in unit, served on a thread of the test.
  void Start(std::chrono::milliseconds unit) {
    simulator = std::make_unique<PhoneSimulator>(directory.Path() + "/sim",
                                                 SimulatorOptions{.timeUnit = unit});
    server = std::jthread([this] { simulator->Run(); });
    ASSERT_EQ(simulator->Handle(std::string("ADD ") + kPhone + " 5A020C 1 P"), "OK\n");
  }
  void TearDown() override {
    if (simulator) simulator->Stop();
    if (server.joinable()) server.join();
  }
  Reply Ask(const std::string& line, std::chrono::milliseconds limit = 30s) {
    return Call(simulator->ControlPath(), line, limit);
  }
  // Whether count slow answers are waiting, soon.
  bool Waiting(size_t count) {
    return keystone::testing::Eventually(
        [&] { return simulator->DelayedAnswersForTesting() == count; });
  }
  // How long the request took to be answered.
  std::chrono::milliseconds Timed(const std::string& line, Reply* reply = nullptr) {
    const auto start = Clock::now();
    Reply answer = Ask(line);
    if (reply) *reply = answer;
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  }

  keystone::testing::TempDirectory directory;
  std::unique_ptr<PhoneSimulator> simulator;
  std::jthread server;
};

TEST_F(PhoneSimRadioTimeTest, InquiryLastsItsLengthInTimeUnits) {
  Start(20ms);
  for (int length : {1, 3, 5}) {
    SCOPED_TRACE(length);
    Reply reply;
    EXPECT_GE(Timed("INQUIRY " + std::to_string(length), &reply), 20ms * length);
    ASSERT_TRUE(reply.ok) << reply.errorText;
    EXPECT_EQ(ListLines(reply).size(), 1u);
  }
}

TEST_F(PhoneSimRadioTimeTest, LookupOfPhoneOutOfReachLastsThePageTimeout) {
  Start(20ms);
  ASSERT_TRUE(Ask(std::string("RANGE ") + kPhone + " out").ok);
  Reply reply;
  EXPECT_GE(Timed(std::string("SERVICES ") + kPhone, &reply), 20ms * kPageTimeoutUnits);
  EXPECT_FALSE(reply.ok);
  EXPECT_EQ(reply.errc, platform::BluetoothErrc::kTimedOut);
}

TEST_F(PhoneSimRadioTimeTest, InquiryFindsThePhonesInReachWhenItEnds) {
  Start(1000ms);
  std::jthread inquiry([&] {
    const Reply reply = Ask("INQUIRY 1");
    ASSERT_TRUE(reply.ok) << reply.errorText;
    EXPECT_EQ(ListLines(reply).size(), 0u);
  });
  ASSERT_TRUE(Waiting(1));
  // Answered while the inquiry runs: the control socket is not held by it.
  EXPECT_TRUE(Ask(std::string("RANGE ") + kPhone + " out", 500ms).ok);
}

TEST_F(PhoneSimRadioTimeTest, RadioSwitchedOffDuringAnInquiryFailsIt) {
  Start(200ms);
  std::jthread inquiry([&] {
    const Reply reply = Ask("INQUIRY 2");
    EXPECT_FALSE(reply.ok);
    EXPECT_EQ(reply.errc, platform::BluetoothErrc::kNoRadio);
  });
  ASSERT_TRUE(Waiting(1));
  EXPECT_TRUE(Ask("RADIO off").ok);
}

// With a unit of ten minutes nothing here ends by itself within the call's limit: a call that
// ended without ETIMEDOUT was ended by the stop or the close.
TEST_F(PhoneSimRadioTimeTest, StopEndsARunningInquiry) {
  Start(600000ms);
  std::jthread stopper([&] {
    if (Waiting(1)) simulator->Stop();
  });
  try {
    const Reply reply = Ask("INQUIRY 3", 60s);
    EXPECT_FALSE(reply.ok);
  } catch (const ProtocolError&) {
    // The stream ended without a reply: ended, as it should.
  } catch (const std::system_error& e) {
    EXPECT_NE(e.code().value(), ETIMEDOUT) << "the stop did not end the inquiry";
  }
}

TEST_F(PhoneSimRadioTimeTest, ClientThatGivesUpEndsItsWait) {
  Start(600000ms);
  ASSERT_TRUE(Ask(std::string("RANGE ") + kPhone + " out").ok);
  for (const std::string& line : {std::string("INQUIRY 48"), std::string("SERVICES ") + kPhone}) {
    SCOPED_TRACE(line);
    {
      platform::UnixStream client = platform::UnixStream::Connect(simulator->ControlPath());
      const std::string request = line + "\n";
      client.SendAll(std::span(reinterpret_cast<const uint8_t*>(request.data()), request.size()));
      ASSERT_TRUE(Waiting(1));
    }
    EXPECT_TRUE(Waiting(0));
  }
}

TEST_F(PhoneSimRadioTimeTest, StopEndsAnInProcessInquiry) {
  Start(600000ms);
  std::jthread stopper([&] {
    // Handle runs on the test's thread; the stop comes from here once it waits.
    std::this_thread::sleep_for(50ms);
    simulator->Stop();
  });
  EXPECT_EQ(simulator->Handle("INQUIRY 1"), "ERR noradio the simulator stopped\n");
}

}  // namespace
}  // namespace phonesim
