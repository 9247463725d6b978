// End to end: the registry mirror of a real keystone-engine on the simulated applet, set up and
// read with keystonectl the way an administrator does, across restarts of the engine.

#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "common/hex.h"
#include "tests/fakes/engine_process.h"
#include "tests/fakes/program_paths.h"
#include "tlv/applet_tags.h"
#include "tlv/client_messages.h"
#include "tlv/message_types.h"

namespace rpc {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
namespace tag = mfab::applet_tag;

constexpr char kSid[] = "S-1-5-21-1000-2000-3000-1001";
constexpr char kMirror[] = "HKLM\\SOFTWARE\\Ostra\\Ostra Keystone\\Engine\\DataMirror";

TEST(MirrorE2eTest, EnrollmentIsPiggyBackedAgainAfterARestart) {
  using namespace keystone::testing;
  if (!*kEngineBinary || !*kKeystonectlBinary || !*kKilnSimLibrary) {
    GTEST_SKIP() << "keystone-engine, keystonectl or the simulated applet was not built";
  }
  if (::geteuid() != 0) GTEST_SKIP() << "setting a policy needs an elevated client";
  EngineProcess engine(kEngineBinary, kKeystonectlBinary, 30s);
  const auto ctl = [&](std::vector<std::string> args) {
    args.insert(args.end(), {"--socket", engine.RuntimeDir() + "/IVoxWithMfa"});
    return engine.Ctl(args);
  };
  const auto exported = [&](const std::string& key) {
    const ProgramResult result = engine.Ctl({"reg", "export", key});
    return result.exitCode == 0 ? result.out : "";
  };
  const std::string userKey = std::string(kMirror) + "\\Users\\" + kSid;
  const std::string deviceId = "\"DeviceId\"=\"0011223344550100\"";

  ASSERT_TRUE(engine.Start());
  EXPECT_TRUE(engine.WaitForLog("policy file not exist"));
  ASSERT_EQ(ctl({"applet", "policy", "set", "--factor", "pin:1:PIN", "--factor", "phone:2:Phone",
                 "--param", "phone:MinRssi=-70", "--action", "OSLogin=pin+phone,pin", "--setting",
                 "Lock:1=yes"})
                .exitCode,
            0);
  ASSERT_EQ(ctl({"backup", "all"}).exitCode, 0);
  const std::string policy = exported(kMirror);
  for (const char* key :
       {"\\Factors\\phone\\Parameters]", "\\Actions\\OSLogin\\Set1\\phone]",
        "\\Actions\\OSLogin\\Set2\\pin]", "\\SystemSettings\\Lock]", "\"MinRssi\"=\"-70\""}) {
    EXPECT_THAT(policy, HasSubstr(key));
  }

  // The phone's enrollment for kSid, stored through the applet as an enrollment flow does.
  mfab::SaveEnrollmentDataRequest enroll;
  enroll.user = kSid;
  enroll.factorId = "phone";
  std::vector<uint8_t> pair;
  mfab::AppendTlv(pair, tag::kName, std::string("DeviceId"));
  mfab::AppendTlv(pair, tag::kValue, std::string("0011223344550100"));
  mfab::AppendTlv(enroll.data, tag::kNameValue, pair);
  const ProgramResult saved =
      ctl({"applet", "send", "--module", "13", "--category", "2", "--session", "9", "--type",
           std::to_string(mfab::message_type::kSaveEnrollmentDataRequest), "--payload",
           keystone::ToHex(enroll.Serialize())});
  ASSERT_EQ(saved.exitCode, 0) << saved.out;
  ASSERT_EQ(ctl({"session", "release", "9"}).exitCode, 0);
  ASSERT_EQ(ctl({"backup", "user", kSid}).exitCode, 0);
  EXPECT_THAT(exported(userKey), HasSubstr(deviceId));
  ASSERT_EQ(engine.Stop(), 0);

  // A new engine, a new applet session: the enrollment's values come back only when the engine
  // delivers the user's factor file, which it names from the mirrored policy.
  ASSERT_TRUE(engine.Start());
  EXPECT_TRUE(engine.WaitForLog("Data Mirroring reg already exist"));
  ASSERT_EQ(engine.Ctl({"reg", "delete-tree", userKey}).exitCode, 0);
  ASSERT_EQ(ctl({"backup", "user", kSid}).exitCode, 0);
  EXPECT_THAT(exported(userKey), HasSubstr(deviceId));
  EXPECT_THAT(engine.Log(), HasSubstr("Piggy-backing enrollment data for a user"));
  EXPECT_THAT(ctl({"discover", "policy", "--user", kSid}).out,
              HasSubstr("factor phone \"Phone\" type=2 enrolled=yes"));
  ASSERT_EQ(engine.Stop(), 0);

  // Without a mirror, a start with a stored policy mirrors everything the applet knows.
  ASSERT_EQ(engine.Ctl({"reg", "delete-tree", kMirror}).exitCode, 0);
  ASSERT_TRUE(engine.Start());
  EXPECT_TRUE(engine.WaitForLog("preformed data mirror"));
  EXPECT_TRUE(engine.WaitForLog("about to update supported status for factor: pin"));
  const std::string mirrored = exported(kMirror);
  EXPECT_THAT(mirrored, HasSubstr("\\Factors\\phone\\Parameters]"));
  EXPECT_THAT(mirrored, HasSubstr("\\Users\\S-1-5-21-1000-2000-3000-1001\\phone]"));
  EXPECT_THAT(mirrored, HasSubstr("\"IsEnrolled\"=\"true\""));

  ASSERT_EQ(ctl({"support", "phone"}).exitCode, 0);
  EXPECT_THAT(exported(std::string(kMirror) + "\\Factors\\phone"),
              HasSubstr("\"IsSupported\"=dword:00000001"));
  ASSERT_EQ(ctl({"backup", "clear"}).exitCode, 0);
  EXPECT_EQ(exported(kMirror), "");
  const ProgramResult noPolicy = ctl({"support", "phone"});
  EXPECT_EQ(noPolicy.exitCode, 1);
  EXPECT_THAT(noPolicy.out, HasSubstr("status=0xA0000050"));
  EXPECT_EQ(engine.Stop(), 0);
}

}  // namespace
}  // namespace rpc
