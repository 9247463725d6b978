// The security-version upgrade: the demand (0x7F24) once the SVN is raised, and the migration
// exchange on command 2 that re-seals every stored file under the new SVN.

#include <gtest/gtest.h>

#include "sim/applet/protocol.h"
#include "sim/applet/sealing.h"
#include "tests/sim/sim_test_support.h"
#include "tlv/client_messages.h"
#include "tlv/host_messages.h"

namespace kilnsim::testing {
namespace {

namespace mt = mfab::message_type;
constexpr char kSid[] = "S-1-5-21-11-22-33-1001";

class SimUpgradeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SimClient client(host);
    ASSERT_EQ(client.Run(MakeRequest(sim_type::kSetPolicyRequest, SamplePolicy())).messageType,
              sim_type::kSetPolicyResponse);
    mfab::SaveEnrollmentDataRequest store;
    store.user = kSid;
    store.factorId = "Phone";
    ASSERT_EQ(
        client.Run(MakeRequest(mt::kSaveEnrollmentDataRequest, store.Serialize())).messageType,
        mt::kSaveEnrollmentDataResponse);
  }

  // What the engine sends: every stored file, named as its path in the data directory.
  mfab::Message MigrationRequest() const {
    mfab::DataMigrationMessage migration;
    for (const auto& [name, content] : host.store) {
      mfab::FileData file;
      file.fileName = "/var/lib/ostra-keystone/Data/" + name + ".SDS";
      file.content = content;
      migration.files.push_back(file);
    }
    mfab::Message request =
        MakeRequest(mt::kDataMigrationRequest, migration.Serialize(), 0xFFFFFFFF);
    request.moduleId = 10;
    request.category = 1;
    return request;
  }

  // Stores the migrated files under the names the engine gave them.
  void StoreMigrated(const mfab::Message& reply) {
    mfab::DataMigrationMessage migrated;
    migrated.Deserialize(reply.payload);
    for (const mfab::FileData& file : migrated.files) {
      const std::string name = file.fileName.substr(file.fileName.rfind('/') + 1);
      host.store[name.substr(0, name.size() - 4)] = file.content;
    }
  }

  mfab::Message SaveAnswer(const mfab::Message& reply, uint32_t type = mt::kSaveResponse) {
    mfab::SaveResponse response;
    response.result = 1;
    mfab::Message answer = MakeRequest(type, response.Serialize(), reply.sessionId);
    answer.moduleId = reply.moduleId;
    answer.isResponse = true;
    return answer;
  }

  SimStateDir state;
  HostDouble host;
};

TEST_F(SimUpgradeTest, RaisedSvnLeadsThroughTheWholeMigration) {
  SimClient client(host);
  state.SetFaults("svn 2\n");
  const mfab::Message demand = client.Send(0, MakeRequest(mt::kGetPolicyDataRequest));
  ASSERT_EQ(ErrorCodeOf(demand), mfab::applet_error::kSvnUpgradeNeeded);
  const HostDouble before = host;

  const mfab::Message files = client.Send(2, MigrationRequest());
  ASSERT_EQ(files.messageType, mt::kDataMigrationFiles) << ErrorTextOf(files);
  EXPECT_FALSE(files.isResponse);
  mfab::DataMigrationMessage migrated;
  migrated.Deserialize(files.payload);
  ASSERT_EQ(migrated.files.size(), host.store.size() - 1);  // all but the master-versions record
  for (const mfab::FileData& file : migrated.files) EXPECT_EQ(PeekBlobHeader(file.content).svn, 2u);
  StoreMigrated(files);

  const mfab::Message master = client.Send(2, SaveAnswer(files));
  ASSERT_EQ(master.messageType, mt::kSaveRequest) << ErrorTextOf(master);
  ASSERT_TRUE(host.Answer(master));
  const mfab::Message end = client.Send(2, SaveAnswer(master));
  EXPECT_EQ(end.messageType, mt::kDataMigrationEnd);
  EXPECT_NE(state.ReadFile("versions").find("data-svn 2"), std::string::npos);

  SimClient after(host);
  EXPECT_EQ(after.Send(0, MakeRequest(mt::kGetPolicyDataRequest)).messageType,
            sim_type::kGetPolicyDataResponse);
  // What was sealed under the old SVN is no longer trusted, even at the current version.
  SimClient replay(host);
  EXPECT_EQ(ErrorCodeOf(replay.Send(0, MakeRequest(mt::kGetPolicyDataRequest), before.InitBlock())),
            sim_error::kSealedDataRefused);
}

TEST_F(SimUpgradeTest, SvnFromTheFirmwareFileDemandsTheUpgradeToo) {
  SimClient client(host);
  state.WriteFile("firmware", "version=1.0.0.1\nplatform=kiln-sim 1.0\nsvn=3\n");
  EXPECT_EQ(ErrorCodeOf(client.Send(0, MakeRequest(mt::kGetPolicyDataRequest))),
            mfab::applet_error::kSvnUpgradeNeeded);
  EXPECT_EQ(client.Send(2, MigrationRequest()).messageType, mt::kDataMigrationFiles);
}

TEST_F(SimUpgradeTest, MigrationWithoutARaisedSvnIsRefused) {
  SimClient client(host);
  EXPECT_EQ(ErrorCodeOf(client.Send(2, MigrationRequest())), sim_error::kUnexpectedMessage);
  EXPECT_EQ(ErrorCodeOf(client.Send(2, SaveAnswer(MakeRequest(0)))), sim_error::kUnexpectedMessage);
}

TEST_F(SimUpgradeTest, AlteredFileIsLeftOutOfTheMigration) {
  SimClient client(host);
  state.SetFaults("svn 2\n");
  host.store[std::string("_U") + kSid + "$EPhone"][30] ^= 0x40;
  const mfab::Message files = client.Send(2, MigrationRequest());
  ASSERT_EQ(files.messageType, mt::kDataMigrationFiles);
  mfab::DataMigrationMessage migrated;
  migrated.Deserialize(files.payload);
  for (const mfab::FileData& file : migrated.files)
    EXPECT_EQ(file.fileName.find("$EPhone"), std::string::npos);
  EXPECT_EQ(migrated.files.size(), host.store.size() - 2);
}

TEST_F(SimUpgradeTest, InterruptedExchangeStartsAgain) {
  SimClient client(host);
  state.SetFaults("svn 2\n");
  const mfab::Message files = client.Send(2, MigrationRequest());
  ASSERT_EQ(files.messageType, mt::kDataMigrationFiles);
  StoreMigrated(files);
  // The engine idles out; the half-done exchange is dropped and the demand stands.
  Bytes idle;
  ASSERT_EQ(client.Exchange(1, {}, idle), KILN_STATUS_SUCCESS);
  EXPECT_EQ(ErrorCodeOf(client.Send(2, SaveAnswer(files))), sim_error::kUnexpectedMessage);
  EXPECT_EQ(ErrorCodeOf(client.Send(0, MakeRequest(mt::kGetPolicyDataRequest))),
            mfab::applet_error::kSvnUpgradeNeeded);

  // Files already re-sealed migrate again.
  const mfab::Message again = client.Send(2, MigrationRequest());
  ASSERT_EQ(again.messageType, mt::kDataMigrationFiles);
  StoreMigrated(again);
  const mfab::Message master = client.Send(2, SaveAnswer(again));
  ASSERT_TRUE(host.Answer(master));
  EXPECT_EQ(client.Send(2, SaveAnswer(master)).messageType, mt::kDataMigrationEnd);
  EXPECT_EQ(client.Send(0, MakeRequest(mt::kGetPolicyDataRequest), host.InitBlock()).messageType,
            sim_type::kGetPolicyDataResponse);
}

}  // namespace
}  // namespace kilnsim::testing
