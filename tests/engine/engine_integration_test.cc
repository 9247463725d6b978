// Starts the real keystone-engine in a temporary state and runtime directory and drives it with
// keystonectl and signals.

#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>

#include "platform/power_capabilities.h"
#include "tests/fakes/engine_process.h"
#include "tests/fakes/eventually.h"
#include "tests/fakes/program_paths.h"
#include "tests/fakes/program_runner.h"

namespace mfab {
namespace {

using keystone::testing::EngineProcess;
using keystone::testing::kEngineBinary;
using keystone::testing::kKeystonectlBinary;

class EngineIntegrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!*kEngineBinary || !*kKeystonectlBinary) GTEST_SKIP() << "the programs were not built";
  }
  // Runs keystonectl with args, expects "ok", then waits for each text in the engine's log.
  void ExpectCtl(const std::string& args, std::initializer_list<const char*> logged = {}) {
    const auto result = engine.Ctl(keystone::testing::Words(args));
    EXPECT_EQ(result.exitCode, 0) << args << ": " << result.err;
    EXPECT_EQ(result.out, "ok\n") << args;
    for (const char* text : logged) EXPECT_TRUE(engine.WaitForLog(text)) << text;
  }

  EngineProcess engine{kEngineBinary, kKeystonectlBinary};
};

TEST_F(EngineIntegrationTest, EngineServesItsControlSocketUntilSigterm) {
  engine.SetEngineDword(platform::kConnectedStandbyValue, 0);
  ASSERT_TRUE(engine.Start());
  EXPECT_EQ(engine.Notifications(),
            (std::vector<std::string>{"STATUS=start-pending", "READY=1\nSTATUS=running"}));
  EXPECT_TRUE(engine.WaitForLog("the system is not configer to connected standby"));
  // Revocation-list downloads and directory tests are rare: libcurl and LDAP, with the many
  // libraries they link, are loaded when first needed, not with the engine.
  const std::string maps =
      keystone::testing::ReadFileText("/proc/" + std::to_string(engine.Pid()) + "/maps");
  EXPECT_NE(maps.find("libsqlite3"), std::string::npos);
  EXPECT_EQ(maps.find("libcurl"), std::string::npos);
  EXPECT_EQ(maps.find("libldap"), std::string::npos);
  // The service's log texts per event are its unit test's; these show the events arrived.
  ExpectCtl("event sleep", {"PS-END: PowerState = 1"});
  ExpectCtl("event resume", {"PS-END: PowerState = 0"});
  ExpectCtl("event lock", {"SERVICE_SESSION  WTS_SESSION_LOCK"});
  ExpectCtl("event unlock", {"SERVICE_SESSION  WTS_SESSION_UNLOCK"});
  ExpectCtl("event logoff", {"PS-END: Session logoff, PowerState = 0"});

  // The health view names the last power event and the parts it reads; the applet work the
  // resume queued drains first.
  auto status = engine.Ctl({"status", "--json"});
  EXPECT_TRUE(keystone::testing::Eventually([&] {
    status = engine.Ctl({"status", "--json"});
    return status.out.find("\"applet.queue_depth\":0") != std::string::npos;
  })) << status.out;
  EXPECT_EQ(status.exitCode, 0) << status.err;
  for (const char* fragment :
       {"\"power.state\":\"normal\"", "\"power.last_event\":\"resume\"", "\"rpc.listening\":true",
        "\"rpc.call_limit\":1234", "\"power.system_bus\":false", "\"applet.queue_depth\":0",
        "\"component.bluetooth_manager\":\"absent: "}) {
    EXPECT_NE(status.out.find(fragment), std::string::npos) << fragment << " in " << status.out;
  }
  const auto text = engine.Ctl({"status"});
  EXPECT_EQ(text.exitCode, 0) << text.err;
  const size_t line = text.out.find("\npower.last_event ");
  ASSERT_NE(line, std::string::npos) << text.out;
  EXPECT_EQ(text.out.substr(text.out.find_first_not_of(' ', line + 18), 7), "resume\n");

  // Without connected standby the standby events are refused.
  const auto refused = engine.Ctl({"event", "standby-enter"});
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_EQ(refused.out.rfind("error connected standby notifications are not registered", 0), 0u);

  EXPECT_EQ(engine.Stop(), 0);
  const auto& notes = engine.Notifications();
  ASSERT_GE(notes.size(), 4u);
  EXPECT_EQ(notes[2], "STOPPING=1\nSTATUS=stop-pending");
  EXPECT_EQ(notes.back(), "STATUS=stopped");
  EXPECT_NE(engine.Log().find("Received SIGTERM: stopping the service"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(engine.RuntimeDir() + "/control"));
}

TEST_F(EngineIntegrationTest, ConnectedStandbyMachineTakesStandbyEventsUntilStopped) {
  engine.SetEngineDword(platform::kConnectedStandbyValue, 1);
  ASSERT_TRUE(engine.Start());
  EXPECT_TRUE(
      engine.WaitForLog("Register to PowerSettingNotification doto connected standby mode"));
  ExpectCtl("event standby-enter", {"PBT_POWERSETTINGCHANGE  - enter connected standby state",
                                    "PS-START: Enter connected standby"});
  ExpectCtl("event standby-exit", {"PBT_POWERSETTINGCHANGE  - exit connected standby state",
                                   "PS-START: Exit connected standby"});
  // The pending standby entry is cut short rather than delaying the stop.
  EXPECT_EQ(engine.Stop(EngineProcess::StopBy::kKeystonectl), 0);
  EXPECT_TRUE(engine.WaitForLog("SVC-END"));
  EXPECT_EQ(engine.Log().find("Not entering connected standby"), std::string::npos);
  // Nobody is listening any more.
  const auto after = engine.Ctl({"event", "sleep"});
  EXPECT_EQ(after.exitCode, 1);
  EXPECT_NE(after.err.find("cannot reach the engine's control socket"), std::string::npos);
}

TEST_F(EngineIntegrationTest, RefusesToStartWithoutAUsableStateDirectory) {
  std::ofstream(engine.Root() + "/plain-file") << "x";
  engine.Env().push_back({"KEYSTONE_STATE_DIR", engine.Root() + "/plain-file/state"});
  const auto run = keystone::testing::RunProgram(kEngineBinary, {}, {.env = engine.Env()});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.err.find("keystone-engine: cannot use the state directory"), std::string::npos);
}

// Other programs read the registry mirror; the stored data stays the engine's own.
TEST_F(EngineIntegrationTest, StoredDataStaysPrivateWhileTheRegistryMirrorIsReadable) {
  if (::geteuid() != 0) GTEST_SKIP() << "the service's modes are those of root";
  namespace stdfs = std::filesystem;
  stdfs::permissions(engine.Root(), stdfs::perms(0755));  // traversable, as /var/lib is
  ASSERT_TRUE(engine.Start());
  const auto set =
      engine.Ctl({"applet", "policy", "set", "--factor", "pin:1:PIN", "--action", "OSLogin=pin"});
  ASSERT_EQ(set.exitCode, 0) << set.out << set.err;

  const auto mode = [](const std::string& path) {
    return static_cast<unsigned>(stdfs::status(path).permissions() & stdfs::perms::mask);
  };
  const std::string state = engine.StateDir();
  EXPECT_EQ(mode(state), 0755u);
  EXPECT_EQ(mode(state + "/registry.db"), 0644u);
  EXPECT_EQ(mode(state + "/Data"), 0700u);
  int files = 0;
  for (const auto& entry : stdfs::directory_iterator(state + "/Data")) {
    EXPECT_EQ(mode(entry.path()), 0600u) << entry.path();
    ++files;
  }
  EXPECT_GE(files, 3);

  constexpr uint32_t kNobody = 65534;
  const auto query = engine.Ctl(
      {"reg", "query", "HKLM\\SOFTWARE\\Ostra\\Ostra Keystone\\Engine", "FWVersion"}, kNobody);
  EXPECT_EQ(query.exitCode, 0) << query.err;
  EXPECT_NE(query.out.find("FWVersion"), std::string::npos);
  EXPECT_EQ(engine.Stop(), 0);
}

}  // namespace
}  // namespace mfab
