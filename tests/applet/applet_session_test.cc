#include "applet/applet_session.h"

#include <gtest/gtest.h>

#include <chrono>

#include "applet/applet_ids.h"
#include "applet/session_init_data.h"
#include "common/exceptions.h"
#include "tests/applet/applet_session_fixture.h"
#include "tlv/message_types.h"

namespace mfab {
namespace {

using keystone::testing::KilnFunction;
using keystone::testing::Reply;
using Categories = std::optional<std::set<uint16_t>>;

constexpr uint32_t kSomeReplyType = 0xABBA0014;

class AppletSessionTest : public keystone::testing::AppletSessionFixture {
 protected:
  void SetUp() override {
    AppletSessionFixture::SetUp();
    kiln->SetReplyHandler([](uint32_t, const Bytes&) { return Reply(kSomeReplyType); });
  }

  // Sends as user with categories; returns the categories of the block that travelled with it.
  Categories SendAs(std::string user, DataCategories categories, bool noPiggyBack = false) {
    RequestContext context;
    context.user = std::move(user);
    context.categories = std::move(categories);
    context.noPiggyBack = noPiggyBack;
    EXPECT_EQ(session->Send(0, request, context), Reply(kSomeReplyType));
    return BlockCategories(kiln->CallsOf(KilnFunction::kSendAndRecv2).back().data, request.size());
  }

  const Bytes request = Reply(0xABBA0013);
};

// The first send opens the session with the OS generation, the policy and the certificates. Each
// category travels once per session, user data again when the user changes.
TEST_F(AppletSessionTest, FirstSendOpensSessionAndEachCategoryIsDeliveredOnce) {
  for (std::string name : {"_Sys", "_Sys$Policy", "_Sys$Credential"}) PutData(name);
  for (const char* user : {kUserA, kUserB}) PutData(std::string("_U") + user);
  Open();
  EXPECT_THROW(session->Send(0, request, {.user = "", .categories = {0x0101}}),
               InvalidParamException);  // user data needs a user
  EXPECT_FALSE(session->HasOpenSession());
  EXPECT_EQ(kiln->Count(KilnFunction::kSendAndRecv2), 0u);

  EXPECT_EQ(SendAs(kUserA, {0x0100, 0x0003, 0x0201}),
            (std::set<uint16_t>{0x0003, 0x0101, 0x0102, 0x0201}));
  // The block is chosen before the session opens, so the certificates travel twice this once.
  const Bytes init = kiln->CallsOf(KilnFunction::kCreateSession).at(0).data;
  EXPECT_EQ(Bytes(init.begin(), init.begin() + 8), (Bytes{0, 0, 0, 4, 0, 0, 0, 3}));
  EXPECT_EQ(BlockCategories(init, 8), (std::set<uint16_t>{0x0002, 0x0003}));
  EXPECT_EQ(session->DeliveredData().count(0x0002), 1u);
  EXPECT_EQ(SendAs(kUserA, {0x0100, 0x0003, 0x0201}), std::nullopt);
  EXPECT_EQ(SendAs(kUserB, {0x0100, 0x0201}), (std::set<uint16_t>{0x0101, 0x0102}));
  // A request without identity keeps the current user and what it has.
  EXPECT_EQ(SendAs("", {0x0100}), std::nullopt);
  EXPECT_EQ(session->CurrentUser(), kUserB);
  EXPECT_EQ(SendAs(kUserA, {0x0100}, true), std::nullopt);
  EXPECT_EQ(kiln->Count(KilnFunction::kCreateSession), 1u);
}

// The newest generation, capped at 3, is what the first-send test's empty registry gives.
TEST_F(AppletSessionTest, InitDataAnnouncesTheOsGeneration) {
  using platform::RegValue;
  const struct {
    const char* key;
    RegValue value;
    uint8_t generation;
    const char* name;
  } cases[] = {{"CurrentBuildNumber", RegValue::String("10586"), 2, "WIN_10_RS1"},
               {"CurrentBuildNumber", RegValue::String("15063"), 3, "WIN_10_RS2"},
               {"CurrentMajorVersionNumber", RegValue::Dword(6), 1, "WIN_7"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    platform::WriteRegistryValue(registry, keystone::kWindowsCurrentVersionKey, c.key, c.value);
    if (c.generation == 1) {
      platform::WriteRegistryValue(registry, keystone::kWindowsCurrentVersionKey,
                                   "CurrentMinorVersionNumber", RegValue::Dword(1));
    }
    EXPECT_EQ(SessionInitData(*osVersion).Serialize(), (Bytes{0, 0, 0, 4, 0, 0, 0, c.generation}));
    EXPECT_TRUE(capture->Has(std::string("OS Version : ") + c.name));
  }
}

// Communication errors are retried after sleeps on the same session; an invalid session is
// reopened at once; any other failure is resent once on a reopened session.
TEST_F(AppletSessionTest, ResendAndReopenRules) {
  const struct {
    const char* name;
    std::vector<KILN_STATUS> scripted;
    KILN_STATUS otherwise;  // after the scripted ones; 0: the send is answered
    size_t sends, creates;
    std::vector<std::pair<std::string, size_t>> logs;
  } cases[] = {
      // clang-format off
      {"three communication errors", {0x300, 0x300, 0x300, 0x300, 0x300, 0x300}, 0, 7, 1,
       {{"AppletManager::send get ConnectionError", 1}}},
      {"invalid session", {0x100F}, 0, 2, 2, {}},
      {"invalid session during retries", {0x300, 0x300, 0x100F}, 0, 4, 2, {}},
      {"general failure", {0x400, 0x400}, 0, 3, 2,
       {{"Send failed (0X400)", 1}, {"Second SendMessage attempt succeeded", 1}}},
      // Each round: the first send and three retries, two library attempts each.
      {"communication errors throughout", {}, 0x300, 16, 2,
       {{"Second SendMessage attempt failed (Send failed)", 1},
        {"Send failed with CommunicationError", 2}}},
      // clang-format on
  };
  options.communicationRetryAttempts = 3;
  options.communicationRetrySleep = std::chrono::milliseconds(25);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    kiln = std::make_shared<keystone::testing::FakeKiln>();
    kiln->SetReplyHandler([](uint32_t, const Bytes&) { return Reply(kSomeReplyType); });
    capture->Clear();
    Open().OpenSession();
    kiln->ScriptStatuses(KilnFunction::kSendAndRecv2, c.scripted);
    kiln->SetDefaultStatus(KilnFunction::kSendAndRecv2, c.otherwise);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(session->Send(0, request, {}), c.otherwise == 0 ? Reply(kSomeReplyType) : Bytes{});
    const auto sends = kiln->CallsOf(KilnFunction::kSendAndRecv2);
    EXPECT_EQ(sends.size(), c.sends);
    EXPECT_EQ(kiln->Count(KilnFunction::kCreateSession), c.creates);
    EXPECT_EQ(kiln->Count(KilnFunction::kCloseSession), c.creates - 1);
    EXPECT_EQ(sends.front().session == sends.back().session, c.creates == 1);
    for (const auto& [log, count] : c.logs) EXPECT_EQ(capture->Count(log), count) << log;
    if (c.sends == 7) {
      EXPECT_GE(std::chrono::steady_clock::now() - start, 2 * options.communicationRetrySleep);
    }
  }
}

TEST_F(AppletSessionTest, RepliesAreReturnedAsBytesWhateverTheyHoldAndTheirLogLinesRelogged) {
  const Bytes truncated{0x00, 0x01, 0x00, 0x04, 0xAB};
  const Bytes error = keystone::testing::ErrorReply(applet_error::kAlreadyEnrolled, "enrolled");
  const char* const noEntries = "Reply from applet does not have Message entries";
  const char* const noMetadata = "Reply from applet does not have metadata entry";
  const struct {
    Bytes reply;
    const char* logged;
    const char* notLogged;
  } cases[] = {{truncated, noEntries, noMetadata}, {error, noMetadata, noEntries}};
  Open();
  for (const auto& c : cases) {
    capture->Clear();
    kiln->QueueReply(c.reply);
    EXPECT_EQ(session->Send(0, request, {}), c.reply);
    EXPECT_TRUE(capture->Has(c.logged));
    EXPECT_FALSE(capture->Has(c.notLogged));
  }
  EXPECT_FALSE(capture->Has("SVN UPGRADE ERROR recived from the applet"));
  EXPECT_TRUE(busy.events.empty());

  // The applet's log lines are logged again as the engine's.
  MessageMetadata metadata;
  metadata.entries.resize(2);
  metadata.entries[0].level = kLogWarning;
  metadata.entries[0].component = "APPLET-AUTH";
  metadata.entries[0].scope = "policy: ";
  metadata.entries[0].text = "factor 3 timed out";
  metadata.entries[0].fwTime = 123456789;
  metadata.entries[1].level = kLogInfo;
  metadata.entries[1].component = "APPLET-CORE";
  metadata.entries[1].text = "ready";
  kiln->QueueReply(Reply(kSomeReplyType, {}, &metadata));
  session->Send(0, request, {});
  std::vector<keystone::testing::LogCapture::Entry> relogged;
  for (const auto& entry : capture->Entries()) {
    if (entry.record.message.rfind("FW time:", 0) == 0) relogged.push_back(entry);
  }
  ASSERT_EQ(relogged.size(), 2u);
  EXPECT_EQ(relogged[0].record.message, "FW time:123456789 policy: factor 3 timed out");
  EXPECT_EQ(relogged[0].record.operation, "APPLET-AUTH");
  EXPECT_EQ(relogged[0].record.level, kLogWarning);
  EXPECT_EQ(relogged[1].record.message, "FW time:0 ready");
  EXPECT_EQ(relogged[1].record.operation, "APPLET-CORE");
}

}  // namespace
}  // namespace mfab
