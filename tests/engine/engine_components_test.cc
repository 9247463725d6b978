#include "engine/engine_components.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <random>
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
#include "tlv/client_messages.h"
#include "tlv/message.h"
#include "tlv/message_types.h"

namespace mfab {
namespace {

using keystone::testing::EnableEngineLog;
using keystone::testing::Eventually;
using keystone::testing::FakeAccounts;
using keystone::testing::FakeApplet;
using keystone::testing::FakeAttestation;
using keystone::testing::FakeAuthenticationState;
using keystone::testing::LogCapture;
using keystone::testing::MemoryFileSystem;
using keystone::testing::MemoryRegistry;
using keystone::testing::SteppingClock;
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

class EngineComponentsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    capture = LogCapture::Install();
    EnableEngineLog();
    platform::WriteRegistryValue(registry, keystone::kEngineKey, "DataDir",
                                 platform::RegValue::String("/data"));
  }
  void TearDown() override {
    components.reset();
    capture->Uninstall();
  }

  EngineEnvironment Environment() {
    return EngineEnvironment{clock, registry, accounts, controller, policy, nullptr, rpc};
  }
  // Components whose resource manager runs on fakes.
  EngineComponents& WithFakes() {
    components = std::make_unique<EngineComponents>(Environment(), [this] {
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

  std::shared_ptr<LogCapture> capture;
  MemoryRegistry registry;
  MemoryFileSystem files;
  DataController controller{registry, files};
  SteppingClock clock;
  FakeAccounts accounts;
  NoPolicy policy;
  std::shared_ptr<FakeRpcServer> rpc = std::make_shared<FakeRpcServer>();
  std::unique_ptr<platform::OsVersion> osVersion = platform::CreateOsVersion(registry);
  FakeAttestation attestation;
  DataMirroringNotPresent mirroring;
  UserRecordsNotPresent records;
  std::shared_ptr<FakeAuthenticationState> auth = std::make_shared<FakeAuthenticationState>();
  std::shared_ptr<FakeApplet> applet = std::make_shared<FakeApplet>();
  std::unique_ptr<EngineComponents> components;
};

TEST_F(EngineComponentsTest, ResourceManagerLivesFromRpcStartToItsDestruction) {
  EngineComponents& engine = WithFakes();
  engine.HandlePowerSleepEvent();
  EXPECT_TRUE(capture->Has("Sleep event dropped: the resource manager is not running"));

  ASSERT_TRUE(engine.StartRpcServer());
  EXPECT_EQ(rpc->starts, 1);
  std::shared_ptr<ResourceManager> manager = ResourceManager::Current();
  ASSERT_NE(manager, nullptr);

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

TEST_F(EngineComponentsTest, ServerThatCannotListenStopsTheStart) {
  rpc->listens = false;
  EngineComponents& engine = WithFakes();
  EXPECT_FALSE(engine.StartRpcServer());
  EXPECT_EQ(ResourceManager::Current(), nullptr);
}

TEST_F(EngineComponentsTest, StartUpStepsReportWhatIsNotPresent) {
  applet->SetFwUpgraded(true);
  EngineComponents& engine = WithFakes();
  EXPECT_FALSE(engine.FirmwareChanged());  // no resource manager yet
  ASSERT_TRUE(engine.StartRpcServer());
  EXPECT_TRUE(engine.FirmwareChanged());
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

#ifdef KILN_SIM_LIBRARY
// A fresh directory for the simulated applet's own state, removed afterwards.
class SimulatedAppletState {
 public:
  SimulatedAppletState() {
    std::random_device random;
    path =
        std::filesystem::temp_directory_path() / ("keystone-core-sim-" + std::to_string(random()));
    std::filesystem::create_directories(path);
    ::setenv("KILN_SIM_STATE_DIR", path.c_str(), 1);
  }
  ~SimulatedAppletState() {
    ::unsetenv("KILN_SIM_STATE_DIR");
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }

 private:
  std::filesystem::path path;
};

TEST_F(EngineComponentsTest, ProductionWiringTalksToTheSimulatedApplet) {
  SimulatedAppletState simulator;
  platform::WriteRegistryValue(registry, keystone::kEngineKey, "KILNLibraryPath",
                               platform::RegValue::String(KILN_SIM_LIBRARY));
  platform::WriteRegistryValue(registry, keystone::kEngineKey, "AppletPath",
                               platform::RegValue::String("/opt/keystone/mfa.applet"));
  components = std::make_unique<EngineComponents>(Environment());
  ASSERT_TRUE(components->StartRpcServer());
  // A first start finds a firmware it has not recorded and installs the applet.
  EXPECT_TRUE(components->FirmwareChanged());

  ResourceManager& manager = ResourceManager::Instance();
  const Message policyReply = Message::Parse(manager.Applet().GetPolicyData());
  EXPECT_TRUE(policyReply.messageType == 0xABBA0066 ||
              policyReply.messageType == message_type::kErrorReply)
      << std::hex << policyReply.messageType;

  // A client request goes the whole way and leaves the applet to its session.
  CheckFactorEnrollmentRequest check;
  check.factorId = "F1";
  check.user = "S-1-5-21-1-2-3-1000";
  Message request;
  request.moduleId = 1;
  request.messageType = message_type::kCheckFactorEnrollmentRequest;
  request.payload = check.Serialize();
  request.sessionId = manager.NextSessionId();
  const Message reply = Message::Parse(manager.SendMessageToApplet(request.Serialize(), 1));
  EXPECT_EQ(reply.sessionId, request.sessionId);
  EXPECT_EQ(manager.OwnerSessionId(), request.sessionId);
  components->DestroyResourceManager();
}
#endif

}  // namespace
}  // namespace mfab
