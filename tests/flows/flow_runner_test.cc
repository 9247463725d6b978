#include "flows/flow_runner.h"

#include <gtest/gtest.h>

#include <future>
#include <string>

#include "common/status.h"
#include "tests/flows/flows_test_support.h"
#include "tlv/client_messages.h"

namespace mfab::testing {
namespace {

using keystone::testing::FactorBehaviour;

class FlowRunnerTest : public FlowsTest {
 protected:
  FlowRunnerTest() {
    // Long enough that only the test ends a hanging factor.
    w.runner = w.Limits({10s, 10s, 10s, 10s});
  }
  // An enrollment of kSid whose factor hangs until released or cancelled; returns once the
  // factor's step runs.
  std::future<uint32_t> HangingEnrollment() {
    w.script.behaviour = FactorBehaviour::kHang;
    auto enrollment = std::async(std::launch::async, [this] { return w.Enroll(); });
    EXPECT_TRUE(w.script.WaitForHangs(1));
    return enrollment;
  }
  Bytes FactorRequest() {
    AuthenticateFlows::AuthenticateFactorRequest payload;
    payload.factorId = kFactor;
    payload.user = kSid;
    Message request;
    request.payload = payload.Serialize();
    return request.Serialize();
  }

  FlowWorld w;
};

TEST_F(FlowRunnerTest, ClientEnrollsOnlyForItsOwnUserUnlessRoot) {
  const struct {
    const char* name;
    keystone::ClientIdentity client;
    const char* user;
    uint32_t status;
  } cases[] = {
      {"own user", kUser, kSid, keystone::kStatusSuccess},
      {"root for another user", kRoot, "S-1-5-21-1-2-3-1001", keystone::kStatusSuccess},
      {"another user", kUser, "S-1-5-21-1-2-3-1001", keystone::kStatusGeneralFailure},
      {"unknown caller", keystone::ClientIdentity{}, kSid, keystone::kStatusGeneralFailure},
      {"root for what is not a SID", kRoot, "alice", keystone::kStatusGeneralFailure},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    w.script.flowsMade = 0;
    EXPECT_EQ(w.Enroll(kFactor, c.client, c.user), c.status);
    EXPECT_EQ(w.script.flowsMade, c.status == keystone::kStatusSuccess ? 1 : 0);
  }
  EXPECT_TRUE(capture->Has("Client of uid 1000 may not enroll user S-1-5-21-1-2-3-1001"));
}

TEST_F(FlowRunnerTest, SecondEnrollmentOfAUserIsRefusedWhileTheFirstRuns) {
  auto first = HangingEnrollment();
  EXPECT_EQ(w.Enroll(), keystone::kStatusGeneralFailure);
  EXPECT_TRUE(capture->Contains("an enrollment for this user is already running"));
  EXPECT_EQ(w.runner->RunningFlowsForTesting(), 1u);
  w.script.Release();
  EXPECT_EQ(first.get(), keystone::kStatusSuccess);
  EXPECT_EQ(w.Enroll(), keystone::kStatusSuccess);
}

TEST_F(FlowRunnerTest, RunningEnrollmentIsAClientFlow) {
  auto enrollment = HangingEnrollment();
  EXPECT_EQ(w.runner->ClientFlows().Find(31),
            (std::vector<Flows::ClientFlowTable::Record>{{31, kUser.pid}}));
  w.script.Release();
  enrollment.get();
  EXPECT_EQ(w.runner->ClientFlows().Size(), 0u);
  EXPECT_EQ(w.runner->RunningFlowsForTesting(), 0u);
}

TEST_F(FlowRunnerTest, CancelEndsOnlyTheFlowsRunningAtTheTime) {
  auto enrollment = HangingEnrollment();
  w.runner->CancelRunningFlows();
  // The factor gave up at the cancel; its result stands and nothing was stored.
  EXPECT_EQ(enrollment.get(), keystone::kStatusGeneralFailure);
  EXPECT_TRUE(w.host.Requests().empty());
  w.script.behaviour = FactorBehaviour::kSucceed;
  EXPECT_EQ(w.Enroll(), keystone::kStatusSuccess);
}

TEST_F(FlowRunnerTest, ShutdownEndsEveryFlowForGood) {
  auto enrollment = HangingEnrollment();
  w.runner->Shutdown();
  EXPECT_EQ(enrollment.get(), keystone::kStatusGeneralFailure);
  w.script.behaviour = FactorBehaviour::kSucceed;
  EXPECT_EQ(w.Enroll(), keystone::kStatusGeneralFailure);
  Bytes answer;
  EXPECT_EQ(w.runner->RunFactorFlow(Message::Parse(FactorRequest()), 1, 5s, answer), 2);
  EXPECT_EQ(w.script.flowsMade, 1);
}

TEST_F(FlowRunnerTest, CancelledFactorAuthenticationAnswersNotAuthenticated) {
  w.script.behaviour = FactorBehaviour::kHang;
  Bytes answer;
  auto authentication = std::async(std::launch::async, [&] {
    return w.runner->RunFactorFlow(Message::Parse(FactorRequest()), 1, 10s, answer);
  });
  ASSERT_TRUE(w.script.WaitForHangs(1));
  w.runner->CancelRunningFlows();
  ASSERT_EQ(authentication.get(), 0);
  BooleanResponse value;
  value.Deserialize(Message::Parse(answer).payload);
  EXPECT_EQ(value.result, 1);
}

}  // namespace
}  // namespace mfab::testing
