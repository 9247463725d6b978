// `keystonectl bt sim` command lines and the control requests they become.

#include "sim/phones/control_commands.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace phonesim {
namespace {

// A null line: the command line is refused.
TEST(PhoneSimCommandTest, TurnsCommandLinesIntoRequests) {
  const struct {
    std::vector<std::string> args;
    const char* line;
  } cases[] = {
      {{"add", "5C:F3:70:12:34:56"}, "ADD 5C:F3:70:12:34:56 5A020C 1 Simulated%20phone"},
      {{"add", "5C:F3:70:12:34:56", "--name", "Bo", "--class", "240404", "--unpaired"},
       "ADD 5C:F3:70:12:34:56 240404 0 Bo"},
      {{"rssi", "5C:F3:70:12:34:56", "-40", "-90"}, "RSSI 5C:F3:70:12:34:56 -40 -90"},
      {{"range", "5C:F3:70:12:34:56", "out"}, "RANGE 5C:F3:70:12:34:56 out"},
      {{"unpair", "5C:F3:70:12:34:56"}, "PAIR 5C:F3:70:12:34:56 0"},
      {{"mode", "5C:F3:70:12:34:56", "drop"}, "MODE 5C:F3:70:12:34:56 drop"},
      {{"radio", "off"}, "RADIO off"},
      {{"stop"}, "SHUTDOWN"},
      {{"raw", "REPLYSIZE", "5C:F3:70:12:34:56", "1500"}, "REPLYSIZE 5C:F3:70:12:34:56 1500"},
      {{}, nullptr},
      {{"fly"}, nullptr},
      {{"add"}, nullptr},
      {{"add", "5C:F3:70:12:34"}, nullptr},
      {{"add", "5C:F3:70:12:34:56", "--class", "XYZ"}, nullptr},
      {{"add", "5C:F3:70:12:34:56", "--name"}, nullptr},
      {{"rssi", "5C:F3:70:12:34:56"}, nullptr},
      {{"rssi", "5C:F3:70:12:34:56", "-200"}, nullptr},
      {{"range", "5C:F3:70:12:34:56", "near"}, nullptr},
      {{"radio", "maybe"}, nullptr},
      {{"raw", "A\tB"}, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    if (c.line) {
      EXPECT_EQ(ControlLine(c.args), c.line);
    } else {
      EXPECT_THROW(ControlLine(c.args), UsageError);
    }
  }
}

TEST(PhoneSimCommandTest, StartTakesAnOptionalUnitAndDirectory) {
  const StartArguments none = ParseStartArguments({});
  EXPECT_EQ(none.directory, "");
  EXPECT_EQ(none.timeUnit, std::chrono::milliseconds(1280));
  const StartArguments both = ParseStartArguments({"--time-unit", "10", "/tmp/sim"});
  EXPECT_EQ(both.directory, "/tmp/sim");
  EXPECT_EQ(both.timeUnit, std::chrono::milliseconds(10));
  const std::vector<std::vector<std::string>> wrong = {
      {"--time-unit", "0"}, {"--time-unit", "1281"}, {"--time-unit"}, {"a", "b"}, {"--fast"}};
  for (const auto& args : wrong) {
    SCOPED_TRACE(args[0]);
    EXPECT_THROW(ParseStartArguments(args), UsageError);
  }
}

}  // namespace
}  // namespace phonesim
