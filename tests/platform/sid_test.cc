#include "platform/sid.h"

#include <gtest/gtest.h>

#include <string>

namespace platform {
namespace {

TEST(SidTest, ParsesTheTextFormsOfOneSid) {
  const Sid expected{5, {21, 1, 2, 3, 1000}};
  for (const char* text : {"S-1-5-21-1-2-3-1000", "s-1-5-21-1-2-3-1000",
                           "S-1-0x000000000005-21-1-2-3-1000", "S-1-5-21-01-002-3-1000"}) {
    EXPECT_EQ(ParseSid(text), expected) << text;
  }
  EXPECT_EQ(ParseSid("S-1-5"), (Sid{5, {}}));
  EXPECT_EQ(ParseSid("S-1-281474976710655-4294967295"), (Sid{Sid::kMaxAuthority, {UINT32_MAX}}));
}

TEST(SidTest, TakesAtMostFifteenSubAuthorities) {
  std::string text = "S-1-5";
  for (int i = 0; i < 15; ++i) text += "-1";
  EXPECT_EQ(ParseSid(text)->subAuthorities.size(), 15u);
  EXPECT_FALSE(ParseSid(text + "-1"));
}

TEST(SidTest, RefusesWhatIsNotASid) {
  for (const char* text :
       {"", "S", "S-1", "S-1-", "S-2-5-18", "X-1-5-18", "S-1-5-", "S-1--5", "S-1-5--18",
        "S-1-5-18-", " S-1-5-18", "S-1-5-18 ", "S-1-+5-18", "S-1-5-4294967296",
        "S-1-281474976710656", "S-1-0x1000000000000-1", "S-1-0x-1", "S-1-5-18\n", "S-1-5-1a"}) {
    EXPECT_FALSE(ParseSid(text)) << text;
  }
  EXPECT_FALSE(ParseSid("S-1-5-" + std::string(300, '1')));
}

}  // namespace
}  // namespace platform
