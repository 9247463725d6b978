#include "tools/keystonectl/status_view.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace keystonectl {
namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

TEST(StatusViewTest, ReadsEveryScalarKind) {
  const Pairs pairs = ParseStatusObject(
      R"( {"version":"1.0.0.1", "uptime_s":12,"engine.running":true,"applet.owner_session":null,)"
      R"("kiln.library":"/opt/k \"sim\"\\lib\u00e9.so","delta":-1.5e3} )");
  EXPECT_EQ(pairs, (Pairs{{"version", "1.0.0.1"},
                          {"uptime_s", "12"},
                          {"engine.running", "true"},
                          {"applet.owner_session", "null"},
                          {"kiln.library", "/opt/k \"sim\"\\lib\xe9.so"},
                          {"delta", "-1.5e3"}}));
  EXPECT_TRUE(ParseStatusObject("{}").empty());
}

TEST(StatusViewTest, RefusesWhatIsNotAFlatObject) {
  for (const char* input : {"", "[]", "{\"a\":{}}", "{\"a\":[1]}", "{\"a\":1", "{\"a\" 1}",
                            "{\"a\":1} x", "{\"a\":\"open}", "{\"a\":\"\\q\"}",
                            "{\"a\":\"\\u0101\"}", "{\"a\":\"\\u00g1\"}", "{\"a\":yes}",
                            "{\"a\":\"\x01\"}", "{a:1}"}) {
    EXPECT_THROW(ParseStatusObject(input), StatusFormatError) << input;
  }
  std::string many = "{";
  for (int i = 0; i < 300; ++i) many += (i ? ",\"k" : "\"k") + std::to_string(i) + "\":1";
  EXPECT_THROW(ParseStatusObject(many + "}"), StatusFormatError);
}

TEST(StatusViewTest, TextLinesUpTheValues) {
  EXPECT_EQ(StatusText({{"version", "1.0"}, {"power.state", "normal"}}),
            "version      1.0\npower.state  normal\n");
}

}  // namespace
}  // namespace keystonectl
