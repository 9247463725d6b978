#include "engine/resource_manager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "applet/kiln_exceptions.h"
#include "common/config_keys.h"
#include "common/exceptions.h"
#include "service/engine_components.h"
#include "service/owned_resource_manager.h"
#include "platform/os_version.h"
#include "platform/registry.h"
#include "platform/signed_file_verifier.h"
#include "storage/data_controller.h"
#include "tests/applet/applet_session_fixture.h"
#include "tests/applet/applet_test_support.h"
#include "tests/fakes/fake_applet_channel.h"
#include "tests/fakes/fake_engine_services.h"
#include "tests/fakes/fake_stored_data.h"
#include "tests/fakes/log_capture.h"
#include "tests/fakes/memory_file_system.h"
#include "tests/fakes/memory_registry.h"
#include "tlv/host_messages.h"
#include "tlv/message_types.h"

namespace mfab {
namespace {

using keystone::testing::Eventually;
using keystone::testing::Reply;
using keystone::testing::ThrownText;
using namespace std::chrono_literals;
namespace mt = message_type;

constexpr char kConsoleSid[] = "S-1-5-21-9-9-9-1000";
constexpr uint32_t kNobody = 0xFFFFFFFF;
constexpr keystone::ClientIdentity kClient{55, 1000};

Bytes SaveRequestReply(const std::string& name) {
  SaveRequest save;
  save.masterVersionsData = {1};
  save.secondFileName = name + "$2";
  save.secondFileData = {2};
  save.firstFileName = name;
  save.firstFileData = {3};
  return Reply(mt::kSaveRequest, save.Serialize());
}

class FakeBtManager : public IBluetoothManager {
 public:
  void ClearRssi() override { throw std::runtime_error("radio gone"); }
  void ClearUserData() override { ++userDataCleared; }
  void UserDataUpdated(const std::string& user) override { throw std::runtime_error(user); }
  void HandlePowerSleepEvent() override { ++sleeps; }
  std::atomic<int> sleeps{0};
  std::atomic<int> userDataCleared{0};
};

class ResourceManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    keystone::testing::EnableEngineLog();
    platform::WriteRegistryValue(registry, keystone::kEngineKey, "DataDir",
                                 platform::RegValue::String("/data"));
    accounts.SetConsoleSid(kConsoleSid);
  }
  void TearDown() override {
    resources.reset();
    capture->Uninstall();
  }

  std::unique_ptr<ResourceManager> Make() {
    ResourceManagerOptions options;
    options.applet.activityTimeout = 10s;
    options.power.standbyEntryDelay = 1ms;
    return std::make_unique<ResourceManager>(
        ResourceManagerDependencies{
            clock, registry, accounts, *osVersion, controller, attestation, mirroring, userRecords,
            [state = auth](SystemPowerStateManager&) -> std::shared_ptr<IAuthenticationState> {
              return state;
            },
            [fake = applet](IApiBusyFlag&) { return fake->Factory()(); }, btManager, nullptr,
            nullptr},
        options);
  }
  ResourceManager& Start() {
    resources = Make();
    return *resources;
  }
  Bytes Send(ResourceManager& rm) { return rm.SendMessageToApplet(request, kClient); }
  void SetBuildNumber(const std::string& build) {
    platform::WriteRegistryValue(registry, keystone::kWindowsCurrentVersionKey,
                                 "CurrentBuildNumber", platform::RegValue::String(build));
  }
  std::optional<uint32_t> StoredOsVersion() {
    return platform::ReadRegistryDword(registry, keystone::kEngineKey, "OSVersion");
  }

  std::shared_ptr<keystone::testing::LogCapture> capture = keystone::testing::LogCapture::Install();
  keystone::testing::MemoryRegistry registry;
  keystone::testing::MemoryFileSystem files;
  DataController controller{registry, files};
  keystone::testing::SteppingClock clock;
  keystone::testing::FakeAccounts accounts;
  std::unique_ptr<platform::OsVersion> osVersion = platform::CreateOsVersion(registry);
  keystone::testing::FakeAttestation attestation;
  keystone::testing::RecordingMirroring mirroring;
  keystone::testing::RecordingUserRecords userRecords;
  std::shared_ptr<keystone::testing::FakeAuthenticationState> auth =
      std::make_shared<keystone::testing::FakeAuthenticationState>();
  std::shared_ptr<keystone::testing::FakeApplet> applet =
      std::make_shared<keystone::testing::FakeApplet>();
  std::shared_ptr<FakeBtManager> btManager;
  std::unique_ptr<ResourceManager> resources;
  // A client request in session 7.
  const Bytes request = Reply(0xABBA0013);
};

TEST_F(ResourceManagerTest, OneSessionAndFlowHoldTheAppletUntilReleased) {
  ResourceManager& rm = Start();
  rm.SetFlowType(7, 3, kClient);
  rm.SetFlowType(7, 3, kClient);
  EXPECT_EQ(ThrownText<AppletCurrentlyBusyException>([&] { rm.SetFlowType(8, 3, kClient); }),
            "Applet is currently busy with other flow");
  EXPECT_THROW(rm.SetFlowType(7, 2, kClient), AppletCurrentlyBusyException);

  rm.ReleaseSessionId(8);
  EXPECT_EQ(rm.OwnerSessionId(), 7u);
  EXPECT_TRUE(capture->Has("Applet is currently busy oner ID 7 , sessionID 8"));

  rm.ReleaseSessionId(7);
  EXPECT_EQ(rm.OwnerSessionId(), kNobody);
  EXPECT_EQ(rm.CurrentFlowType(), 0);
  rm.SetFlowType(8, 3, kClient);
  rm.ReleaseSessionId(kNobody);
  EXPECT_EQ(rm.OwnerSessionId(), kNobody);
}

// A session id is the client's only together with its user: others can neither use nor free it.
TEST_F(ResourceManagerTest, AClaimBelongsToTheUserWhoMadeIt) {
  ResourceManager& rm = Start();
  const keystone::ClientIdentity other{56, 1001};
  rm.SetFlowType(7, 3, kClient);
  EXPECT_THROW(rm.SetFlowType(7, 3, other), AppletCurrentlyBusyException);
  rm.ReleaseClientSession(7, other);
  rm.ReleaseClientSession(kNobody, other);
  EXPECT_EQ(rm.OwnerSessionId(), 7u);
  rm.ReleaseClientSession(kNobody, kClient);
  EXPECT_EQ(rm.OwnerSessionId(), kNobody);
  rm.SetFlowType(7, 3, other);
  rm.ReleaseClientSession(7, keystone::ClientIdentity{1, 0});  // root frees any
  EXPECT_EQ(rm.OwnerSessionId(), kNobody);
}

// The console user and root are not kept out by another user's claim or authentication.
TEST_F(ResourceManagerTest, AnotherUsersHoldYieldsToTheConsoleUserAndRoot) {
  accounts.SetConsoleSid(accounts.UserSid(kClient.uid));
  ResourceManager& rm = Start();
  const keystone::ClientIdentity stranger{60, 2000}, root{1, 0};
  rm.SetFlowType(9, 2, stranger);
  auth->inProgress = true;
  EXPECT_FALSE(rm.YieldToPriorityClient(keystone::ClientIdentity{61, 2001}));
  EXPECT_FALSE(rm.YieldToPriorityClient(stranger));
  EXPECT_EQ(rm.OwnerSessionId(), 9u);
  EXPECT_TRUE(rm.YieldToPriorityClient(kClient));
  EXPECT_EQ(rm.OwnerSessionId(), kNobody);
  EXPECT_FALSE(auth->AuthenticationInProgress());
  EXPECT_EQ(auth->Errors(), (std::vector<uint32_t>{0xA000005A}));
  EXPECT_TRUE(capture->Has(
      "Applet released from session 9 of uid 2000 for uid 1000 (root or the console user)"));

  // An authentication outlives its claim, and still yields.
  rm.SetFlowType(10, 2, stranger);
  rm.ReleaseClientSession(10, stranger);
  auth->inProgress = true;
  EXPECT_TRUE(rm.YieldToPriorityClient(root));
  // What the console user or root holds stays theirs.
  rm.SetFlowType(11, 2, kClient);
  EXPECT_FALSE(rm.YieldToPriorityClient(root));
  EXPECT_EQ(rm.OwnerSessionId(), 11u);
}

TEST_F(ResourceManagerTest, ConnectedStandbyBlocksEnrollmentAndAuthenticationFlows) {
  ResourceManager& rm = Start();
  applet->SetHandler(
      [](uint32_t, const Bytes&) { return Reply(0xABBA0077, BooleanResponse().Serialize()); });
  rm.SetFlowType(4, 2, kClient);
  rm.HandleConnectedStandbyEnterEvent();
  ASSERT_TRUE(Eventually([&] {
    return rm.PowerState().CurrentPowerState() == SystemPowerStateManager::kConnectedStandby;
  }));
  // The applet manager, a listener, let go of the blocked owner.
  ASSERT_TRUE(Eventually([&] { return rm.OwnerSessionId() == kNobody; }));
  EXPECT_EQ(applet->CountCommand(0), 1u);  // the OSLogin cache clear

  EXPECT_EQ(ThrownText<ConnectedStandByException>([&] { rm.SetFlowType(5, 1, kClient); }),
            "cannot run this flow in Connected StandBy state");
  EXPECT_TRUE(capture->Has("Block this Flow Type in CONNECTED_STANDBY"));
  rm.HandleConnectedStandbyExitEvent();
  EXPECT_TRUE(rm.IsFlowAllowed(1));
}

// Host work is answered until the applet's final reply; a library time-out ends the loop with
// the last reply and records the error.
TEST_F(ResourceManagerTest, HostWorkIsAnsweredUntilTheAppletsFinalReplyOrATimeOut) {
  ResourceManager& rm = Start();
  int exchange = 0, timeoutAt = 0;
  applet->SetHandler([&](uint32_t, const Bytes&) {
    if (++exchange == timeoutAt) throw KILNCallTimeoutException();
    return exchange < 3 ? SaveRequestReply("_U" + std::to_string(exchange)) : Reply(0xABBA0014);
  });
  EXPECT_EQ(Send(rm), Reply(0xABBA0014));
  const auto sends = applet->Sends();
  ASSERT_EQ(sends.size(), 3u);
  EXPECT_EQ(Message::Parse(sends[1].request).messageType, mt::kSaveResponse);
  EXPECT_EQ(Message::Parse(sends[2].request).messageType, mt::kSaveResponse);
  EXPECT_EQ(auth->Replies().size(), 3u);
  EXPECT_TRUE(files.HasFile("/data/Data/_U1.SDS"));
  EXPECT_TRUE(files.HasFile("/data/Data/_U2$2.SDS"));
  EXPECT_EQ(rm.OwnerSessionId(), 7u);

  exchange = 0;
  timeoutAt = 2;
  EXPECT_EQ(Send(rm), SaveRequestReply("_U1"));
  EXPECT_EQ(auth->Errors(), (std::vector<uint32_t>{0x301}));
  exchange = 0;
  timeoutAt = 1;  // a time-out on the first exchange leaves no reply
  EXPECT_TRUE(Send(rm).empty());
}

TEST_F(ResourceManagerTest, OsUpgradeIsRecordedOncePerGeneration) {
  ResourceManager& rm = Start();
  SetBuildNumber("15063");
  rm.HandleOsUpgrade();
  rm.HandleOsUpgrade();
  EXPECT_EQ(StoredOsVersion(), 3u);
  EXPECT_TRUE(capture->Has("found new OS version, old: UNKNOWN , new :WIN_10_RS2"));
  EXPECT_EQ(mirroring.Calls(), (std::vector<std::string>{"UserUpdated()"}));
  SetBuildNumber("10586");  // an older generation is recorded as well
  rm.HandleOsUpgrade();
  EXPECT_EQ(StoredOsVersion(), 2u);

  SetBuildNumber("build");
  EXPECT_NO_THROW(rm.HandleOsUpgrade());
  EXPECT_TRUE(capture->Has("HandleOsUpgrade failed (invalid stol argument)"));
  EXPECT_EQ(StoredOsVersion(), 2u);
}

TEST_F(ResourceManagerTest, SleepAndResumeReachTheListenersAndLeaveAResumeMark) {
  btManager = std::make_shared<FakeBtManager>();
  ResourceManager& rm = Start();
  rm.SetFlowType(7, 3, kClient);
  rm.HandlePowerSleepEvent();
  EXPECT_EQ(rm.OwnerSessionId(), kNobody);
  ASSERT_TRUE(Eventually([&] { return !rm.Applet().SenderRunningForTesting(); }));
  ASSERT_TRUE(Eventually([&] { return auth->sleeps == 1 && btManager->sleeps == 1; }));
  EXPECT_FALSE(rm.TakeResumeMark());

  rm.HandlePowerResumeEvent();
  ASSERT_TRUE(Eventually([&] { return rm.Applet().SenderRunningForTesting(); }));
  EXPECT_TRUE(rm.TakeResumeMark());
  EXPECT_FALSE(rm.TakeResumeMark());
  rm.HandleLogoffEvent();
  EXPECT_TRUE(capture->Has("BtManager ClearRssi failed"));
}

TEST_F(ResourceManagerTest, UserDataHooksReachTheBluetoothManagerWithoutThrowing) {
  ResourceManager& absent = Start();
  absent.ClearUserData();
  EXPECT_TRUE(capture->Has("Bluetooth manager is not present (ClearUserData)"));
  EXPECT_TRUE(capture->Has("Phone presence monitor is not present (ClearUserData)"));

  btManager = std::make_shared<FakeBtManager>();
  ResourceManager& rm = Start();
  rm.ClearUserData();
  EXPECT_EQ(btManager->userDataCleared, 1);
  EXPECT_NO_THROW(rm.UserDataUpdated("S-1-5-21-1-2-3-1001"));
  EXPECT_TRUE(capture->Has("BtManager UserDataUpdated failed (S-1-5-21-1-2-3-1001)"));
}

// With the applet unreachable too: the resource manager runs on without it.
TEST_F(ResourceManagerTest, ConsoleUserIsFoundOnUnlockAndForgottenOnLogoff) {
  accounts.SetConsoleSid("");
  applet->FailCreations(1000, "cannot load libkiln-sim.so");
  ResourceManager& rm = Start();
  EXPECT_EQ(ThrownText<std::runtime_error>([&] { Send(rm); }),
            "The applet is not available (cannot load libkiln-sim.so)");
  EXPECT_EQ(rm.CurrentUserSid(), "");
  accounts.SetConsoleSid(kConsoleSid);
  rm.HandleSessionUnlockEvent();
  EXPECT_EQ(rm.CurrentUserSid(), kConsoleSid);
  EXPECT_TRUE(capture->Has(std::string("current usersid on Console Session: ") + kConsoleSid));

  rm.HandleLogoffEvent();
  EXPECT_EQ(rm.CurrentUserSid(), "");
  EXPECT_TRUE(capture->Has("Bluetooth manager is not present (ClearRssi)"));
  accounts.sidFails = true;
  EXPECT_NO_THROW(rm.HandleSessionUnlockEvent());
  EXPECT_EQ(rm.CurrentUserSid(), "");
  EXPECT_NO_THROW(rm.HandleSessionLockEvent());
}

class FakeRpcServer : public IRpcServerControl {
 public:
  bool StartListening() override { return listens; }
  void StopListening() override {
    ++stops;
    if (onStop) onStop();
  }
  std::function<void()> onStop;
  bool listens = true;
  int stops = 0;
};

class FakeRunningFlows : public IRunningFlows {
 public:
  void CancelRunningFlows() override { events.push_back("cancel flows"); }
  void Shutdown() override { events.push_back("shut flows down"); }
  std::vector<std::string> events;
};

// The components with the resource manager above; their production wiring (on the real library)
// runs in the end-to-end tests.
class EngineComponentsTest : public ResourceManagerTest {
 protected:
  void TearDown() override {
    components.reset();
    ResourceManagerTest::TearDown();
  }
  EngineComponents& WithFakes(IRunningFlows* flows = nullptr) {
    EngineEnvironment environment{clock,     registry, accounts,    *verifier, controller,
                                  mirroring, policy,   userRecords, nullptr,   resources,
                                  &rpc};
    environment.runningFlows = flows;
    components = std::make_unique<EngineComponents>(environment, [this] { return Make(); });
    return *components;
  }
  ResourceManager* Running() {
    ResourceManager* running = nullptr;
    resources.TryUse([&](ResourceManager& manager) { running = &manager; });
    return running;
  }

  keystone::testing::NoPolicyReader policy;
  std::unique_ptr<platform::SignedFileVerifier> verifier = platform::CreateSignedFileVerifier();
  FakeRpcServer rpc;
  OwnedResourceManager resources;
  std::unique_ptr<EngineComponents> components;
};

TEST_F(EngineComponentsTest, ResourceManagerLivesFromRpcStartToItsDestruction) {
  applet->SetFwUpgraded(true);
  EngineComponents& engine = WithFakes();
  engine.HandlePowerSleepEvent();
  EXPECT_TRUE(capture->Has("Sleep event dropped: the resource manager is not running"));
  EXPECT_FALSE(engine.FirmwareChanged());
  // A server that cannot listen stops the start, and the resource manager made for it goes.
  rpc.listens = false;
  EXPECT_FALSE(engine.StartRpcServer());
  EXPECT_EQ(Running(), nullptr);

  rpc.listens = true;
  ASSERT_TRUE(engine.StartRpcServer());
  ResourceManager* manager = Running();
  ASSERT_NE(manager, nullptr);
  EXPECT_TRUE(engine.FirmwareChanged());
  // Events reach the running resource manager (what each does is tested above).
  engine.HandlePowerSleepEvent();
  EXPECT_EQ(manager->PowerState().CurrentPowerState(), SystemPowerStateManager::kGoingToSleep);
  engine.MirrorDataIfEmpty();
  engine.StartUserRecordTask();
  ASSERT_TRUE(Eventually([&] { return userRecords.updates == 1; }));
  // The start-up's mirroring steps log what fails instead of stopping the service.
  mirroring.failWith = [] { throw ReadMirrorDataException("Error reading from registry"); };
  EXPECT_NO_THROW(engine.PolicyUpdated());
  EXPECT_TRUE(capture->Has("Mirroring the policy failed (Error reading from registry)"));
  EXPECT_EQ(mirroring.Calls(), (std::vector<std::string>{"MirrorDataIfEmpty", "PolicyUpdated"}));
  EXPECT_TRUE(engine.RunTraceLogCleanup());

  engine.StopRpcServer();
  EXPECT_EQ(rpc.stops, 1);
  engine.DestroyResourceManager();
  EXPECT_EQ(Running(), nullptr);
  EXPECT_THROW(resources.Use([](ResourceManager&) {}), EngineNotRunningError);
}

// A sleep cancels the running flows; the stop shuts them down before the server waits for calls.
TEST_F(EngineComponentsTest, FlowsEndAtSleepAndBeforeTheServerStops) {
  FakeRunningFlows flows;
  EngineComponents& engine = WithFakes(&flows);
  ASSERT_TRUE(engine.StartRpcServer());
  engine.HandlePowerSleepEvent();
  rpc.onStop = [&] { flows.events.push_back("server stops"); };
  engine.StopRpcServer();
  EXPECT_EQ(flows.events,
            (std::vector<std::string>{"cancel flows", "shut flows down", "server stops"}));
  // The components stop the server again when they go, after flows has gone.
  rpc.onStop = nullptr;
}

TEST_F(EngineComponentsTest, FlowHostReachesOnlyARunningResourceManager) {
  EngineComponents& engine = WithFakes();
  EngineFlowHost flowHost(resources);
  const Bytes store = Reply(mt::kSaveEnrollmentDataRequest);
  EXPECT_THROW(flowHost.ExecuteMessageToApplet(store), std::runtime_error);
  ASSERT_TRUE(engine.StartRpcServer());
  // The applet's host work on the way is answered too.
  applet->SetHandler([](uint32_t, const Bytes& sent) {
    return Message::Parse(sent).messageType == mt::kSaveResponse
               ? Reply(mt::kSaveEnrollmentDataResponse)
               : SaveRequestReply("_U1");
  });
  EXPECT_EQ(flowHost.ExecuteMessageToApplet(store), Reply(mt::kSaveEnrollmentDataResponse));
  EXPECT_TRUE(files.HasFile("/data/Data/_U1.SDS"));
}

}  // namespace
}  // namespace mfab
