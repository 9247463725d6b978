#include "applet/applet_session.h"

#include <gtest/gtest.h>

#include <chrono>

#include "applet/applet_ids.h"
#include "common/exceptions.h"
#include "tests/applet/applet_session_fixture.h"
#include "tlv/message_types.h"

namespace mfab {
namespace {

using keystone::testing::KilnFunction;
using keystone::testing::Reply;
using keystone::testing::RequestBytes;

constexpr uint32_t kSomeReplyType = 0xABBA0014;

class AppletSessionTest : public keystone::testing::AppletSessionFixture {
 protected:
  void SetUp() override {
    AppletSessionFixture::SetUp();
    kiln->SetReplyHandler([](uint32_t, const Bytes&) { return Reply(kSomeReplyType); });
  }

  static RequestContext Context(std::string user, DataCategories categories) {
    RequestContext context;
    context.user = std::move(user);
    context.categories = std::move(categories);
    return context;
  }

  const Bytes request = RequestBytes();
};

TEST_F(AppletSessionTest, OpeningHandsOverOsGenerationPolicyAndCertificates) {
  PutData("_Sys");
  PutData("_Sys$Policy");
  PutData("_Sys$Credential");
  AppletSession& applet = Open();
  applet.OpenSession();

  const auto creates = kiln->CallsOf(KilnFunction::kCreateSession);
  ASSERT_EQ(creates.size(), 1u);
  const Bytes& init = creates[0].data;
  ASSERT_GE(init.size(), 8u);
  // The newest generation is announced capped at 3.
  EXPECT_EQ(Bytes(init.begin(), init.begin() + 8), (Bytes{0, 0, 0, 4, 0, 0, 0, 3}));
  EXPECT_EQ(BlockCategories(init, 8), (std::set<uint16_t>{0x0002, 0x0003}));
  EXPECT_EQ(applet.DeliveredData(), (DataCategories{0x0002, 0x0003}));
  EXPECT_TRUE(capture->Has("OS Version : WIN_10_LATER"));
}

TEST_F(AppletSessionTest, FirstSendOpensSessionAndEachCategoryIsDeliveredOnce) {
  PutData("_Sys");
  PutData("_Sys$Credential");
  PutData(std::string("_U") + kUserA);
  AppletSession& applet = Open();
  EXPECT_FALSE(applet.HasOpenSession());

  const RequestContext context = Context(kUserA, {0x0100, 0x0003});
  EXPECT_EQ(applet.Send(0, request, context), Reply(kSomeReplyType));
  EXPECT_TRUE(applet.HasOpenSession());
  // The block is chosen before the session opens, so the certificates travel twice this once.
  EXPECT_EQ(BlockCategories(kiln->CallsOf(KilnFunction::kCreateSession)[0].data, 8),
            (std::set<uint16_t>{0x0003}));
  EXPECT_EQ(BlockCategories(Sends()[0].data, request.size()),
            (std::set<uint16_t>{0x0003, 0x0101, 0x0102}));

  applet.Send(0, request, context);
  EXPECT_EQ(Sends()[1].data, request);
  EXPECT_EQ(kiln->Count(KilnFunction::kCreateSession), 1u);
  EXPECT_EQ(applet.CurrentUser(), kUserA);
}

TEST_F(AppletSessionTest, UserSwitchRedeliversOnlyTheNewUsersData) {
  PutData("_Sys");
  PutData(std::string("_U") + kUserA);
  PutData(std::string("_U") + kUserB);
  AppletSession& applet = Open();
  applet.Send(0, request, Context(kUserA, {0x0100, 0x0201}));
  EXPECT_EQ(BlockCategories(Sends()[0].data, request.size()),
            (std::set<uint16_t>{0x0101, 0x0102, 0x0201}));

  applet.Send(0, request, Context(kUserB, {0x0100, 0x0201}));
  EXPECT_EQ(BlockCategories(Sends()[1].data, request.size()), (std::set<uint16_t>{0x0101, 0x0102}));
  EXPECT_EQ(applet.CurrentUser(), kUserB);

  // A request without identity keeps the current user and what it has.
  applet.Send(0, request, Context("", {0x0100}));
  EXPECT_EQ(Sends()[2].data, request);
  EXPECT_EQ(applet.CurrentUser(), kUserB);
}

TEST_F(AppletSessionTest, NoPiggyBackFlagAttachesNothingAndUserDataNeedsAUser) {
  PutData(std::string("_U") + kUserA);
  AppletSession& applet = Open();
  EXPECT_THROW(applet.Send(0, request, Context("", {0x0101})), InvalidParamException);
  EXPECT_EQ(kiln->Count(KilnFunction::kSendAndRecv2), 0u);

  RequestContext context = Context(kUserA, {0x0100});
  context.noPiggyBack = true;
  applet.Send(0, request, context);
  EXPECT_EQ(Sends()[0].data, request);
}

TEST_F(AppletSessionTest, CommunicationErrorsAreRetriedAfterSleeps) {
  options.communicationRetrySleep = std::chrono::milliseconds(25);
  AppletSession& applet = Open();
  applet.OpenSession();
  // Three failed sends (each the library's two attempts), then success.
  kiln->ScriptStatuses(KilnFunction::kSendAndRecv2, {0x300, 0x300, 0x300, 0x300, 0x300, 0x300});
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(applet.Send(0, request, {}), Reply(kSomeReplyType));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 2 * options.communicationRetrySleep);
  EXPECT_EQ(kiln->Count(KilnFunction::kSendAndRecv2), 7u);
  EXPECT_EQ(capture->Count("AppletManager::send get ConnectionError"), 1u);
  EXPECT_EQ(kiln->Count(KilnFunction::kCreateSession), 1u);
}

TEST_F(AppletSessionTest, InvalidSessionIsReopenedAndResent) {
  AppletSession& applet = Open();
  applet.OpenSession();
  kiln->ScriptStatuses(KilnFunction::kSendAndRecv2, {0x100F});
  EXPECT_EQ(applet.Send(0, request, {}), Reply(kSomeReplyType));
  EXPECT_EQ(kiln->Count(KilnFunction::kCreateSession), 2u);
  EXPECT_EQ(kiln->Count(KilnFunction::kCloseSession), 1u);
  const auto sends = Sends();
  ASSERT_EQ(sends.size(), 2u);
  EXPECT_NE(sends[0].session, sends[1].session);
}

TEST_F(AppletSessionTest, InvalidSessionDuringCommunicationRetriesReopensAtOnce) {
  AppletSession& applet = Open();
  applet.OpenSession();
  kiln->ScriptStatuses(KilnFunction::kSendAndRecv2, {0x300, 0x300, 0x100F});
  EXPECT_EQ(applet.Send(0, request, {}), Reply(kSomeReplyType));
  EXPECT_EQ(kiln->Count(KilnFunction::kCreateSession), 2u);
}

TEST_F(AppletSessionTest, GeneralFailureIsResentOnceOnAReopenedSession) {
  AppletSession& applet = Open();
  applet.OpenSession();
  kiln->ScriptStatuses(KilnFunction::kSendAndRecv2, {0x400, 0x400});
  EXPECT_EQ(applet.Send(0, request, {}), Reply(kSomeReplyType));
  EXPECT_TRUE(capture->Has("Send failed (0X400)"));
  EXPECT_TRUE(capture->Has("Second SendMessage attempt succeeded"));
  EXPECT_EQ(kiln->Count(KilnFunction::kCreateSession), 2u);
}

TEST_F(AppletSessionTest, SecondFailureReturnsEmptyReply) {
  options.communicationRetryAttempts = 2;
  AppletSession& applet = Open();
  applet.OpenSession();
  kiln->SetDefaultStatus(KilnFunction::kSendAndRecv2, 0x300);
  EXPECT_TRUE(applet.Send(0, request, {}).empty());
  EXPECT_TRUE(capture->Has("Second SendMessage attempt failed (Send failed)"));
  // Each round: the first send and two retries, two library attempts each.
  EXPECT_EQ(kiln->Count(KilnFunction::kSendAndRecv2), 12u);
  EXPECT_EQ(capture->Count("Send failed with CommunicationError"), 2u);
}

TEST_F(AppletSessionTest, MalformedReplyIsLoggedAndStillReturned) {
  AppletSession& applet = Open();
  const Bytes truncated{0x00, 0x01, 0x00, 0x04, 0xAB};
  kiln->QueueReply(truncated);
  EXPECT_EQ(applet.Send(0, request, {}), truncated);
  EXPECT_TRUE(capture->Has("Reply from applet does not have Message entries"));

  Message noSession;
  noSession.messageType = kSomeReplyType;
  Bytes withoutSessionId = noSession.Serialize();
  withoutSessionId.resize(withoutSessionId.size() - 8);  // drop the 0x0008 item
  kiln->QueueReply(withoutSessionId);
  capture->Clear();
  EXPECT_EQ(applet.Send(0, request, {}), withoutSessionId);
  EXPECT_TRUE(capture->Has("Reply from applet does not have Message entries"));
}

TEST_F(AppletSessionTest, AppletLogLinesAreRelogged) {
  MessageMetadata metadata;
  LoggingEntry first;
  first.level = kLogWarning;
  first.component = "APPLET-AUTH";
  first.scope = "policy: ";
  first.text = "factor 3 timed out";
  first.fwTime = 123456789;
  LoggingEntry second;
  second.level = kLogInfo;
  second.component = "APPLET-CORE";
  second.text = "ready";
  metadata.entries = {first, second};
  kiln->QueueReply(Reply(kSomeReplyType, {}, &metadata));

  AppletSession& applet = Open();
  applet.Send(0, request, {});
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

TEST_F(AppletSessionTest, OtherErrorRepliesWithoutMetadataTravelBackAsBytes) {
  const Bytes error = keystone::testing::ErrorReply(applet_error::kAlreadyEnrolled, "enrolled");
  kiln->QueueReply(error);
  AppletSession& applet = Open();
  EXPECT_EQ(applet.Send(0, request, {}), error);
  EXPECT_TRUE(capture->Has("Reply from applet does not have metadata entry"));
  EXPECT_FALSE(capture->Has("Reply from applet does not have Message entries"));
  EXPECT_FALSE(capture->Has("SVN UPGRADE ERROR recived from the applet"));
  EXPECT_TRUE(busy.events.empty());
}

}  // namespace
}  // namespace mfab
