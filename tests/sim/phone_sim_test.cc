// The phone simulator's requests answered in-process: what it keeps, what it refuses.

#include "sim/phones/phone_simulator.h"

#include <gtest/gtest.h>

#include "sim/phones/phone_protocol.h"
#include "tests/fakes/program_runner.h"

namespace phonesim {
namespace {

class PhoneSimTest : public ::testing::Test {
 protected:
  std::string Ask(const std::string& line) { return simulator.Handle(line); }

  keystone::testing::TempDirectory directory;
  // A millisecond radio unit: an inquiry here costs its length in milliseconds.
  PhoneSimulator simulator{directory.Path() + "/sim", {.timeUnit = std::chrono::milliseconds(1)}};
};

TEST_F(PhoneSimTest, KeepsPhonesWithTheirState) {
  EXPECT_EQ(Ask("ADD 5C:F3:70:12:34:56 5A020C 1 My%20Phone"), "OK\n");
  EXPECT_EQ(Ask("DEVICE 5C:F3:70:12:34:56"), "OK 5C:F3:70:12:34:56 5A020C 1 1 0 My%20Phone\n");
  EXPECT_EQ(Ask("RANGE 5C:F3:70:12:34:56 out"), "OK\n");
  EXPECT_EQ(Ask("INQUIRY 3"), "OK 0\n");
  EXPECT_EQ(Ask("KNOWN"), "OK 1\n5C:F3:70:12:34:56 5A020C 1 1 0 My%20Phone\n");
  EXPECT_EQ(Ask("LIST"), "OK 1\n5C:F3:70:12:34:56 5A020C 1 1 0 My%20Phone out echo\n");
  EXPECT_EQ(Ask("REMOVE 5C:F3:70:12:34:56"), "OK\n");
  EXPECT_EQ(Ask("LIST"), "OK 0\n");
}

TEST_F(PhoneSimTest, RefusesBadRequests) {
  Ask("ADD 5C:F3:70:12:34:56 5A020C 1 P");
  const struct {
    const char* line;
    const char* replyStart;
  } cases[] = {
      {"ADD 5C:F3:70:12:34:56 5A020C 1 P", "ERR failed the phone exists"},
      {"ADD 5C:F3:70:12:34:57 1000000 1 P", "ERR failed bad class of device"},
      {"ADD 5C-F3-70-12-34-57 5A020C 1 P", "ERR failed bad address"},
      {"DEVICE 00:00:00:00:00:01", "ERR unknown"},
      {"RSSI 5C:F3:70:12:34:56 -129", "ERR failed bad number"},
      {"RSSI 5C:F3:70:12:34:56", "ERR failed"},
      {"MAXMESSAGE 5C:F3:70:12:34:56 65537", "ERR failed bad number"},
      {"CONNRSSI 5C:F3:70:12:34:56", "ERR notconnected"},
      {"CONNECT 5C:F3:70:12:34:56 4", "ERR failed connection refused"},
      {"FAILCONNECT 5C:F3:70:12:34:56 nonsense 1", "ERR failed unknown error kind"},
      {"FLY", "ERR failed unknown request"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_TRUE(Ask(c.line).starts_with(c.replyStart)) << Ask(c.line);
  }
}

TEST_F(PhoneSimTest, RadioOffAnswersNoRadio) {
  Ask("ADD 5C:F3:70:12:34:56 5A020C 1 P");
  Ask("RADIO off");
  EXPECT_EQ(Ask("RADIOS"), "OK 0\n");
  EXPECT_EQ(Ask("RSSIREADABLE"), "OK 0\n");
  EXPECT_TRUE(Ask("CONNECT 5C:F3:70:12:34:56 3").starts_with("ERR noradio"));
  Ask("RADIO on");
  EXPECT_EQ(Ask("RADIOS"), "OK 1\n00:1A:7D:DA:71:13 keystone-phone-sim\n");
}

TEST_F(PhoneSimTest, HoldsAtMostItsPhoneLimit) {
  for (size_t i = 0; i < kMaxPhones; ++i) {
    ASSERT_EQ(Ask("ADD " + FormatAddress(0x100 + i) + " 5A020C 0 P"), "OK\n");
  }
  EXPECT_EQ(Ask("ADD 5C:F3:70:12:34:56 5A020C 1 P"), "ERR failed too many phones\n");
}

}  // namespace
}  // namespace phonesim
