#include "applet/svn_upgrador.h"

#include <gtest/gtest.h>

#include <utility>

#include "common/exceptions.h"
#include "tests/applet/applet_session_fixture.h"
#include "tlv/host_messages.h"
#include "tlv/message_types.h"

namespace mfab {
namespace {

using keystone::kClientUsersKey;
using keystone::kEngineKey;
using keystone::testing::ErrorReply;
using keystone::testing::KilnFunction;
using keystone::testing::Reply;
using keystone::testing::ThrownText;
using platform::RegValue;

constexpr uint32_t kMigrationModule = 10;

Bytes MigratedFilesReply(const std::vector<std::pair<std::string, std::string>>& migrated) {
  DataMigrationMessage message;
  for (const auto& [name, content] : migrated) {
    FileData file;
    file.fileName = name;
    file.content.assign(content.begin(), content.end());
    message.files.push_back(file);
  }
  return Reply(message_type::kDataMigrationFiles, message.Serialize(), nullptr, kMigrationModule);
}

Bytes SaveRequestReply() {
  SaveRequest save;
  save.masterVersionsData = {'m', '2'};
  save.secondFileName = "_Sys$Policy";
  save.secondFileData = {'p'};
  save.firstFileName = "_Sys$Credential";
  save.firstFileData = {'c'};
  return Reply(message_type::kSaveRequest, save.Serialize());
}

// The applet's side of the exchange: the upgrade demand for the client's request, then the
// migration conversation. Each stage's answer can be replaced.
class SVNUpgradorTest : public keystone::testing::AppletSessionFixture {
 protected:
  void SetUp() override {
    AppletSessionFixture::SetUp();
    Arrange(true);
    migrationReply = MigratedFilesReply({{"_Sys", "resealed"}, {"_Unew", "new user"}});
    saveReply = SaveRequestReply();
    finalReply = Reply(message_type::kDataMigrationEnd);

    kiln->SetReplyHandler([this](uint32_t commandId, const Bytes& sent) {
      commands.push_back(commandId);
      const Message message = Message::Parse(sent);
      if (commandId == 0) return ErrorReply(applet_error::kSvnUpgradeNeeded);
      if (message.messageType == message_type::kDataMigrationRequest) {
        migrationRequest = message;
        return migrationReply;
      }
      savedAnswers.push_back(message);
      return savedAnswers.size() == 1 ? saveReply : finalReply;
    });
  }

  // What an upgrade starts from: the registry's consent to migrate (or not), the clients' users
  // and stored files.
  void Arrange(bool optIn) {
    platform::WriteRegistryValue(registry, kEngineKey, SVNUpgrador::kDataMigrationOptInValue,
                                 RegValue::Dword(optIn ? 1 : 0));
    for (const char* user : {kUserA, kUserB}) {
      const std::string key = std::string(kClientUsersKey) + "\\" + user;
      platform::WriteRegistryValue(registry, key, "IsSSOAvailable", RegValue::Dword(1));
      platform::WriteRegistryValue(registry, key, "SmartCardContainerName",
                                   RegValue::String("container"));
      platform::WriteRegistryValue(registry, key, "ReaderName", RegValue::String("reader"));
    }
    PutData("_masterVersions", "m1");
    PutData("_Sys", "sys");
    PutData(std::string("_U") + kUserA + "$A7", "action");
  }
  bool HasOperation(const std::string& operation, const std::string& text) const {
    for (const auto& entry : capture->Entries()) {
      if (entry.record.operation == operation && entry.record.message == text) return true;
    }
    return false;
  }

  Bytes migrationReply;
  Bytes saveReply;
  Bytes finalReply;
  std::vector<uint32_t> commands;
  std::optional<Message> migrationRequest;
  std::vector<Message> savedAnswers;
};

TEST_F(SVNUpgradorTest, CompletedMigrationEndsInUpgradeException) {
  PutData("_Sys$Policy", "p0");  // delivered when the session opens, so again after the upgrade
  AppletSession& applet = Open();
  EXPECT_EQ(ThrownText<SVNUpgradeException>([&] { applet.Send(0, Reply(0xABBA0013), {}); }),
            "SVN version upgrade was identify");
  EXPECT_EQ(busy.events, (std::vector<std::string>{"set", "clear"}));

  // The action data was wiped before the remaining files were handed over.
  ASSERT_TRUE(migrationRequest);
  EXPECT_EQ(migrationRequest->moduleId, kMigrationModule);
  EXPECT_EQ(migrationRequest->category, 1u);
  EXPECT_EQ(migrationRequest->sessionId, 0xFFFFFFFFu);
  DataMigrationMessage handedOver;
  handedOver.Deserialize(migrationRequest->payload);
  ASSERT_EQ(handedOver.files.size(), 3u);
  EXPECT_EQ(handedOver.files[1].fileName, "_Sys");
  EXPECT_EQ(handedOver.files[1].content, (Bytes{'s', 'y', 's'}));
  EXPECT_EQ(handedOver.files[2].fileName, "_masterVersions");

  // The migrated files were stored.
  EXPECT_EQ(DataOf("_Sys"), "resealed");
  EXPECT_EQ(DataOf("_Unew"), "new user");
  EXPECT_EQ(DataOf(std::string("_U") + kUserA + "$A7"), "none");

  // Both answers are responses in the module and session of what they answer.
  SaveResponse stored;
  stored.result = 1;
  ASSERT_EQ(savedAnswers.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(savedAnswers[i].messageType, message_type::kSaveResponse);
    EXPECT_EQ(savedAnswers[i].moduleId, i == 0 ? kMigrationModule : 3u);
    EXPECT_TRUE(savedAnswers[i].isResponse);
    EXPECT_EQ(savedAnswers[i].payload, stored.Serialize());
  }
  EXPECT_EQ(savedAnswers[1].sessionId, 7u);
  // The save request's files were stored (their order is the data controller's).
  EXPECT_EQ(DataOf("_Sys$Credential") + DataOf("_masterVersions"), "cm2");

  for (const char* user : {kUserA, kUserB}) {
    const std::string key = std::string(kClientUsersKey) + "\\" + user;
    EXPECT_EQ(platform::ReadRegistryDword(registry, key, "IsSSOAvailable"), 0u);
    EXPECT_FALSE(platform::ReadRegistryString(registry, key, "SmartCardContainerName"));
    EXPECT_FALSE(platform::ReadRegistryString(registry, key, "ReaderName"));
  }
  EXPECT_GE(registry.FlushCount(), 2u);
  EXPECT_TRUE(capture->Has("SVN UPGRADE ERROR recived from the applet"));
  EXPECT_TRUE(capture->Has("revoking all VOX-PKI certificates"));
  EXPECT_TRUE(applet.DeliveredData().empty());
}

// Without the opt-in nothing is touched; a failed stage keeps what was stored before it. Either
// way the client gets the error reply, and even a second upgrade demand does not start another
// upgrade inside the first.
TEST_F(SVNUpgradorTest, DeclinedOrFailedUpgradeHandsTheClientTheErrorReply) {
  const char* const failed = "data migration process failed";
  const struct {
    const char* name;
    Bytes* stage;  // the stage whose answer is replaced; none: no opt-in
    Bytes reply;
    std::vector<uint32_t> commands;
    const char *log, *operation, *sys, *policy;
  } cases[] = {
      // clang-format off
      {"no opt-in", nullptr, {}, {0}, "data migration was not choosen",
       "SVN version upgrade was identify", "sys", "none"},
      {"upgrade demand", &migrationReply, ErrorReply(applet_error::kSvnUpgradeNeeded), {0, 2},
       failed, failed, "sys", "none"},
      {"unsafe file name", &migrationReply, MigratedFilesReply({{"../escape", "x"}}), {0, 2},
       "revoking all VOX-PKI certificates", "", "sys", "none"},
      {"malformed save request", &saveReply, Reply(message_type::kSaveRequest, {0x7B, 0x01}),
       {0, 2, 2}, "storing all files after migration", "", "resealed", "none"},
      {"no end of exchange", &finalReply, Reply(message_type::kSaveResponse), {0, 2, 2, 2},
       "SVN upgrade process failed at the last stage", failed, "resealed", "p"},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Arrange(c.stage != nullptr);
    Bytes kept;
    if (c.stage) kept = std::exchange(*c.stage, c.reply);
    commands.clear();
    savedAnswers.clear();
    busy.events.clear();
    capture->Clear();
    session.reset();
    EXPECT_EQ(Open().Send(0, Reply(0xABBA0013), {}), ErrorReply(applet_error::kSvnUpgradeNeeded));
    EXPECT_EQ(commands, c.commands);
    EXPECT_EQ(busy.events, c.stage ? (std::vector<std::string>{"set", "clear"})
                                   : std::vector<std::string>{"clear"});
    EXPECT_TRUE(capture->Has(c.log));
    EXPECT_TRUE(!*c.operation || HasOperation("SVN upgrade", c.operation));
    EXPECT_EQ(DataOf(std::string("_U") + kUserA + "$A7"), c.stage ? "none" : "action");
    EXPECT_EQ(platform::ReadRegistryDword(registry, std::string(kClientUsersKey) + "\\" + kUserA,
                                          "IsSSOAvailable"),
              c.stage ? 0u : 1u);
    EXPECT_EQ(DataOf("_Sys"), c.sys);
    EXPECT_EQ(DataOf("_Sys$Policy"), c.policy);
    EXPECT_FALSE(files.HasFile("/data/escape.SDS"));
    if (c.stage) *c.stage = kept;
  }
}

}  // namespace
}  // namespace mfab
