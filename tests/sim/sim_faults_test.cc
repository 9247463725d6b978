// Fault injection: the fault file's grammar, and the statuses, hangs and broken replies it makes
// the library produce.

#include <chrono>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "applet/applet_ids.h"
#include "sim/applet/fault_plan.h"
#include "tests/sim/sim_test_support.h"
#include "tlv/metadata.h"

namespace kilnsim::testing {
namespace {

TEST(FaultPlanTest, ReadsEveryDirective) {
  const FaultPlan plan = ParseFaultPlan(
      "# recovery drill\n"
      "status CreateSession 0x1004*3 0\n"
      "status KILN_SendAndRecv2 0x300*always\n"
      "hang sendandrecv2 2s*2   # case does not matter\n"
      "reply drop-tag:0x0008\n"
      "reply truncate*3\n"
      "svn 4\n");
  EXPECT_TRUE(plan.problems.empty());
  const auto& create = plan.statuses[static_cast<size_t>(KilnFunction::kCreateSession)];
  ASSERT_EQ(create.size(), 2u);
  EXPECT_EQ(create[0].status, 0x1004u);
  EXPECT_EQ(create[0].count, 3);
  EXPECT_EQ(create[1].status, 0u);
  EXPECT_EQ(plan.statuses[static_cast<size_t>(KilnFunction::kSendAndRecv2)][0].count, kAlways);
  const auto& hang = plan.hangs[static_cast<size_t>(KilnFunction::kSendAndRecv2)];
  ASSERT_TRUE(hang);
  EXPECT_EQ(hang->duration, std::chrono::seconds(2));
  EXPECT_EQ(hang->count, 2);
  ASSERT_EQ(plan.replies.size(), 2u);
  EXPECT_EQ(plan.replies[0].kind, ReplyFault::kDropTag);
  EXPECT_EQ(plan.replies[0].tag, 0x0008);
  EXPECT_EQ(plan.replies[1].count, 3);
  EXPECT_EQ(plan.svn, 4u);
}

TEST(FaultPlanTest, ListsBadLinesAndKeepsTheRest) {
  const FaultPlan plan = ParseFaultPlan(
      "status Explode 1\n"
      "hang CreateSession soon\n"
      "status CreateSession 0x1004*0\n"
      "reply melt\n"
      "frobnicate\n"
      "svn\n"
      "status Deinit 0x201\n");
  ASSERT_EQ(plan.problems.size(), 6u);
  EXPECT_EQ(plan.problems[0].rfind("line 1: unknown function", 0), 0u);
  EXPECT_EQ(plan.problems[5].rfind("line 6:", 0), 0u);
  EXPECT_EQ(plan.statuses[static_cast<size_t>(KilnFunction::kDeinit)].size(), 1u);
}

using SimFaultsTest = SimTest;

TEST_F(SimFaultsTest, StatusSequenceThenNormalCalls) {
  SimClient client(host);
  state.SetFaults("status CreateSession 0x1004*3 0x201 0\n");
  std::vector<KILN_STATUS> statuses;
  for (int i = 0; i < 6; ++i) statuses.push_back(client.Open(InitData()));
  EXPECT_EQ(statuses, (std::vector<KILN_STATUS>{0x1004, 0x1004, 0x1004, 0x201, 0, 0}));

  // Rewriting the file starts its counts again.
  state.SetFaults("status CreateSession 0x1004\n");
  EXPECT_EQ(client.Open(InitData()), 0x1004u);
  EXPECT_EQ(client.Open(InitData()), 0u);
}

TEST_F(SimFaultsTest, SendFailsWithoutRunningTheRequest) {
  SimClient client(host);
  state.SetFaults("status SendAndRecv2 0x300*2\n");
  Bytes reply;
  const Bytes request = MakeRequest(0xABBA000D, SamplePolicy()).Serialize();
  EXPECT_EQ(client.Exchange(0, request, reply), 0x300u);
  EXPECT_EQ(client.Exchange(0, request, reply), 0x300u);
  ASSERT_EQ(client.Exchange(0, request, reply), 0u);
  // Only the third attempt reached the applet: it asks for one save, not three.
  EXPECT_EQ(mfab::Message::Parse(reply).messageType, mfab::message_type::kSaveRequest);
}

TEST_F(SimFaultsTest, HangDelaysTheCallThenItRuns) {
  SimClient client(host);
  state.SetFaults("hang SendAndRecv2 150ms\n");
  Bytes reply;
  const Bytes request = MakeRequest(0xABBA0065).Serialize();
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(client.Exchange(0, request, reply), 0u);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
  EXPECT_NO_THROW(mfab::Message::Parse(reply));
}

TEST_F(SimFaultsTest, MalformedReplies) {
  SimClient client(host);
  const Bytes request = MakeRequest(0xABBA0065, {}, 5).Serialize();
  Bytes healthy;
  ASSERT_EQ(client.Exchange(0, request, healthy), 0u);  // the first reply also logs the opening
  ASSERT_EQ(client.Exchange(0, request, healthy), 0u);
  state.SetFaults("reply truncate\nreply drop-tag:0x0008\nreply empty\nreply garbage\n");

  Bytes reply;
  ASSERT_EQ(client.Exchange(0, request, reply), 0u);
  EXPECT_EQ(reply.size(), healthy.size() / 2);
  EXPECT_THROW(mfab::Message::Parse(reply), mfab::TlvException);

  ASSERT_EQ(client.Exchange(0, request, reply), 0u);
  EXPECT_THAT([&] { mfab::Message::Parse(reply); },
              ::testing::ThrowsMessage<mfab::TlvException>(
                  ::testing::StrEq("Requested TLV (0x0008) not found.")));

  ASSERT_EQ(client.Exchange(0, request, reply), 0u);
  EXPECT_TRUE(reply.empty());
  ASSERT_EQ(client.Exchange(0, request, reply), 0u);
  EXPECT_EQ(reply.size(), healthy.size());
  EXPECT_NE(reply, healthy);

  ASSERT_EQ(client.Exchange(0, request, reply), 0u);
  EXPECT_EQ(mfab::Message::Parse(reply).sessionId, 5u);
}

TEST_F(SimFaultsTest, BadFaultLinesShowInTheNextReplyLog) {
  SimClient client(host);
  state.SetFaults("status Nothing 1\n");
  const mfab::Message reply = client.Send(0, MakeRequest(0xABBA0065));
  mfab::MessageMetadata metadata;
  metadata.Deserialize(*reply.metadata);
  bool reported = false;
  for (const mfab::LoggingEntry& entry : metadata.entries) {
    reported = reported || (entry.level == 1 &&
                            entry.text.find("unknown function 'Nothing'") != std::string::npos);
  }
  EXPECT_TRUE(reported);
  // Once per version of the file.
  metadata.Deserialize(*client.Send(0, MakeRequest(0xABBA0065)).metadata);
  for (const mfab::LoggingEntry& entry : metadata.entries)
    EXPECT_EQ(entry.text.find("Nothing"), std::string::npos);
}

TEST_F(SimFaultsTest, EveryFunctionCanFail) {
  SimClient client(host);
  state.SetFaults(
      "status Initialize 0x300\nstatus GetVersionInfo 0x301\nstatus Install2 0x1004\n"
      "status Uninstall 0x1004\nstatus CloseSession 0x300\nstatus Deinit 0x300\n");
  KILN_HANDLE handle = nullptr;
  EXPECT_EQ(Kiln().initialize(&handle, nullptr, 0), 0x300u);
  KILN_VERSION_INFO info{};
  EXPECT_EQ(Kiln().getVersionInfo(client.Handle(), &info), 0x301u);
  EXPECT_EQ(Kiln().install2(client.Handle(), keystone::kAuthenticationAppletId, "/x"), 0x1004u);
  EXPECT_EQ(Kiln().uninstall(client.Handle(), keystone::kAuthenticationAppletId), 0x1004u);
  KILN_SESSION_HANDLE session = client.Session();
  EXPECT_EQ(Kiln().closeSession(client.Handle(), &session), 0x300u);
  EXPECT_EQ(Kiln().deinit(client.Handle()), 0x300u);
  // The failed calls changed nothing: the session still answers.
  Bytes reply;
  EXPECT_EQ(client.Exchange(0, MakeRequest(0xABBA0065).Serialize(), reply), 0u);
}

}  // namespace
}  // namespace kilnsim::testing
