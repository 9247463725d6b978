#include "platform/user_process.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <system_error>
#include <optional>
#include <vector>

#include "platform/signed_file_verifier.h"
#include "tests/fakes/program_paths.h"
#include "tests/fakes/program_runner.h"
#include "tests/fakes/test_signing.h"
#include "tests/platform/platform_test_support.h"

namespace platform {
namespace {

using namespace std::chrono_literals;
using keystone::testing::ProcessGone;
using keystone::testing::ReadFileText;
using keystone::testing::ReadValues;

constexpr uint32_t kNobody = 65534;
constexpr const char* kSid = "S-1-5-21-1-2-3-4";

class UserProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!*keystone::testing::kTestDesktopProgram) GTEST_SKIP() << "no signed test program";
    // The program may run as another user, who writes its reports here.
    ::chmod(dir.Path().c_str(), 0777);
    const std::string copy =
        keystone::testing::CopySigned(keystone::testing::kTestDesktopProgram, dir.Path(), "prog");
    program.emplace(CreateSignedFileVerifier()->Verify(
        copy, std::vector<std::string>{keystone::testing::ThumbprintOf(
                  keystone::testing::kTestSignerCert)}));
  }

  std::unique_ptr<UserProcess> Start(const std::string& what,
                                     std::vector<std::string> environment = {}) {
    return launcher->Start(*program, {uid, {kSid, what}, std::move(environment)});
  }
  // The two ids the program wrote to dir/pids.
  std::map<std::string, std::string> Pids() {
    EXPECT_TRUE(platform_test::WaitUntil([&] { return !ReadFileText(dir.File("pids")).empty(); }));
    return ReadValues(dir.File("pids"));
  }

  keystone::testing::TempDirectory dir;
  const uint32_t uid = ::getuid() == 0 ? kNobody : ::getuid();
  std::unique_ptr<UserProcessLauncher> launcher = CreateUserProcessLauncher({2s});
  std::optional<VerifiedFile> program;
};

TEST_F(UserProcessTest, StartsAsTheUserInAGroupOfItsOwnWithItsArgumentsAsGiven) {
  // Shell syntax in an argument stays text; the engine's environment stays the engine's.
  const std::string report = dir.File("report $(touch x); 'q'");
  ::setenv("KEYSTONE_STATE_DIR", "/engine/only", 1);
  const std::unique_ptr<UserProcess> process = Start("report:" + report, {"DISPLAY=:7"});
  ::unsetenv("KEYSTONE_STATE_DIR");
  EXPECT_EQ(process->Wait(10s), (ProcessExit{false, 0}));

  const auto values = ReadValues(report);
  EXPECT_EQ(values.at("uid"), std::to_string(uid));
  EXPECT_EQ(values.at("pgid"), values.at("pid"));
  EXPECT_EQ(values.at("pid"), std::to_string(process->Id()));
  EXPECT_EQ(values.at("argc"), "3");
  EXPECT_EQ(values.at("arg0"), "prog");
  EXPECT_EQ(values.at("arg1"), kSid);
  EXPECT_EQ(values.at("arg2"), "report:" + report);
  EXPECT_EQ(values.at("DISPLAY"), ":7");
  EXPECT_EQ(values.at("PATH"), "/usr/local/bin:/usr/bin:/bin");
  EXPECT_EQ(values.at("KEYSTONE_STATE_DIR"), "<unset>");
  EXPECT_FALSE(std::filesystem::exists(dir.File("x")));
}

TEST_F(UserProcessTest, ReportsHowTheProgramEnded) {
  const struct {
    const char* what;
    ProcessExit exit;
  } cases[] = {
      {"exit:0", {false, 0}},
      {"exit:7", {false, 7}},
      {"exit:255", {false, 255}},
      {"signal:9", {true, 9}},
      {"signal:15", {true, 15}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Start(c.what)->Wait(10s), c.exit) << c.what;
  }
}

TEST_F(UserProcessTest, EndsChildrenThatOutliveTheProgram) {
  const std::unique_ptr<UserProcess> process = Start("spawn:" + dir.Path());
  EXPECT_EQ(process->Wait(10s), (ProcessExit{false, 5}));
  const auto pids = Pids();
  EXPECT_TRUE(ProcessGone(pids.at("child")));
}

TEST_F(UserProcessTest, KillEndsTheWholeGroupOfAHangingProgram) {
  const std::unique_ptr<UserProcess> process = Start("spawn-hang:" + dir.Path());
  const auto pids = Pids();
  EXPECT_EQ(process->Wait(1ms), std::nullopt);
  EXPECT_TRUE(process->Kill());
  EXPECT_TRUE(ProcessGone(pids.at("parent")));
  EXPECT_TRUE(ProcessGone(pids.at("child")));
}

TEST_F(UserProcessTest, DestroyingARunningProgramKillsIt) {
  std::unique_ptr<UserProcess> process = Start("hang");
  const std::string pid = std::to_string(process->Id());
  process.reset();
  EXPECT_TRUE(ProcessGone(pid));
}

TEST_F(UserProcessTest, RefusesAUserWithoutAnAccount) {
  EXPECT_THROW(launcher->Start(*program, {4000000000u, {kSid, "exit:0"}, {}}), std::system_error);
}

}  // namespace
}  // namespace platform
