#include "storage/authenticate_data_mirroring.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "common/config_keys.h"
#include "common/exceptions.h"
#include "platform/registry.h"
#include "storage/data_controller.h"
#include "tests/fakes/fake_mirroring_host.h"
#include "tests/fakes/log_capture.h"
#include "tests/fakes/memory_file_system.h"
#include "tests/fakes/memory_registry.h"
#include "tests/fakes/registry_export.h"
#include "tlv/discovery_messages.h"

namespace mfab {
namespace {

using namespace std::chrono_literals;
using keystone::testing::ErrorReply;
using keystone::testing::ExportTree;
using keystone::testing::PolicyReply;
using keystone::testing::UserDataReply;
namespace records = ::AuthenticateDataMirroring;

constexpr char kSid[] = "S-1-5-21-1-2-3-1001";
constexpr char kOtherSid[] = "S-1-5-21-1-2-3-1002";

kilnsim::Policy Policy(const std::vector<std::string>& factorIds,
                       const std::string& action = "OSLogin") {
  kilnsim::Policy policy;
  std::vector<kilnsim::SetEntry> set;
  for (const std::string& id : factorIds) {
    policy.factors.push_back({id, "Name of " + id, 1, false, false, false, false, 0, 0, {}});
    set.push_back({id, {}});
  }
  policy.actions.push_back({action, {set}});
  policy.settings.push_back({"Lock", 1, {1}});
  return policy;
}

Bytes Support(const std::vector<std::string>& ids) {
  ExternalFactorsSupport support;
  for (const std::string& id : ids) support.factors.emplace_back().factorId = id;
  return support.Serialize();
}

class AuthenticateDataMirroringTest : public ::testing::Test {
 protected:
  AuthenticateDataMirroringTest() {
    platform::WriteRegistryValue(registry, keystone::kEngineKey, "DataDir",
                                 platform::RegValue::String("/d"));
  }
  ~AuthenticateDataMirroringTest() override { capture->Uninstall(); }

  // The applet answers with a policy of these factors, which is then mirrored.
  void MirrorPolicy(const std::vector<std::string>& ids, const std::string& action = "OSLogin") {
    host.SetPolicy(PolicyReply(Policy(ids, action)));
    mirroring.PolicyUpdated();
  }
  // The export of the mirror's subtree at relative ("" for the whole mirror).
  std::string Mirror(const std::string& relative = "") {
    return ExportTree(registry, records::MirrorPath(relative));
  }

  std::shared_ptr<keystone::testing::LogCapture> capture = keystone::testing::LogCapture::Install();
  keystone::testing::MemoryRegistry registry;
  keystone::testing::MemoryFileSystem files;
  DataController controller{registry, files};
  keystone::testing::FakeMirroringHost host;
  AuthenticateDataMirroring mirroring{registry, controller, host};
};

TEST_F(AuthenticateDataMirroringTest, StartMirrorsOnlyAMissingMirrorOfAStoredPolicy) {
  host.SetPolicy(PolicyReply(Policy({"pin"})));
  host.SetUsers(UserDataReply({{kSid, {{"pin", {{"IsEnrolled", "true"}}}}}}));
  const struct {
    const char* name;
    bool mirrorExists;
    bool policyStored;
    int policyRequests;
    const char* line;
  } cases[] = {
      {"no policy file", false, false, 0, "policy file not exist"},
      {"mirror in place", true, true, 0, "Data Mirroring reg already exist"},
      {"mirror missing", false, true, 1, "preformed data mirror"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.mirrorExists) registry.CreateKey(records::MirrorPath(""), platform::reg_access::kWrite);
    if (c.policyStored) controller.WriteSecureDataFile("_Sys$Policy", Bytes{1});
    mirroring.MirrorDataIfEmpty();
    EXPECT_TRUE(capture->Has(c.line));
    EXPECT_EQ(host.PolicyRequests(), c.policyRequests);
    if (c.mirrorExists) registry.DeleteTree(records::MirrorPath(""));
  }
  // The whole of "Update All" (users are mirrored only under a mirrored policy), then the support
  // pass.
  EXPECT_EQ(mirroring.GetEnrolledFactors(kSid).count("pin"), 1u);
  EXPECT_EQ(host.UserRequests(), std::vector<std::string>{""});
  EXPECT_EQ(host.recordTasks, 1);
  EXPECT_EQ(host.userDataClears, 1);
  EXPECT_TRUE(capture->Has("about to update supported status for factor: pin"));
}

TEST_F(AuthenticateDataMirroringTest, PolicyUpdateReplacesOnlyThePolicy) {
  MirrorPolicy({"phone", "pin"}, "VPN");
  host.SetUsers(UserDataReply({{kSid, {{"pin", {{"IsEnrolled", "true"}}}}}}));
  mirroring.UserUpdated(kSid);
  const std::string users = Mirror(records::kUsersKey);

  MirrorPolicy({"pin"});
  EXPECT_EQ(mirroring.FactorIds(), std::vector<std::string>{"pin"});
  EXPECT_EQ(mirroring.ActionIds(), std::vector<std::string>{"OSLogin"});
  EXPECT_EQ(Mirror(records::kUsersKey), users);

  // An applet without a policy leaves a mirror without one.
  host.SetPolicy(ErrorReply(applet_error::kPolicyNotSet, "no policy is set"));
  mirroring.PolicyUpdated();
  EXPECT_TRUE(mirroring.FactorIds().empty());
  EXPECT_TRUE(mirroring.ActionIds().empty());
}

TEST_F(AuthenticateDataMirroringTest, BadRepliesChangeNothing) {
  MirrorPolicy({"pin"});
  const std::string before = Mirror();
  const struct {
    const char* name;
    Bytes reply;
    const char* text;
  } cases[] = {
      {"not a message", Bytes{0x00, 0x01, 0x00}, "Malformed policy data reply from the applet"},
      {"error reply", ErrorReply(0x7F1B, "firmware failure"), "firmware failure"},
      {"other type", UserDataReply({}), "Unexpected policy data reply type from the applet"},
  };
  for (const auto& c : cases) {
    host.SetPolicy(c.reply);
    EXPECT_THAT([&] { mirroring.PolicyUpdated(); },
                ::testing::ThrowsMessage<MfaException>(::testing::HasSubstr(c.text)))
        << c.name;
    EXPECT_EQ(Mirror(), before) << c.name;
  }
  host.SetUsers(UserDataReply({{"S-1-x", {}}}));
  EXPECT_THROW(mirroring.UserUpdated(""), GeneralException);
  EXPECT_EQ(Mirror(), before);
}

// Wherever the store fails during a rewrite, the mirror stays as it was, and the next trigger
// writes it whole.
TEST_F(AuthenticateDataMirroringTest, StoreFailureMidRewriteChangesNothing) {
  MirrorPolicy({"pin"});
  const std::string before = Mirror();
  host.SetPolicy(PolicyReply(Policy({"phone", "pin", "card"}, "VPN")));
  size_t failedAt = 0;
  for (size_t operations = 0;; ++operations) {
    registry.SetFailureAfter(operations, platform::RegistryErrc::kIoFailed);
    try {
      mirroring.PolicyUpdated();
      break;
    } catch (const WriteMirrorDataException&) {
      failedAt = operations;
    } catch (const ReadMirrorDataException&) {
      failedAt = operations;
    }
    registry.SetFailure(std::nullopt);
    ASSERT_EQ(Mirror(), before) << "after " << operations << " operations";
  }
  registry.SetFailure(std::nullopt);
  EXPECT_GT(failedAt, 10u);  // the failures hit the rewrite itself, not only its start
  EXPECT_EQ(mirroring.FactorIds(), (std::vector<std::string>{"card", "phone", "pin"}));
  EXPECT_TRUE(capture->Contains("Error writing to registry (1016)"));
}

TEST_F(AuthenticateDataMirroringTest, UserUpdateAsksOnlyForAValidSidUnderAPolicy) {
  mirroring.UserUpdated(kSid);
  EXPECT_TRUE(capture->Has("Policy not set, cancelling user data mirroring"));
  EXPECT_TRUE(host.UserRequests().empty());
  EXPECT_FALSE(registry.OpenKey(records::MirrorPath(""), platform::reg_access::kRead));

  MirrorPolicy({"pin"});
  EXPECT_THROW(mirroring.UserUpdated("S-1-5-21\\x"), InvalidParamException);
  EXPECT_TRUE(capture->Has("'S-1-5-21\\x' is not a user SID"));
  EXPECT_TRUE(host.UserRequests().empty());

  host.SetUsers(UserDataReply({{kSid, {{"pin", {{"IsEnrolled", "true"}}}}},
                               {kOtherSid, {{"pin", {{"IsEnrolled", "true"}}}}}}));
  mirroring.UserUpdated(kSid);
  EXPECT_EQ(host.UserRequests(), std::vector<std::string>{kSid});
  // Only the user asked about is written.
  EXPECT_EQ(mirroring.GetEnrolledFactors(kSid).size(), 1u);
  EXPECT_TRUE(mirroring.GetEnrolledFactors(kOtherSid).empty());
  EXPECT_TRUE(capture->Has("GetUsersPrefixes failed"));
}

TEST_F(AuthenticateDataMirroringTest, FactorStatusNeedsAMirroredPolicy) {
  EXPECT_THROW(mirroring.MirrorFactorStatus(Support({"pin"})), PolicyNotSetException);
  EXPECT_TRUE(capture->Has("Policy Not Set"));
  EXPECT_EQ(Mirror(), "");

  MirrorPolicy({"phone", "pin"});
  EXPECT_THROW(mirroring.MirrorFactorStatus(Bytes{0x7B}), InvalidInputException);
  mirroring.MirrorFactorStatus(Support({"phone", "unknown"}));
  EXPECT_NE(Mirror("Factors\\phone").find("IsSupported=DWORD 1"), std::string::npos);
  EXPECT_NE(Mirror("Factors\\pin").find("IsSupported=DWORD 0"), std::string::npos);

  // A policy rewrite takes the policy's values; the support pass puts the held ones back.
  mirroring.PolicyUpdated();
  EXPECT_NE(Mirror("Factors\\phone").find("IsSupported=DWORD 0"), std::string::npos);
  mirroring.UpdateSupportedFactors();
  EXPECT_NE(Mirror("Factors\\phone").find("IsSupported=DWORD 1"), std::string::npos);
}

TEST_F(AuthenticateDataMirroringTest, EnrolledFactorsAreTheEntriesMarkedEnrolled) {
  host.SetPolicy(PolicyReply(Policy({"pin"})));
  host.SetUsers(UserDataReply({{kSid,
                                {{"phone", {{"IsEnrolled", "TRUE"}, {"DeviceId", "01"}}},
                                 {"pin", {{"IsEnrolled", "no"}}},
                                 {"card", {}}}}}));
  mirroring.UpdateAll();
  EXPECT_EQ(mirroring.GetEnrolledFactors(kSid),
            (EnrolledFactors{{"phone", {{"DeviceId", "01"}, {"IsEnrolled", "TRUE"}}}}));
}

TEST_F(AuthenticateDataMirroringTest, DataClearedRemovesTheWholeMirror) {
  MirrorPolicy({"pin"});
  mirroring.DataCleared();
  EXPECT_EQ(Mirror(), "");
  EXPECT_NO_THROW(mirroring.DataCleared());
}

// The queue thread reads the ids while it builds a piggy-back block: a trigger waiting for the
// applet must not hold the lock the reader needs.
TEST_F(AuthenticateDataMirroringTest, NoLockIsHeldWhileTheAppletAnswers) {
  MirrorPolicy({"pin"});
  std::future<std::vector<std::string>> ids;
  host.onPolicyRequest = [&] {
    ids = std::async(std::launch::async, [&] { return mirroring.FactorIds(); });
    ASSERT_EQ(ids.wait_for(10s), std::future_status::ready);
  };
  mirroring.PolicyUpdated();
  EXPECT_EQ(ids.get(), std::vector<std::string>{"pin"});
}

// Discovery reads the mirror while triggers rewrite it; every read sees one policy whole.
TEST_F(AuthenticateDataMirroringTest, ReadersSeeOnePolicyWholeWhileItIsRewritten) {
  constexpr int kRewrites = 60;
  const Bytes first = PolicyReply(Policy({"a1", "a2"}, "A"));
  const Bytes second = PolicyReply(Policy({"b1"}, "B"));
  host.SetPolicy(first);
  mirroring.PolicyUpdated();
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int i = 0; i < kRewrites; ++i) {
      host.SetPolicy(i % 2 == 0 ? second : first);
      mirroring.PolicyUpdated();
    }
    done = true;
  });
  int reads = 0;
  while (!done || reads == 0) {
    const MirrorView view = mirroring.ReadView("", true);
    ASSERT_EQ(view.actions.actions.size(), 1u);
    const bool isFirst = view.actions.actions[0].id == "A";
    EXPECT_EQ(view.factors.factors.size(), isFirst ? 2u : 1u);
    for (const auto& entry : view.actions.actions[0].sets[0]) {
      EXPECT_EQ(view.factors.factors.count(entry.factorId), 1u) << entry.factorId;
    }
    ++reads;
  }
  writer.join();
}

}  // namespace
}  // namespace mfab
