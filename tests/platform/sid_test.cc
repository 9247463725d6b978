#include "platform/sid.h"

#include <gtest/gtest.h>

#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/account_names.h"
#include "platform/accounts.h"

namespace platform {
namespace {

TEST(AccountsTest, MachineAuthoritiesAreAStableHashOfAWellFormedMachineId) {
  const MachineSidAuthorities derived =
      posix::DeriveMachineSidAuthorities("4c4c4544004a3610804bb2c04f4e3332");
  // Case and a trailing newline do not change the machine.
  EXPECT_EQ(posix::DeriveMachineSidAuthorities("4C4C4544004A3610804BB2C04F4E3332\n"), derived);
  EXPECT_NE(posix::DeriveMachineSidAuthorities("4c4c4544004a3610804bb2c04f4e3333"), derived);
  // The SID does not carry the machine id itself.
  const std::string sid = LocalAccountSid(derived, 1000);
  EXPECT_TRUE(std::regex_match(sid, std::regex(R"(S-1-5-21-\d{1,10}-\d{1,10}-\d{1,10}-1000)")))
      << sid;
  EXPECT_EQ(sid.find("4c4c4544"), std::string::npos);
  EXPECT_EQ(LocalAccountSid({1, 2, 4294967295u}, 0), "S-1-5-21-1-2-4294967295-0");
  for (const char* bad : {"", "4c4c4544", "4c4c4544004a3610804bb2c04f4e33321",
                          "4c4c4544004a3610804bb2c04f4e333g", "uninitialized\n"}) {
    EXPECT_THROW(posix::DeriveMachineSidAuthorities(bad), std::invalid_argument) << bad;
  }
}

// "S-1-5" followed by count sub-authorities of 1.
std::string WithGroups(int count) {
  std::string text = "S-1-5";
  for (int i = 0; i < count; ++i) text += "-1";
  return text;
}

// Two readers of SID text: ParseSid takes every form a client may send, IsSidText only "S-1-"
// with decimal groups, the form the mirror names its users by.
TEST(SidTest, IsSidTextAcceptsOnlyTheDecimalFormOfWhatParseSidReads) {
  const Sid expected{5, {21, 1, 2, 3, 1000}};
  const struct {
    const char* text;
    bool decimal;
  } forms[] = {{"S-1-5-21-1-2-3-1000", true},
               {"S-1-5-21-01-002-3-1000", true},
               {"s-1-5-21-1-2-3-1000", false},
               {"S-1-0x000000000005-21-1-2-3-1000", false}};
  for (const auto& [text, decimal] : forms) {
    EXPECT_EQ(ParseSid(text), expected) << text;
    EXPECT_EQ(IsSidText(text), decimal) << text;
  }
  EXPECT_EQ(ParseSid(WithGroups(15))->subAuthorities.size(), 15u);
  EXPECT_EQ(ParseSid("S-1-5"), (Sid{5, {}}));
  EXPECT_EQ(ParseSid("S-1-281474976710655-4294967295"), (Sid{Sid::kMaxAuthority, {UINT32_MAX}}));
  EXPECT_TRUE(IsSidText(WithGroups(15)));
  EXPECT_TRUE(IsSidText("S-1-281474976710655-4294967295"));
}

TEST(SidTest, BothReadersRefuseWhatIsNotASid) {
  // A backslash would let a SID name a registry path.
  std::vector<std::string> refused = {"S-1-5-18\\x", WithGroups(16),
                                      "S-1-5-" + std::string(300, '1')};
  for (const char* text :
       {"", "S", "S-1", "S-1-", "S-2-5-18", "X-1-5-18", "S-1-5-", "S-1--5", "S-1-5--18",
        "S-1-5-18-", " S-1-5-18", "S-1-5-18 ", "S-1-+5-18", "S-1-5-4294967296",
        "S-1-281474976710656", "S-1-0x1000000000000-1", "S-1-0x-1", "S-1-5-18\n", "S-1-5-1a"}) {
    refused.push_back(text);
  }
  for (const std::string& text : refused) {
    EXPECT_FALSE(ParseSid(text)) << text;
    EXPECT_FALSE(IsSidText(text)) << text;
  }
}

}  // namespace
}  // namespace platform
