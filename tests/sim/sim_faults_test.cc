// Fault injection: the statuses, hangs and broken replies the fault file makes the library
// produce. Function names may carry the KILN_ prefix and any case; '#' starts a comment.

#include <chrono>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/sim/sim_test_support.h"

namespace kilnsim::testing {
namespace {

using SimFaultsTest = SimTest;

TEST_F(SimFaultsTest, StatusSequencesFailCallsWithoutRunningThem) {
  SimClient client;
  state.WriteFile("faults", "# drill\nstatus createsession 0x1004*3 0x201 0  # retry classes\n");
  std::vector<KILN_STATUS> statuses;
  for (int i = 0; i < 6; ++i) statuses.push_back(client.Open(InitData()));
  EXPECT_EQ(statuses, (std::vector<KILN_STATUS>{0x1004, 0x1004, 0x1004, 0x201, 0, 0}));
  // A rewritten file replaces the plan (the engine tests rely on it, rewriting theirs).
  state.WriteFile("faults", "status KILN_SendAndRecv2 0x300*2\n");

  Bytes reply;
  const Bytes request = MakeRequest(0xABBA000D, SamplePolicy()).Serialize();
  EXPECT_EQ(client.Exchange(0, request, reply), 0x300u);
  EXPECT_EQ(client.Exchange(0, request, reply), 0x300u);
  ASSERT_EQ(client.Exchange(0, request, reply), 0u);
  // Only the third attempt reached the applet: it asks for one save, not three.
  EXPECT_EQ(mfab::Message::Parse(reply).messageType, mfab::message_type::kSaveRequest);

  state.WriteFile("faults", "status CloseSession 0x300\nstatus Deinit 0x300\n");
  KILN_SESSION_HANDLE session = client.Session();
  EXPECT_EQ(Kiln().CloseSession(client.Handle(), &session), 0x300u);
  EXPECT_EQ(Kiln().Deinit(client.Handle()), 0x300u);
  // The failed calls changed nothing: the session still answers.
  EXPECT_EQ(client.Exchange(0, MakeRequest(0xABBA0065).Serialize(), reply), 0u);
}

// The plan belongs to the directory, not to a handle: failed initialisations use it up, and the
// handle that finally opens and closes again does not restart it.
TEST_F(SimFaultsTest, CountsRunOnWhenTheLastHandleGoes) {
  state.WriteFile("faults", "status Initialize 0x1004*2 0\n");
  KILN_HANDLE handle = nullptr;
  EXPECT_EQ(Kiln().Initialize(&handle, nullptr, 0), 0x1004u);
  EXPECT_EQ(Kiln().Initialize(&handle, nullptr, 0), 0x1004u);
  ASSERT_EQ(Kiln().Initialize(&handle, nullptr, 0), 0u);
  ASSERT_EQ(Kiln().Deinit(handle), 0u);
  ASSERT_EQ(Kiln().Initialize(&handle, nullptr, 0), 0u);
  EXPECT_EQ(Kiln().Deinit(handle), 0u);
}

// "Fails for a while, then recovers": a step with a duration holds from the first call it meets
// until the duration has passed, however many calls come meanwhile.
TEST_F(SimFaultsTest, TimedStatusStepsHoldForTheirDuration) {
  SimClient client;
  KILN_HANDLE handle = nullptr;
  state.WriteFile("faults", "status Initialize 0x1004*150ms 0x201 0\n");
  const auto start = std::chrono::steady_clock::now();
  const auto limit = start + std::chrono::seconds(10);
  // Each run of equal statuses once, in order.
  std::vector<KILN_STATUS> runs;
  while ((runs.empty() || runs.back() != 0) && std::chrono::steady_clock::now() < limit) {
    const KILN_STATUS status = Kiln().Initialize(&handle, nullptr, 0);
    if (runs.empty() || runs.back() != status) runs.push_back(status);
  }
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
  EXPECT_EQ(runs, (std::vector<KILN_STATUS>{0x1004, 0x201, 0}));
  EXPECT_EQ(Kiln().Deinit(handle), 0u);

  // A duration is for status steps only.
  state.WriteFile("faults", "hang Deinit 10ms*2s\nstatus Deinit 0x300*0ms\n");
  Bytes reply;
  ASSERT_EQ(client.Exchange(0, MakeRequest(0xABBA0065).Serialize(), reply), 0u);
  const std::string log(reply.begin(), reply.end());
  EXPECT_NE(log.find("only status steps take a duration"), std::string::npos);
  EXPECT_NE(log.find("duration must be at least 1 ms"), std::string::npos);
}

TEST_F(SimFaultsTest, ExchangeFaultsActAsTold) {
  SimClient client;
  const Bytes request = MakeRequest(0xABBA0065, {}, 5).Serialize();
  Bytes healthy;
  ASSERT_EQ(client.Exchange(0, request, healthy), 0u);  // the first reply also logs the opening
  ASSERT_EQ(client.Exchange(0, request, healthy), 0u);
  state.WriteFile("faults",
                  "hang SendAndRecv2 150ms\nreply truncate\nreply empty\nreply garbage\n"
                  "reply drop-tag:0x0008\n");
  const auto start = std::chrono::steady_clock::now();
  std::vector<Bytes> replies(5);
  for (Bytes& reply : replies) ASSERT_EQ(client.Exchange(0, request, reply), 0u);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
  EXPECT_EQ(replies[0].size(), healthy.size() / 2);
  EXPECT_TRUE(replies[1].empty());
  EXPECT_EQ(replies[2].size(), healthy.size());
  EXPECT_NE(replies[2], healthy);
  EXPECT_THAT([&] { mfab::Message::Parse(replies[3]); },
              ::testing::ThrowsMessage<mfab::TlvException>(
                  ::testing::StrEq("Requested TLV (0x0008) not found.")));
  EXPECT_EQ(mfab::Message::Parse(replies[4]).sessionId, 5u);  // the faults are used up
}

}  // namespace
}  // namespace kilnsim::testing
