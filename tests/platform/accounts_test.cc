#include "platform/accounts.h"
#include "platform/account_names.h"

#include <gtest/gtest.h>

#include <regex>
#include <stdexcept>
#include <string>

namespace platform {
namespace {

constexpr char kMachineId[] = "4c4c4544004a3610804bb2c04f4e3332";

TEST(AccountsTest, MachineAuthoritiesAreAStableHashOfAWellFormedMachineId) {
  const MachineSidAuthorities derived = posix::DeriveMachineSidAuthorities(kMachineId);
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

TEST(AccountsTest, SidTextIsSOneAnAuthorityAndDecimalGroups) {
  for (const char* sid : {"S-1-5-18", "S-1-5-21-1-2-3-1001", "S-1-281474976710655-4294967295",
                          "S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15"}) {
    EXPECT_TRUE(IsSidText(sid)) << sid;
  }
  for (const char* text : {"", "S-1-", "S-2-5-18", "s-1-5-18", "S-1-5-", "S-1-5--1", "S-1-5-18 ",
                           "S-1-281474976710656", "S-1-5-4294967296", "S-1-5-+1", "S-1-5-18\\x",
                           "S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15-16"}) {
    EXPECT_FALSE(IsSidText(text)) << text;
  }
}

}  // namespace
}  // namespace platform
