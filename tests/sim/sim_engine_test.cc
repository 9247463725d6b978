// The real simulated applet under the engine's own applet channel: the resource manager, command
// handler, applet manager and session load libkiln-sim.so through the configured library path,
// and the applet's blobs are stored as .SDS files by the data controller in a temporary state
// directory.

#include <sys/mount.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "common/config_keys.h"
#include "common/exceptions.h"
#include "flows/factor_registry.h"
#include "flows/flow_runner.h"
#include "platform/os_version.h"
#include "platform/registry.h"
#include "sim/applet/policy.h"
#include "sim/applet/protocol.h"
#include "sim/applet/records.h"
#include "storage/authenticate_data_mirroring.h"
#include "storage/policy_mirror.h"
#include "tests/applet/applet_test_support.h"
#include "tests/fakes/log_capture.h"
#include "tests/fakes/sim_applet_engine.h"
#include "tests/fakes/test_factor.h"
#include "tests/sim/sim_test_support.h"
#include "tlv/client_messages.h"
#include "tlv/host_messages.h"

namespace kilnsim::testing {
namespace {

namespace mt = mfab::message_type;

constexpr keystone::ClientIdentity kAdmin{4242, 0};
constexpr uint32_t kClientSession = 17;

class PolicyIds : public mfab::IPolicyMirrorReader {
 public:
  std::vector<std::string> FactorIds() override { return {"Phone", "SmartCard"}; }
  std::vector<std::string> ActionIds() override { return {"OSLogin", "VPN"}; }
};

// A tmpfs of a few pages mounted for the test's life, where the test may mount one; failure says
// why it could not.
struct SmallFileSystem {
  explicit SmallFileSystem(std::string where) : path(std::move(where)) {
    std::filesystem::create_directories(path);
    if (::mount("tmpfs", path.c_str(), "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC,
                "size=64k,mode=0700") != 0) {
      failure = std::strerror(errno);
    }
  }
  ~SmallFileSystem() {
    if (failure.empty()) ::umount2(path.c_str(), MNT_DETACH);
  }

  // Writes a filler file until the file system is full.
  void Fill() const {
    std::ofstream filler(path + "/filler", std::ios::binary);
    const std::string page(4096, 'f');
    while (filler.write(page.data(), static_cast<std::streamsize>(page.size())) && filler.flush()) {
    }
  }

  const std::string path;
  std::string failure;
};

class SimEngineTest : public ::testing::Test,
                      protected keystone::testing::SimAppletEngine<TempDir> {
 protected:
  ~SimEngineTest() override { manager.reset(); }

  // A new engine whose adapter waits this long for the library.
  void Start(std::chrono::milliseconds adapterLimit = std::chrono::seconds(5)) {
    sessionOptions.tee.adapter.timeoutMs = adapterLimit.count();
    StartEngine(*osVersion, policy, factorFlows);
  }

  // A client request through the command handler and the applet, host work answered on the way.
  mfab::Message Client(mfab::Message request) {
    request.sessionId = kClientSession;
    const Bytes reply = manager->SendMessageToApplet(request.Serialize(), kAdmin);
    manager->ReleaseSessionId(kClientSession);
    return mfab::Message::Parse(reply);
  }
  mfab::Message SetPolicy(const Bytes& content = SamplePolicy()) {
    return Client(MakeRequest(sim_type::kSetPolicyRequest, content));
  }
  // The engine's own policy query, the reply parsed.
  mfab::Message PolicyReply() { return mfab::Message::Parse(manager->Applet().GetPolicyData()); }
  Bytes Factors() {
    const mfab::Message reply = PolicyReply();
    EXPECT_EQ(reply.messageType, sim_type::kGetPolicyDataResponse) << ErrorTextOf(reply);
    mfab::GetPolicyDataResponse response;
    response.Deserialize(reply.payload);
    return response.factorsData;
  }

  void Faults(const std::string& text) const { state.WriteFile("kiln-sim/faults", text); }
  std::string Stored(const std::string& name) const {
    return state.ReadFile("Data/" + name + ".SDS");
  }

  std::unique_ptr<platform::OsVersion> osVersion = platform::CreateOsVersion(registry);
  PolicyIds policy;
  mfab::IFactorFlowRunner* factorFlows = nullptr;
};

// The flows with a test factor standing in for the smart card, over the real registry mirror.
class SimFlowsTest : public SimEngineTest {
 protected:
  SimFlowsTest() {
    factorFlows = &runner;
    Start();
    EXPECT_EQ(SetPolicy().messageType, sim_type::kSetPolicyResponse);
    mirror.PolicyUpdated();
  }
  ~SimFlowsTest() override { manager.reset(); }

  keystone::testing::EngineHost host{manager};
  mfab::AuthenticateDataMirroring mirror{registry, controller, host};
  keystone::testing::FactorScript script;
  Factors::FactorRegistry factors{
      mirror, {std::make_shared<keystone::testing::TestFactor>("SmartCard", script)}};
  mfab::FlowRunner runner{factors, mirror, host, accounts};
};

// The store goes through the applet's save conversation; once the mirror knows the enrollment,
// a second one is refused without a word to the applet.
TEST_F(SimFlowsTest, StoredEnrollmentIsKnownAsEnrolled) {
  EXPECT_EQ(runner.RunEnrollmentFlow(kClientSession, kAdmin, kSid, "SmartCard"), 0u);
  EXPECT_FALSE(Stored(std::string("_U") + kSid + "$ESmartCard").empty());
  EXPECT_EQ(host.flowRequests, 1);
  mirror.UserUpdated(kSid);
  EXPECT_EQ(runner.RunEnrollmentFlow(kClientSession, kAdmin, kSid, "SmartCard"),
            keystone::kStatusAlreadyEnrolled);
  EXPECT_EQ(host.flowRequests, 1);
}

// The applet asks for the factor inside the client's request and answers with the verdict.
TEST_F(SimFlowsTest, HostFactorCheckCarriesTheFactorsVerdict) {
  AuthenticateFlows::AuthenticateFactorRequest check;
  check.factorId = "SmartCard";
  check.user = kSid;
  const auto verdict = [&] {
    const mfab::Message reply = Client(MakeRequest(mt::kCheckHostFactorRequest, check.Serialize()));
    EXPECT_EQ(reply.messageType, mt::kCheckHostFactorResponse) << ErrorTextOf(reply);
    mfab::BooleanResponse value;
    value.Deserialize(reply.payload);
    return value.result;
  };
  EXPECT_EQ(verdict(), 0);
  EXPECT_EQ(script.lastFlowId, kClientSession);
  EXPECT_EQ(script.lastOwnerId, kAdmin.pid);
  script.behaviour = keystone::testing::FactorBehaviour::kEndWithCode;
  EXPECT_EQ(verdict(), 1);
}

// The engine's retries carry the first change through failing session creations and sends. Each
// Start() is a new engine whose session opens with the files on disk.
TEST_F(SimEngineTest, StoredPolicyIsRefusedUnlessUntouched) {
  Faults("status CreateSession 0x1004*3 0\nstatus SendAndRecv2 0x300*3 0\n");
  Start();
  ASSERT_EQ(SetPolicy(SamplePolicy("First")).messageType, sim_type::kSetPolicyResponse);
  const std::string first = Stored("_Sys$Policy");
  const mfab::Message reply = SetPolicy(SamplePolicy("Card of Alice"));
  ASSERT_EQ(reply.messageType, sim_type::kSetPolicyResponse) << ErrorTextOf(reply);
  const std::string second = Stored("_Sys$Policy");
  EXPECT_EQ(second.find("Card of Alice"), std::string::npos);
  std::string altered = second;
  altered[40] ^= 0x01;
  const struct {
    const char* name;
    std::string content;
    uint16_t code;
    const char* text;
  } cases[] = {
      {"altered", altered, sim_error::kSealedDataRefused, "'_Sys$Policy' refused"},
      {"moved", Stored("_Sys"), sim_error::kSealedDataRefused, "does not unseal"},
      {"rolled back", first, sim_error::kRollbackDetected, "(rolled back)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    state.WriteFile("Data/_Sys$Policy.SDS", c.content);
    Start();
    const mfab::Message refused = PolicyReply();
    EXPECT_EQ(ErrorCodeOf(refused), c.code);
    EXPECT_NE(ErrorTextOf(refused).find(c.text), std::string::npos) << ErrorTextOf(refused);
    // Reported once; the session goes on without the refused data.
    EXPECT_EQ(ErrorCodeOf(PolicyReply()), sim_error::kPolicyNotSet);
  }
  state.WriteFile("Data/_Sys$Policy.SDS", second);
  Start();
  const Bytes factors = Factors();
  EXPECT_NE(std::string(factors.begin(), factors.end()).find("Card of Alice"), std::string::npos);
}

// An upgrade the engine abandons halfway starts again on the next request and re-seals the files
// migrated before; the user's data travels through the engine's loader, and blobs of the old
// SVN, or of a removed user, are no longer trusted.
TEST_F(SimEngineTest, CompletesAnInterruptedSecurityVersionUpgrade) {
  platform::WriteRegistryValue(registry, keystone::kEngineKey, "DataMigrationOptIn",
                               platform::RegValue::Dword(1));
  Start();
  ASSERT_EQ(SetPolicy().messageType, sim_type::kSetPolicyResponse);
  ASSERT_EQ(Client(EnrollRequest(kSid, "SmartCard")).messageType, mt::kSaveEnrollmentDataResponse);
  const std::string enrollment = std::string("_U") + kSid + "$ESmartCard";
  const std::string oldPolicy = Stored("_Sys$Policy");
  const Bytes factors = Factors();

  // The demand and the migrated files pass; the saves that follow fail, and the demand stands.
  Faults("svn 2\nstatus SendAndRecv2 0*2 0x400*always\n");
  EXPECT_EQ(ErrorCodeOf(PolicyReply()), mfab::applet_error::kSvnUpgradeNeeded);
  EXPECT_EQ(Stored(enrollment).substr(4, 4), std::string("\0\0\0\2", 4));
  EXPECT_EQ(state.ReadFile("kiln-sim/versions").find("data-svn 2"), std::string::npos);

  Faults("svn 2\n");
  EXPECT_THROW(manager->Applet().GetPolicyData(), mfab::SVNUpgradeException);
  for (const std::string& name : {std::string("_Sys$Policy"), enrollment}) {
    const std::string blob = Stored(name);
    ASSERT_GE(blob.size(), 8u);
    EXPECT_EQ(blob.substr(4, 4), std::string("\0\0\0\2", 4)) << name;  // re-sealed under SVN 2
  }
  EXPECT_NE(state.ReadFile("kiln-sim/versions").find("data-svn 2"), std::string::npos);
  EXPECT_EQ(Factors(), factors);

  Start();
  EXPECT_EQ(Factors(), factors);
  mfab::GetUserDataRequest query;
  query.user = kSid;
  const auto userData = [&] {
    return mfab::Message::Parse(manager->ExecuteMessageToApplet(
        MakeRequest(mt::kGetUserDataRequest, query.Serialize(), 0xFFFFFFFF).Serialize()));
  };
  mfab::GetUserDataResponse response;
  response.Deserialize(userData().payload);
  const std::vector<UserData> users = ParseUserData(response.userData);
  ASSERT_EQ(users.size(), 1u);
  EXPECT_EQ(users[0].factors.count("SmartCard"), 1u);
  const std::string userRoot = Stored(std::string("_U") + kSid);
  Bytes user;
  mfab::AppendTlv(user, tag::kUser, kSid);
  ASSERT_EQ(Client(MakeRequest(sim_type::kRemoveUserRequest, user)).messageType,
            sim_type::kRemoveUserResponse);
  EXPECT_EQ(Stored(std::string("_U") + kSid) + Stored(enrollment), "");  // deleted

  state.WriteFile("Data/_U" + std::string(kSid) + ".SDS", userRoot);
  state.WriteFile("Data/_Sys$Policy.SDS", oldPolicy);
  Start();
  EXPECT_EQ(ErrorCodeOf(PolicyReply()), sim_error::kSealedDataRefused);
  EXPECT_NE(keystone::testing::ThrownText<mfab::TEEException>(userData).find("no longer exists"),
            std::string::npos);
}

// The sample policy grown past one page of the small file system by settings of 1000 bytes.
Bytes LargePolicy(const std::string& firstFactorName) {
  Policy policy = ParsePolicy(SamplePolicy(firstFactorName));
  for (int i = 0; i < 5; ++i) {
    policy.settings.push_back(
        SystemSetting{"Banner" + std::to_string(i), 3, std::vector<uint8_t>(1000, 'b')});
  }
  return SerializePolicy(policy);
}

// The data directory on a full disk: a change that needs more room than the stored policy holds
// fails, and the stored policy stays whole, is read back after a restart and can be changed once
// there is room again.
TEST_F(SimEngineTest, AFullDiskLeavesTheStoredPolicyWhole) {
  const SmallFileSystem disk(state.File("disk"));
  if (!disk.failure.empty()) GTEST_SKIP() << "cannot mount a small file system: " << disk.failure;
  platform::WriteRegistryValue(registry, keystone::kEngineKey, "DataDir",
                               platform::RegValue::String(disk.path));
  Start();
  ASSERT_EQ(SetPolicy(SamplePolicy("First")).messageType, sim_type::kSetPolicyResponse);
  const std::string stored = state.ReadFile("disk/Data/_Sys$Policy.SDS");

  disk.Fill();
  bool refused = false;
  try {
    refused = SetPolicy(LargePolicy("Second")).messageType != sim_type::kSetPolicyResponse;
  } catch (const std::exception&) {
    refused = true;
  }
  EXPECT_TRUE(refused);
  EXPECT_EQ(state.ReadFile("disk/Data/_Sys$Policy.SDS"), stored);
  for (const auto& entry : std::filesystem::directory_iterator(disk.path + "/Data")) {
    EXPECT_FALSE(entry.path().filename().string().starts_with(".replace-")) << entry.path();
  }
  Start();
  const Bytes factors = Factors();
  EXPECT_NE(std::string(factors.begin(), factors.end()).find("First"), std::string::npos);

  std::filesystem::remove(disk.path + "/filler");
  ASSERT_EQ(SetPolicy(LargePolicy("Third")).messageType, sim_type::kSetPolicyResponse);
  Start();
  const Bytes changed = Factors();
  EXPECT_NE(std::string(changed.begin(), changed.end()).find("Third"), std::string::npos);
}

// What the idle clean-up met on a system out of descriptors: the session is gone, re-creating it
// keeps failing (0x1004), and the re-initialisation that follows fails as well, leaving no
// library handle. Both causes go away after a while.
constexpr char kExhaustedForAWhile[] =
    "status SendAndRecv2 0x100F\n"
    "status CreateSession 0x1004*300ms\n"
    "status Initialize 0x1004*300ms\n";

TEST_F(SimEngineTest, ChannelHealsInTheBackgroundAfterAFailedReinitialisation) {
  const auto capture = keystone::testing::LogCapture::Install();
  keystone::testing::EnableEngineLog();
  sessionOptions.tee.maxRetryAttempts = 3;
  appletOptions.recoveryFirstDelay = std::chrono::milliseconds(10);
  appletOptions.recoveryMaxDelay = std::chrono::milliseconds(40);
  Start();
  ASSERT_EQ(SetPolicy().messageType, sim_type::kSetPolicyResponse);

  Faults(kExhaustedForAWhile);
  EXPECT_THROW(PolicyReply(), std::exception);
  EXPECT_TRUE(capture->Contains("Second SendMessage attempt failed (KILN_Initialize failed)"));
  EXPECT_TRUE(
      keystone::testing::Eventually([&] { return capture->Has("The applet channel recovered"); }));
  EXPECT_TRUE(capture->Contains("(KILN_Initialize failed); next attempt in 20 ms"));

  capture->Clear();
  EXPECT_EQ(PolicyReply().messageType, sim_type::kGetPolicyDataResponse);
  EXPECT_FALSE(capture->Contains("attempt failed"));  // answered at the first attempt
  capture->Uninstall();
}

// Without the background recovery, the first request after the cause has gone initializes the
// library again and opens a session.
TEST_F(SimEngineTest, FirstRequestAfterAFailedReinitialisationSucceeds) {
  sessionOptions.tee.maxRetryAttempts = 3;
  appletOptions.recoveryFirstDelay = std::chrono::hours(1);
  Start();
  ASSERT_EQ(SetPolicy().messageType, sim_type::kSetPolicyResponse);

  // Counted rather than timed: three failed creations exhaust the retries, the re-initialisation
  // fails, and so does the one before the resend.
  Faults("status SendAndRecv2 0x100F\nstatus CreateSession 0x1004*3\nstatus Initialize 0x1004*2\n");
  EXPECT_THROW(PolicyReply(), std::exception);
  EXPECT_EQ(PolicyReply().messageType, sim_type::kGetPolicyDataResponse);
}

TEST_F(SimEngineTest, SurvivesAHungCall) {
  Start(std::chrono::milliseconds(200));
  ASSERT_EQ(SetPolicy().messageType, sim_type::kSetPolicyResponse);
  Faults("hang SendAndRecv2 700ms\n");
  const auto start = std::chrono::steady_clock::now();
  // The time-out surfaces as whatever the channel makes of it; what matters is what follows.
  try {
    manager->Applet().GetPolicyData();
  } catch (const std::exception&) {
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));

  // Once the hung call has returned and the recovery has run, the applet answers again.
  EXPECT_TRUE(keystone::testing::Eventually([&] {
    try {
      return PolicyReply().messageType == sim_type::kGetPolicyDataResponse;
    } catch (const std::exception&) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      return false;
    }
  }));
}

}  // namespace
}  // namespace kilnsim::testing
