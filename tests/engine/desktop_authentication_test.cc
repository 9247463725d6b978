#include "engine/desktop_authentication.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/config_keys.h"
#include "common/status.h"
#include "platform/console_session.h"
#include "platform/registry.h"
#include "platform/signed_file_verifier.h"
#include "platform/user_process.h"
#include "tests/applet/applet_test_support.h"
#include "tests/fakes/fake_engine_services.h"
#include "tests/fakes/locked.h"
#include "tests/fakes/log_capture.h"
#include "tests/fakes/memory_registry.h"
#include "tests/fakes/program_paths.h"
#include "tests/fakes/program_runner.h"
#include "tests/fakes/test_signing.h"

namespace mfab {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using keystone::ClientIdentity;
using keystone::testing::Eventually;
using keystone::testing::ProcessGone;
using keystone::testing::ReadValues;

constexpr int32_t kFailure = static_cast<int32_t>(keystone::kStatusGeneralFailure);
constexpr uint32_t kNobody = 65534;
constexpr const char* kUserSid = "S-1-5-21-1-2-3-1000";
constexpr auto kWaitLimit = 10s;

// The console session as a test sets it.
class FakeConsoleSessions final : public platform::ConsoleSessions {
 public:
  platform::ConsoleSessionLookup GraphicalSession() override {
    if (fails) throw std::runtime_error("logind is gone");
    return keystone::testing::LockedCopy(mutex, lookup);
  }
  void Set(platform::ConsoleSessionLookup answer) {
    keystone::testing::LockedSet(mutex, lookup, std::move(answer));
  }
  std::atomic<bool> fails{false};

 private:
  std::mutex mutex;
  platform::ConsoleSessionLookup lookup;
};

class DesktopAuthenticationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    using namespace keystone::testing;
    if (!*kTestDesktopProgram) GTEST_SKIP() << "the signed test program was not built";
    EnableEngineLog();
    // The program runs as another user and writes its reports here.
    ::chmod(dir.Path().c_str(), 0777);
    fs::create_directory(dir.File("bin"));
    desktopProgram = CopySigned(kTestDesktopProgram, dir.File("bin"), kDesktopProgramName);
    SetString(keystone::kImagePathValue, "\"" + dir.File("bin/keystone-engine") + "\" --flag");
    Trust({ThumbprintOf(kTestSignerCert)});
    sessions.Set({platform::ConsoleSession{.id = "c2",
                                           .uid = sessionUid,
                                           .leader = 77,
                                           .kind = "greeter",
                                           .environment = {"DISPLAY=:5"}},
                  {}});
  }
  void TearDown() override { capture->Uninstall(); }

  void SetString(const char* name, const std::string& value) {
    platform::WriteRegistryValue(registry, keystone::kEngineKey, name,
                                 platform::RegValue::String(value));
  }
  void Trust(const std::vector<std::string>& thumbprints) {
    platform::WriteRegistryValue(registry, keystone::kEngineKey, keystone::kTrustedSignersValue,
                                 platform::RegValue::MultiString(thumbprints));
  }
  DesktopAuthentication& Desktop() {
    if (!desktop) {
      desktop = std::make_unique<DesktopAuthentication>(registry, accounts, sessions, *verifier,
                                                        *launcher, options);
    }
    return *desktop;
  }
  int32_t Run(const std::string& second, const ClientIdentity& caller = {1, 1000},
              const std::string& sid = kUserSid, std::function<bool()> stop = {}) {
    return Desktop().AuthenticationOnDesktopRpc({caller, 0}, sid, second,
                                                stop ? stop : [] { return false; });
  }
  // Whether the program and the child it started (the ids it wrote) have ended.
  void ExpectProgramAndChildGone() {
    const auto pids = ReadValues(dir.File("pids"));
    for (const char* pid : {"parent", "child"}) EXPECT_TRUE(ProcessGone(pids.at(pid))) << pid;
  }
  // A program of uid 1000 that runs on a thread of its own until release is set; three slots.
  std::thread HoldAProgram(std::atomic<bool>& release) {
    options.maxPrograms = 3;
    Desktop();  // made before the second thread uses it
    std::thread holder([this, &release] {
      Run("spawn-hang:" + dir.Path(), {1, 1000}, kUserSid, [&] { return release.load(); });
    });
    EXPECT_TRUE(Eventually([&] { return fs::exists(dir.File("pids")); }));
    return holder;
  }

  std::shared_ptr<keystone::testing::LogCapture> capture = keystone::testing::LogCapture::Install();
  keystone::testing::TempDirectory dir;
  keystone::testing::MemoryRegistry registry;
  keystone::testing::FakeAccounts accounts;
  FakeConsoleSessions sessions;
  std::unique_ptr<platform::SignedFileVerifier> verifier = platform::CreateSignedFileVerifier();
  std::unique_ptr<platform::UserProcessLauncher> launcher =
      platform::CreateUserProcessLauncher({kWaitLimit});
  DesktopAuthenticationOptions options{kWaitLimit, 5ms, 8, 4096};
  std::unique_ptr<DesktopAuthentication> desktop;
  const uint32_t sessionUid = ::getuid() == 0 ? kNobody : ::getuid();
  std::string desktopProgram;
};

// Only the named user or root gets as far as the console session, here one without a desktop.
TEST_F(DesktopAuthenticationTest, RefusesACallerNamingAnotherUserUnlessRoot) {
  sessions.Set({std::nullopt, "nobody is active on seat0"});
  accounts.sidFailsFor = 1001;
  const struct {
    std::optional<ClientIdentity> caller;
    const char* sid;
    bool admitted;
    std::vector<std::string> logged;
  } cases[] = {
      {ClientIdentity{1, 1000}, kUserSid, true, {}},
      {ClientIdentity{1, 1000}, "s-1-5-21-1-2-3-01000", true, {}},
      {ClientIdentity{1, 0}, kUserSid, true, {"Comparing to system SID", "Get system SID"}},
      {ClientIdentity{1, 0}, "S-1-5-18", true, {}},
      {ClientIdentity{1, 1000},
       "S-1-5-21-1-2-3-1001",
       false,
       {"Comparing to system SID",
        "RPC caller user SID doesn't match user received from Arguments"}},
      {ClientIdentity{1, 1000}, "S-1-5-18", false, {"Comparing to system SID"}},
      {ClientIdentity{1, 1001},
       "S-1-5-21-1-2-3-1001",
       false,
       {"LookupAccountName failed for user: uid 1001, error code: 534",
        "GetSid failed. Error code: 1332"}},
      {std::nullopt,
       "S-1-5-18",
       false,
       {"Failed to retrieve client principal name. Error code: 13",
        "LookupAccountName failed for user: , error code: 534"}},
      {ClientIdentity{1, 1000}, "S-1-5-21-1-2-3-x", false,
       {"ConvertStringSidToSidA failed. error (539)"}},
  };
  for (const auto& c : cases) {
    capture->Clear();
    EXPECT_EQ(Desktop().AuthenticationOnDesktopRpc({c.caller, 13}, c.sid, "exit:0",
                                                   [] { return false; }),
              kFailure);
    EXPECT_EQ(capture->Has("No graphical session on the console: nobody is active on seat0"),
              c.admitted)
        << c.sid;
    for (const std::string& line : c.logged) EXPECT_TRUE(capture->Has(line)) << line;
  }
}

TEST_F(DesktopAuthenticationTest, RunsTheProgramAsTheSessionUserWithTheTwoArguments) {
  // Shell syntax in an argument stays text; the engine's own environment stays the engine's.
  const std::string report = dir.File("report $(touch x); 'q'");
  ::setenv("KEYSTONE_STATE_DIR", "/engine/only", 1);
  EXPECT_EQ(Run("report:" + report), 0);
  ::unsetenv("KEYSTONE_STATE_DIR");
  const auto values = ReadValues(report);
  EXPECT_EQ(values.at("uid"), std::to_string(sessionUid));
  EXPECT_EQ(values.at("pgid"), values.at("pid"));
  EXPECT_EQ(values.at("argc"), "3");
  EXPECT_EQ(values.at("arg0"), kDesktopProgramName);
  EXPECT_EQ(values.at("arg1"), kUserSid);
  EXPECT_EQ(values.at("arg2"), "report:" + report);
  EXPECT_EQ(values.at("DISPLAY"), ":5");
  EXPECT_EQ(values.at("PATH"), "/usr/local/bin:/usr/bin:/bin");
  EXPECT_EQ(values.at("KEYSTONE_STATE_DIR"), "<unset>");
  EXPECT_FALSE(fs::exists(dir.File("x")));
  EXPECT_TRUE(capture->Has("command  " + desktopProgram + " " + kUserSid + " report:" + report));
}

TEST_F(DesktopAuthenticationTest, AnswersWithHowTheProgramEnded) {
  const struct {
    const char* second;
    int32_t result;
    const char* logged;
  } cases[] = {
      {"exit:255", 255, "ExternalManagedAuthentication exe end exit code ff"},
      {"signal:11", kFailure, "ExternalManagedAuthentication GetExitCodeProcess error (b) "},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Run(c.second), c.result) << c.second;
    EXPECT_TRUE(capture->Has(c.logged)) << c.logged;
  }
}

TEST_F(DesktopAuthenticationTest, EndsAChildThatOutlivesTheProgram) {
  EXPECT_EQ(Run("spawn:" + dir.Path()), 5);
  EXPECT_TRUE(ProcessGone(ReadValues(dir.File("pids")).at("child")));
}

TEST_F(DesktopAuthenticationTest, KillsTheWholeGroupOfAProgramThatRunsTooLong) {
  options.programWait = 1500ms;
  EXPECT_EQ(Run("spawn-hang:" + dir.Path()), kDesktopProgramTimedOut);
  EXPECT_TRUE(capture->Has("ExternalManagedAuthentication exe timed out"));
  ExpectProgramAndChildGone();
}

TEST_F(DesktopAuthenticationTest, EndsTheProgramWhenTheEngineStops) {
  // The stop comes once the program has started its child.
  const auto started = [&] { return fs::exists(dir.File("pids")); };
  EXPECT_EQ(Run("spawn-hang:" + dir.Path(), {1, 1000}, kUserSid, started), kFailure);
  ExpectProgramAndChildGone();
}

TEST_F(DesktopAuthenticationTest, StartsOnlyAProgramThatVerifies) {
  const std::string external = keystone::testing::CopySigned(keystone::testing::kTestDesktopProgram,
                                                             dir.Path(), "external");
  const std::string report = dir.File("report");
  // Trusted, the external program is the one that starts.
  SetString(keystone::kExternalManagedAuthenticationValue, external);
  EXPECT_EQ(Run("report:" + report), 0);
  EXPECT_EQ(ReadValues(report).at("arg0"), "external");
  // Not trusted: the desktop program starts instead.
  fs::remove(external + ".sig");
  EXPECT_EQ(Run("report:" + report), 0);
  EXPECT_EQ(ReadValues(report).at("arg0"), kDesktopProgramName);
  EXPECT_TRUE(capture->Contains("ExternalManagedAuthentication is not started"));

  // A desktop program does not start while the registry trusts no signer, nor when a signer it
  // does not trust signed it (each reason a file fails is the verifier's test).
  Trust({});
  EXPECT_EQ(Run("exit:0"), kDesktopProgramNotSigned);
  Trust({keystone::testing::ThumbprintOf(keystone::testing::kTestSignerCert)});
  keystone::testing::CopySigned(keystone::testing::kTestDesktopProgram, dir.File("bin"),
                                kDesktopProgramName, ".foreign-sig");
  EXPECT_EQ(Run("exit:0"), kDesktopProgramNotSigned);
  EXPECT_EQ(capture->Count("VerifyFileCertificate failed, file path (" + desktopProgram + ") "),
            2u);
}

TEST_F(DesktopAuthenticationTest, FailsWithoutAProgramLocation) {
  registry.CreateKey(keystone::kEngineKey, platform::reg_access::kAllAccess)
      ->DeleteValue(keystone::kImagePathValue);
  EXPECT_EQ(Run("exit:0"), kFailure);
  EXPECT_TRUE(capture->Has("Couldn't find DesktopKeystone.exe, message: ImagePath is not set"));
  SetString(keystone::kImagePathValue, "keystone-engine");
  EXPECT_EQ(Run("exit:0"), kFailure);
  EXPECT_TRUE(capture->Has("Couldn't find authenticate dll path"));
}

// A console without a graphical session is the caller check's test.
TEST_F(DesktopAuthenticationTest, FailsWhenTheConsoleSessionCannotBeLookedUp) {
  sessions.fails = true;
  EXPECT_EQ(Run("exit:0"), kFailure);
  EXPECT_TRUE(capture->Has("The console session cannot be looked up (logind is gone)"));
  EXPECT_TRUE(capture->Has("need isolated did not found desktop token"));
}

TEST_F(DesktopAuthenticationTest, FailsWhenTheProgramCannotStart) {
  platform::ConsoleSession orphan;
  orphan.uid = 4000000000u;
  sessions.Set({orphan, {}});
  EXPECT_EQ(Run("exit:0"), kFailure);
  EXPECT_TRUE(capture->Contains("CreateProcessAsUser error ("));
  EXPECT_EQ(Run(std::string(options.maxRequestLength + 1, 'x')), kFailure);
  EXPECT_TRUE(capture->Contains("more than 4096"));
}

TEST_F(DesktopAuthenticationTest, RunsOneProgramPerCallerAtATime) {
  std::atomic<bool> release{false};
  std::thread first = HoldAProgram(release);
  EXPECT_EQ(Run("exit:0"), kFailure);
  EXPECT_TRUE(capture->Has("A desktop program of uid 1000 runs already"));
  EXPECT_EQ(Run("exit:3", {1, 0}), 3);
  release = true;
  first.join();
  EXPECT_EQ(Run("exit:4"), 4);
}

// Other users share all slots but the last two: one stays free for the console's user, one for
// root.
TEST_F(DesktopAuthenticationTest, KeepsASlotForTheConsoleUserAndOneForRoot) {
  std::atomic<bool> release{false};
  std::thread first = HoldAProgram(release);
  EXPECT_EQ(Run("exit:0", {2, 1001}, "S-1-5-21-1-2-3-1001"), kFailure);
  EXPECT_TRUE(capture->Has("1 desktop programs run already"));
  const std::string consoleSid = "S-1-5-21-1-2-3-" + std::to_string(sessionUid);
  EXPECT_EQ(Run("exit:5", {3, sessionUid}, consoleSid), 5);
  EXPECT_EQ(Run("exit:3", {1, 0}), 3);
  release = true;
  first.join();
}

}  // namespace
}  // namespace mfab
