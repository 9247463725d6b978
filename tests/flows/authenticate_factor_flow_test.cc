#include "flows/authenticate_factor_flow.h"

#include <gtest/gtest.h>

#include <functional>

#include "tests/flows/flows_test_support.h"
#include "tlv/client_messages.h"

namespace mfab::testing {
namespace {

using keystone::testing::FactorBehaviour;

constexpr uint32_t kAppletSession = 77;
constexpr uint32_t kRequestModule = 21;

Message FactorRequest(const std::string& factorId, bool withUser = true) {
  Message request;
  request.moduleId = kRequestModule;
  request.messageType = message_type::kFactorResultRequest;
  request.sessionId = kAppletSession;
  if (withUser) {
    AuthenticateFlows::AuthenticateFactorRequest payload;
    payload.factorId = factorId;
    payload.user = kSid;
    request.payload = payload.Serialize();
  } else {
    AppendTlv(request.payload, 0x7B04, factorId);
  }
  return request;
}

// The BooleanResponse value of an answer, after checking the answer's envelope.
int32_t AnswerValue(const Bytes& bytes) {
  const Message answer = Message::Parse(bytes);
  EXPECT_EQ(answer.moduleId, kRequestModule);
  EXPECT_EQ(answer.messageType, message_type::kFactorResultResponse);
  EXPECT_EQ(answer.category, 0u);
  EXPECT_EQ(answer.sessionId, kAppletSession);
  BooleanResponse value;
  value.Deserialize(answer.payload);
  return value.result;
}

class AuthenticateFactorFlowTest : public FlowsTest {
 protected:
  FlowWorld w;
};

TEST_F(AuthenticateFactorFlowTest, AnswerSaysWhetherTheFactorAuthenticatedTheUser) {
  const struct {
    const char* name;
    std::function<void(FlowWorld&)> arrange;
    const char* factorId;
    int32_t value;
  } cases[] = {
      {"authenticated", [](auto&) {}, kFactor, 0},
      {"unknown factor", [](auto&) {}, "NoSuchCard", 1},
      {"factor not in the mirrored policy", [](auto& t) { t.MirrorPolicy({"Other"}); }, kFactor, 1},
      {"factor refuses", [](auto& t) { t.script.behaviour = FactorBehaviour::kEndWithCode; },
       kFactor, 1},
      {"factor throws", [](auto& t) { t.script.behaviour = FactorBehaviour::kThrow; }, kFactor, 1},
      {"factor times out", [](auto& t) {
         t.ShortFactorLimits();
         t.script.behaviour = FactorBehaviour::kHang;
       }, kFactor,
       1},
      {"factor does not start", [](auto& t) { t.script.behaviour = FactorBehaviour::kNotStart; },
       kFactor, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FlowWorld world;
    c.arrange(world);
    Bytes answer;
    ASSERT_EQ(world.runner->RunFactorFlow(FactorRequest(c.factorId), 42, 5s, answer), 0);
    EXPECT_EQ(AnswerValue(answer), c.value);
  }
  EXPECT_TRUE(capture->Has(
      "Run flow: AuthenticateFlows::AuthenticateFactorFlow MfaException Factor timed out "));
}

TEST_F(AuthenticateFactorFlowTest, FlowPastTheLimitAnswersTimedOut) {
  w.runner = w.Limits({10s, 10s, 10s, 10s});
  w.script.behaviour = FactorBehaviour::kHang;
  Bytes answer;
  EXPECT_EQ(w.runner->RunFactorFlow(FactorRequest(kFactor), 42, 20ms, answer), 1);
  EXPECT_TRUE(answer.empty());
  // The factor's flow was stopped with it, not left waiting for its own limit.
  EXPECT_FALSE(capture->Contains("Testing::TestFactorFlow timed out"));
}

TEST_F(AuthenticateFactorFlowTest, RequestWithoutItsUserDoesNotStart) {
  Bytes answer;
  EXPECT_EQ(w.runner->RunFactorFlow(FactorRequest(kFactor, false), 42, 5s, answer), 2);
  EXPECT_EQ(w.script.flowsMade, 0);
}

}  // namespace
}  // namespace mfab::testing
