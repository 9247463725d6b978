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

class SimUpgradeTest : public SimTest {
 protected:
  void SetUp() override {
    SimClient client(host);
    client.SetPolicy();
    client.Enroll(kSid, "Phone");
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

  // The files of a DataMigrationFiles reply.
  static std::vector<mfab::FileData> FilesOf(const mfab::Message& reply) {
    mfab::DataMigrationMessage migrated;
    migrated.Deserialize(reply.payload);
    return migrated.files;
  }

  static mfab::Message SaveAnswer(const mfab::Message& reply) {
    return AnswerTo(reply, mt::kSaveResponse, BooleanPayload(1));
  }

  // Stores the migrated files under the names the engine gave them.
  void StoreMigrated(const mfab::Message& files) {
    for (const mfab::FileData& file : FilesOf(files)) {
      const std::string name = file.fileName.substr(file.fileName.rfind('/') + 1);
      host.store[name.substr(0, name.size() - 4)] = file.content;
    }
  }
};

// The engine's tests complete an upgrade over the library; here an altered file is left out, an
// exchange the engine abandons starts again, and blobs of the old SVN are no longer trusted.
TEST_F(SimUpgradeTest, AlteredFileIsLeftOutAndInterruptedExchangeStartsAgain) {
  SimClient client(host);
  EXPECT_EQ(ErrorCodeOf(client.Send(2, MigrationRequest())), sim_error::kUnexpectedMessage);
  HostDouble before = host;
  state.WriteFile("firmware", "version=1.0.0.1\nplatform=kiln-sim 1.0\nsvn=3\n");
  EXPECT_EQ(ErrorCodeOf(client.GetPolicy()), mfab::applet_error::kSvnUpgradeNeeded);
  host.store[std::string("_U") + kSid + "$EPhone"][30] ^= 0x40;
  const mfab::Message files = client.Send(2, MigrationRequest());
  ASSERT_EQ(files.messageType, mt::kDataMigrationFiles);
  for (const mfab::FileData& file : FilesOf(files))
    EXPECT_EQ(file.fileName.find("$EPhone"), std::string::npos);
  EXPECT_EQ(FilesOf(files).size(), host.store.size() - 2);
  StoreMigrated(files);
  // The engine idles out; the half-done exchange is dropped and the demand stands.
  Bytes idle;
  ASSERT_EQ(client.Exchange(1, {}, idle), KILN_STATUS_SUCCESS);
  EXPECT_EQ(ErrorCodeOf(client.Send(2, SaveAnswer(files))), sim_error::kUnexpectedMessage);
  EXPECT_EQ(ErrorCodeOf(client.GetPolicy()), mfab::applet_error::kSvnUpgradeNeeded);

  // Files already re-sealed migrate again.
  const mfab::Message again = client.Send(2, MigrationRequest());
  ASSERT_EQ(again.messageType, mt::kDataMigrationFiles);
  StoreMigrated(again);
  const mfab::Message master = client.Send(2, SaveAnswer(again));
  ASSERT_TRUE(host.Answer(master)) << "no master-versions save: " << ErrorTextOf(master);
  EXPECT_EQ(client.Send(2, SaveAnswer(master)).messageType, mt::kDataMigrationEnd);
  EXPECT_EQ(client.GetPolicy(host.InitBlock()).messageType, sim_type::kGetPolicyDataResponse);
  EXPECT_NE(state.ReadFile("versions").find("data-svn 3"), std::string::npos);
  for (const mfab::FileData& file : FilesOf(again)) EXPECT_EQ(PeekBlobHeader(file.content).svn, 3u);
  // Even at the current version, what was sealed under the old SVN is refused.
  EXPECT_EQ(ErrorCodeOf(SimClient(before).GetPolicy()), sim_error::kSealedDataRefused);
}

}  // namespace
}  // namespace kilnsim::testing
