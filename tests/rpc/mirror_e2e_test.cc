// End to end: the registry mirror of a real keystone-engine on the simulated applet, set up and
// read with keystonectl the way an administrator does, across restarts of the engine.

#include <unistd.h>

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
using Bytes = std::vector<uint8_t>;
using keystone::testing::ProgramResult;
namespace tag = mfab::applet_tag;

constexpr char kSid[] = "S-1-5-21-1000-2000-3000-1001";
constexpr char kMirror[] = "HKLM\\SOFTWARE\\Ostra\\Ostra Keystone\\Engine\\DataMirror";

class MirrorE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    using namespace keystone::testing;
    if (!*kEngineBinary || !*kKeystonectlBinary || !*kKilnSimLibrary) {
      GTEST_SKIP() << "keystone-engine, keystonectl or the simulated applet was not built";
    }
    if (::geteuid() != 0) GTEST_SKIP() << "setting a policy needs an elevated client";
  }

  ProgramResult Ctl(std::vector<std::string> args) {
    args.insert(args.end(), {"--socket", socketPath});
    return engine.Ctl(args);
  }
  std::string Export(const std::string& key = kMirror) {
    const ProgramResult result = engine.Ctl({"reg", "export", key});
    return result.exitCode == 0 ? result.out : "";
  }
  static bool Holds(const std::string& text, const std::string& fragment) {
    return text.find(fragment) != std::string::npos;
  }

  // Stores the phone's enrollment for kSid through the applet, as an enrollment flow does.
  void Enroll() {
    mfab::SaveEnrollmentDataRequest enroll;
    enroll.user = kSid;
    enroll.factorId = "phone";
    Bytes pair;
    mfab::AppendTlv(pair, tag::kName, std::string("DeviceId"));
    mfab::AppendTlv(pair, tag::kValue, std::string("0011223344550100"));
    mfab::AppendTlv(enroll.data, tag::kNameValue, pair);
    const ProgramResult saved =
        Ctl({"applet", "send", "--module", "13", "--category", "2", "--session", "9", "--type",
             std::to_string(mfab::message_type::kSaveEnrollmentDataRequest), "--payload",
             keystone::ToHex(enroll.Serialize())});
    ASSERT_EQ(saved.exitCode, 0) << saved.out;
    ASSERT_EQ(Ctl({"session", "release", "9"}).exitCode, 0);
  }

  keystone::testing::EngineProcess engine{keystone::testing::kEngineBinary,
                                          keystone::testing::kKeystonectlBinary, 30s};
  const std::string socketPath = engine.RuntimeDir() + "/IVoxWithMfa";
};

TEST_F(MirrorE2eTest, EnrollmentIsPiggyBackedAgainAfterARestart) {
  ASSERT_TRUE(engine.Start());
  EXPECT_TRUE(engine.WaitForLog("policy file not exist"));
  ASSERT_EQ(Ctl({"applet", "policy", "set", "--factor", "pin:1:PIN", "--factor", "phone:2:Phone",
                 "--param", "phone:MinRssi=-70", "--action", "OSLogin=pin+phone,pin",
                 "--setting", "Lock:1=yes"})
                .exitCode,
            0);
  ASSERT_EQ(Ctl({"backup", "all"}).exitCode, 0);
  const std::string policy = Export();
  for (const char* key : {"\\Factors\\phone]", "\\Factors\\phone\\Parameters]",
                          "\\Actions\\OSLogin\\Set1\\phone]", "\\Actions\\OSLogin\\Set2\\pin]",
                          "\\SystemSettings\\Lock]"}) {
    EXPECT_TRUE(Holds(policy, key)) << key << "\n" << policy;
  }
  EXPECT_TRUE(Holds(policy, "\"MinRssi\"=\"-70\""));

  Enroll();
  ASSERT_EQ(Ctl({"backup", "user", kSid}).exitCode, 0);
  const std::string userKey = std::string(kMirror) + "\\Users\\" + kSid;
  EXPECT_TRUE(Holds(Export(userKey), "\"DeviceId\"=\"0011223344550100\"")) << Export(userKey);
  ASSERT_EQ(engine.Stop(), 0);

  // A new engine, a new applet session: the enrollment's values come back only when the engine
  // delivers the user's factor file, which it names from the mirrored policy.
  ASSERT_TRUE(engine.Start());
  EXPECT_TRUE(engine.WaitForLog("Data Mirroring reg already exist"));
  ASSERT_EQ(engine.Ctl({"reg", "delete-tree", userKey}).exitCode, 0);
  ASSERT_EQ(Ctl({"backup", "user", kSid}).exitCode, 0);
  EXPECT_TRUE(Holds(Export(userKey), "\"DeviceId\"=\"0011223344550100\"")) << Export(userKey);
  EXPECT_TRUE(Holds(engine.Log(), "Piggy-backing enrollment data for a user"));
  const ProgramResult discovered = Ctl({"discover", "policy", "--user", kSid});
  EXPECT_TRUE(Holds(discovered.out, "factor phone \"Phone\" type=2 enrolled=yes")) << discovered.out;
  ASSERT_EQ(engine.Stop(), 0);

  // Without a mirror, a start with a stored policy mirrors everything the applet knows.
  ASSERT_EQ(engine.Ctl({"reg", "delete-tree", kMirror}).exitCode, 0);
  ASSERT_TRUE(engine.Start());
  EXPECT_TRUE(engine.WaitForLog("preformed data mirror"));
  EXPECT_TRUE(engine.WaitForLog("about to update supported status for factor: pin"));
  const std::string mirrored = Export();
  EXPECT_TRUE(Holds(mirrored, "\\Factors\\phone\\Parameters]")) << mirrored;
  EXPECT_TRUE(Holds(mirrored, "\\Users\\S-1-5-21-1000-2000-3000-1001\\phone]")) << mirrored;
  EXPECT_TRUE(Holds(mirrored, "\"IsEnrolled\"=\"true\"")) << mirrored;

  ASSERT_EQ(Ctl({"support", "phone"}).exitCode, 0);
  EXPECT_TRUE(Holds(Export(std::string(kMirror) + "\\Factors\\phone"),
                    "\"IsSupported\"=dword:00000001"));
  ASSERT_EQ(Ctl({"backup", "clear"}).exitCode, 0);
  EXPECT_EQ(Export(), "");
  const ProgramResult noPolicy = Ctl({"support", "phone"});
  EXPECT_EQ(noPolicy.exitCode, 1);
  EXPECT_TRUE(Holds(noPolicy.out, "status=0xA0000050")) << noPolicy.out;
  EXPECT_EQ(engine.Stop(), 0);
}

}  // namespace
}  // namespace rpc
