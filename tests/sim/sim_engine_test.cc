// The real simulated applet under the engine's own applet channel: the resource manager, command
// handler, applet manager and session load libkiln-sim.so through the configured library path,
// and the applet's blobs are stored as .SDS files by the data controller in a temporary state
// directory.

#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "applet/kiln_library.h"
#include "common/config_keys.h"
#include "common/exceptions.h"
#include "engine/resource_manager.h"
#include "platform/clock.h"
#include "platform/file_system.h"
#include "platform/os_version.h"
#include "platform/registry.h"
#include "sim/applet/protocol.h"
#include "sim/applet/records.h"
#include "storage/data_controller.h"
#include "storage/policy_mirror.h"
#include "tests/applet/applet_test_support.h"
#include "tests/fakes/fake_engine_services.h"
#include "tests/fakes/memory_registry.h"
#include "tests/sim/sim_test_support.h"
#include "tlv/client_messages.h"
#include "tlv/host_messages.h"

namespace kilnsim::testing {
namespace {

namespace mt = mfab::message_type;
using keystone::testing::FakeAccounts;
using keystone::testing::FakeAttestation;
using keystone::testing::FakeAuthenticationState;

constexpr uint32_t kAdminPid = 4242;
constexpr uint32_t kClientSession = 17;

class PolicyIds : public mfab::IPolicyMirrorReader {
 public:
  std::vector<std::string> FactorIds() override { return {"Phone", "SmartCard"}; }
  std::vector<std::string> ActionIds() override { return {"OSLogin", "VPN"}; }
};

// One engine's applet channel over the simulated applet, as the service builds it.
class Engine {
 public:
  Engine(platform::Registry& registryToUse, std::chrono::milliseconds adapterLimit)
      : registry(registryToUse), library(std::make_shared<mfab::SharedKilnLibrary>(registry)) {
    accounts.elevatedPids[kAdminPid] = true;
    sessionOptions.tee.adapter.timeoutMs = adapterLimit.count();
    sessionOptions.tee.retrySleep = std::chrono::milliseconds(1);
    sessionOptions.communicationRetrySleep = std::chrono::milliseconds(1);
    mfab::ResourceManager::Options options;
    options.applet.activityTimeout = std::chrono::seconds(10);
    manager = std::make_unique<mfab::ResourceManager>(
        mfab::ResourceManagerDependencies{
            platform::SystemClock(), registry, accounts, *osVersion, controller, attestation,
            mirroring, userRecords, [this](mfab::SystemPowerStateManager&) { return authState; },
            [this](mfab::IApiBusyFlag& busy) {
              return std::make_unique<mfab::SessionAppletChannel>(
                  mfab::AppletSessionServices{registry, platform::SystemClock(), *osVersion,
                                              controller, policy, busy},
                  library, sessionOptions);
            },
            nullptr, nullptr, nullptr},
        options);
  }

  // A client request through the command handler and the applet, host work answered on the way.
  mfab::Message Client(mfab::Message request) {
    request.sessionId = kClientSession;
    const Bytes reply = manager->SendMessageToApplet(request.Serialize(), kAdminPid);
    manager->ReleaseSessionId(kClientSession);
    return mfab::Message::Parse(reply);
  }
  mfab::Message SetPolicy(const Bytes& content = SamplePolicy()) {
    return Client(MakeRequest(sim_type::kSetPolicyRequest, content));
  }

  mfab::ResourceManager& Manager() { return *manager; }

 private:
  const std::shared_ptr<FakeAuthenticationState> authState =
      std::make_shared<FakeAuthenticationState>();
  platform::Registry& registry;
  std::unique_ptr<platform::OsVersion> osVersion = platform::CreateOsVersion(registry);
  mfab::DataController controller{registry, platform::SystemFileSystem()};
  PolicyIds policy;
  FakeAccounts accounts;
  FakeAttestation attestation;
  mfab::DataMirroringNotPresent mirroring;
  mfab::UserRecordsNotPresent userRecords;
  std::shared_ptr<mfab::IKilnLibrary> library;
  mfab::AppletSessionOptions sessionOptions;
  std::unique_ptr<mfab::ResourceManager> manager;
};

class SimEngineTest : public ::testing::Test {
 protected:
  SimEngineTest() {
    ::setenv("KEYSTONE_STATE_DIR", state.Path().c_str(), 1);
    ::unsetenv("KILN_SIM_STATE_DIR");  // the applet keeps its state under the engine's
    using platform::RegValue;
    platform::WriteRegistryValue(registry, keystone::kEngineKey, mfab::kKilnLibraryPathValue,
                                 RegValue::String(KILN_SIM_LIBRARY));
    platform::WriteRegistryValue(registry, keystone::kEngineKey, "AppletPath",
                                 RegValue::String("/opt/mfa.applet"));
  }
  ~SimEngineTest() override { ::unsetenv("KEYSTONE_STATE_DIR"); }

  void Start(std::chrono::milliseconds adapterLimit = std::chrono::seconds(5)) {
    engine.reset();
    engine = std::make_unique<Engine>(registry, adapterLimit);
  }

  void Faults(const std::string& text) {
    std::filesystem::create_directories(state.Path() + "/kiln-sim");
    state.WriteFile("kiln-sim/faults", text);
  }

  std::string Stored(const std::string& name) const {
    return state.ReadFile("Data/" + name + ".SDS");
  }
  bool IsStored(const std::string& name) const {
    return std::filesystem::exists(state.Path() + "/Data/" + name + ".SDS");
  }

  mfab::GetPolicyDataResponse Policy() {
    const mfab::Message reply = mfab::Message::Parse(engine->Manager().Applet().GetPolicyData());
    EXPECT_EQ(reply.messageType, sim_type::kGetPolicyDataResponse) << ErrorTextOf(reply);
    mfab::GetPolicyDataResponse policy;
    policy.Deserialize(reply.payload);
    return policy;
  }

  TempDir state;
  keystone::testing::MemoryRegistry registry;
  std::unique_ptr<Engine> engine;
};

// The engine's retries carry the change through failing session creations and sends.
TEST_F(SimEngineTest, PolicyIsStoredAsSdsFilesAndDeliveredBackAfterARestart) {
  Faults("status CreateSession 0x1004*3 0\nstatus SendAndRecv2 0x300*3 0\n");
  Start();
  const mfab::Message reply = engine->SetPolicy(SamplePolicy("Card of Alice"));
  ASSERT_EQ(reply.messageType, sim_type::kSetPolicyResponse) << ErrorTextOf(reply);
  EXPECT_EQ(reply.sessionId, kClientSession);
  for (const char* name : {"_Sys$Policy", "_Sys", "_masterVersions"})
    ASSERT_TRUE(IsStored(name)) << name;
  EXPECT_EQ(Stored("_Sys$Policy").find("Card of Alice"), std::string::npos);
  EXPECT_TRUE(std::filesystem::exists(state.Path() + "/kiln-sim/device.key"));
  const Bytes factors = Policy().factorsData;

  Start();  // a new engine: a new session, opened with the stored files
  EXPECT_EQ(Policy().factorsData, factors);
  EXPECT_NE(std::string(factors.begin(), factors.end()).find("Card of Alice"), std::string::npos);
}

TEST_F(SimEngineTest, SurvivesAHungCall) {
  Start(std::chrono::milliseconds(200));
  ASSERT_EQ(engine->SetPolicy().messageType, sim_type::kSetPolicyResponse);
  Faults("hang SendAndRecv2 700ms\n");
  const auto start = std::chrono::steady_clock::now();
  // The time-out surfaces as whatever the channel makes of it; what matters is what follows.
  try {
    engine->Manager().Applet().GetPolicyData();
  } catch (const std::exception&) {
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));

  // Once the hung call has returned and the recovery has run, the applet answers again.
  EXPECT_TRUE(keystone::testing::Eventually([&] {
    try {
      return mfab::Message::Parse(engine->Manager().Applet().GetPolicyData()).messageType ==
             sim_type::kGetPolicyDataResponse;
    } catch (const std::exception&) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      return false;
    }
  }));
}

// The user's data travels through the engine's loader, is re-sealed by the upgrade and is
// removed through DeleteLevel1.
TEST_F(SimEngineTest, CompletesASecurityVersionUpgradeOfPolicyAndUserData) {
  platform::WriteRegistryValue(registry, keystone::kEngineKey, "DataMigrationOptIn",
                               platform::RegValue::Dword(1));
  Start();
  ASSERT_EQ(engine->SetPolicy().messageType, sim_type::kSetPolicyResponse);
  ASSERT_EQ(engine->Client(EnrollRequest(kSid, "SmartCard")).messageType,
            mt::kSaveEnrollmentDataResponse);
  const std::string enrollment = std::string("_U") + kSid + "$ESmartCard";
  const Bytes factors = Policy().factorsData;

  Faults("svn 2\n");
  EXPECT_THROW(engine->Manager().Applet().GetPolicyData(), mfab::SVNUpgradeException);
  for (const std::string& name : {std::string("_Sys$Policy"), enrollment}) {
    const std::string blob = Stored(name);
    ASSERT_GE(blob.size(), 8u);
    EXPECT_EQ(blob.substr(4, 4), std::string("\0\0\0\2", 4)) << name;  // re-sealed under SVN 2
  }
  EXPECT_NE(state.ReadFile("kiln-sim/versions").find("data-svn 2"), std::string::npos);
  EXPECT_EQ(Policy().factorsData, factors);

  Start();
  EXPECT_EQ(Policy().factorsData, factors);
  const std::vector<UserData> users = UsersOf(mfab::Message::Parse(
      engine->Manager().ExecuteMessageToApplet(UserDataRequest(kSid, 0xFFFFFFFF).Serialize())));
  ASSERT_EQ(users.size(), 1u);
  EXPECT_EQ(users[0].factors.count("SmartCard"), 1u);
  ASSERT_EQ(engine->Client(RemoveUserRequest(kSid)).messageType, sim_type::kRemoveUserResponse);
  EXPECT_FALSE(IsStored(std::string("_U") + kSid));
  EXPECT_FALSE(IsStored(enrollment));
  ASSERT_EQ(engine->Client(MakeRequest(mt::kClientClearData)).messageType,
            sim_type::kClientClearDataResponse);
  EXPECT_FALSE(IsStored("_Sys$Policy"));
  EXPECT_THROW(engine->Manager().ExecuteMessageToApplet(
                   MakeRequest(mt::kGetPolicyDataRequest, {}, 0xFFFFFFFF).Serialize()),
               mfab::TEEException);
}

}  // namespace
}  // namespace kilnsim::testing
