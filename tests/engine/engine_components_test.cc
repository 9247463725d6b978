#include "engine/engine_components.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "common/config_keys.h"
#include "platform/os_version.h"
#include "platform/registry.h"
#include "storage/data_controller.h"
#include "storage/policy_mirror.h"
#include "tests/applet/applet_test_support.h"
#include "tests/fakes/fake_applet_channel.h"
#include "tests/fakes/fake_engine_services.h"
#include "tests/fakes/log_capture.h"
#include "tests/fakes/memory_file_system.h"
#include "tests/fakes/memory_registry.h"

namespace mfab {
namespace {

using keystone::testing::Eventually;
using namespace std::chrono_literals;

class FakeRpcServer : public IRpcServerControl {
 public:
  bool StartListening() override {
    ++starts;
    return listens;
  }
  void StopListening() override { ++stops; }
  bool listens = true;
  int starts = 0;
  int stops = 0;
};

class NoPolicy : public IPolicyMirrorReader {
 public:
  std::vector<std::string> FactorIds() override { return {}; }
  std::vector<std::string> ActionIds() override { return {}; }
};

// The production wiring (EngineComponents on the real library) runs in the end-to-end tests;
// here the resource manager runs on fakes.
class EngineComponentsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    keystone::testing::EnableEngineLog();
    platform::WriteRegistryValue(registry, keystone::kEngineKey, "DataDir",
                                 platform::RegValue::String("/data"));
  }
  void TearDown() override {
    components.reset();
    capture->Uninstall();
  }

  EngineComponents& WithFakes() {
    EngineEnvironment environment{clock, registry, accounts, controller, policy, nullptr, rpc};
    components = std::make_unique<EngineComponents>(environment, [this] {
      ResourceManagerOptions options;
      options.applet.activityTimeout = 10s;
      return std::make_unique<ResourceManager>(
          ResourceManagerDependencies{
              clock, registry, accounts, *osVersion, controller, attestation, mirroring, records,
              [state = auth](SystemPowerStateManager&) -> std::shared_ptr<IAuthenticationState> {
                return state;
              },
              [fake = applet](IApiBusyFlag&) { return fake->Factory()(); }, nullptr, nullptr,
              nullptr},
          options);
    });
    return *components;
  }

  std::shared_ptr<keystone::testing::LogCapture> capture = keystone::testing::LogCapture::Install();
  keystone::testing::MemoryRegistry registry;
  keystone::testing::MemoryFileSystem files;
  DataController controller{registry, files};
  keystone::testing::SteppingClock clock;
  keystone::testing::FakeAccounts accounts;
  NoPolicy policy;
  std::shared_ptr<FakeRpcServer> rpc = std::make_shared<FakeRpcServer>();
  std::unique_ptr<platform::OsVersion> osVersion = platform::CreateOsVersion(registry);
  keystone::testing::FakeAttestation attestation;
  DataMirroringNotPresent mirroring;
  UserRecordsNotPresent records;
  std::shared_ptr<keystone::testing::FakeAuthenticationState> auth =
      std::make_shared<keystone::testing::FakeAuthenticationState>();
  std::shared_ptr<keystone::testing::FakeApplet> applet =
      std::make_shared<keystone::testing::FakeApplet>();
  std::unique_ptr<EngineComponents> components;
};

TEST_F(EngineComponentsTest, ResourceManagerLivesFromRpcStartToItsDestruction) {
  applet->SetFwUpgraded(true);
  EngineComponents& engine = WithFakes();
  engine.HandlePowerSleepEvent();
  EXPECT_TRUE(capture->Has("Sleep event dropped: the resource manager is not running"));
  EXPECT_FALSE(engine.FirmwareChanged());
  // A server that cannot listen stops the start.
  rpc->listens = false;
  EXPECT_FALSE(engine.StartRpcServer());
  EXPECT_EQ(ResourceManager::Current(), nullptr);

  rpc->listens = true;
  ASSERT_TRUE(engine.StartRpcServer());
  std::shared_ptr<ResourceManager> manager = ResourceManager::Current();
  ASSERT_NE(manager, nullptr);
  EXPECT_TRUE(engine.FirmwareChanged());

  manager->SetFlowType(3, 3);
  engine.HandlePowerSleepEvent();
  EXPECT_EQ(manager->OwnerSessionId(), 0xFFFFFFFFu);
  EXPECT_EQ(manager->PowerState().CurrentPowerState(), SystemPowerStateManager::kGoingToSleep);
  engine.HandlePowerResumeEvent();
  EXPECT_TRUE(manager->TakeResumeMark());
  accounts.SetConsoleSid("S-1-5-21-1-1-1-1000");
  engine.HandleSessionUnlockEvent();
  EXPECT_EQ(manager->CurrentUserSid(), "S-1-5-21-1-1-1-1000");
  engine.HandleLogoffEvent();
  EXPECT_EQ(manager->CurrentUserSid(), "");
  manager.reset();

  engine.StopRpcServer();
  EXPECT_EQ(rpc->stops, 1);
  engine.DestroyResourceManager();
  EXPECT_EQ(ResourceManager::Current(), nullptr);
  engine.HandleSessionLockEvent();
  EXPECT_TRUE(capture->Has("Session lock event dropped: the resource manager is not running"));
}

TEST_F(EngineComponentsTest, StartUpStepsReportWhatIsNotPresent) {
  EngineComponents& engine = WithFakes();
  ASSERT_TRUE(engine.StartRpcServer());
  engine.MirrorDataIfEmpty();
  engine.PolicyUpdated();
  engine.StartUserRecordTask();
  EXPECT_TRUE(capture->Has("Registry mirroring is not present (MirrorDataIfEmpty)"));
  EXPECT_TRUE(capture->Has("Registry mirroring is not present (PolicyUpdated)"));
  ASSERT_TRUE(
      Eventually([&] { return capture->Has("User records is not present (updateUserRecord)"); }));
  auto cleanup = engine.StartTraceLogCleanup();
  ASSERT_EQ(cleanup.wait_for(10s), std::future_status::ready);
  EXPECT_TRUE(cleanup.get());
  engine.HandleOsUpgrade();
  EXPECT_TRUE(platform::ReadRegistryDword(registry, keystone::kEngineKey, "OSVersion").has_value());
}

}  // namespace
}  // namespace mfab
