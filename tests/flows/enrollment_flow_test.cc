#include "flows/enrollment_flow.h"

#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <stdexcept>

#include "common/status.h"
#include "tests/fakes/eventually.h"
#include "tests/flows/flows_test_support.h"
#include "tlv/client_messages.h"

namespace mfab::testing {
namespace {

using keystone::testing::FactorBehaviour;
namespace st = keystone;

class EnrollmentFlowTest : public FlowsTest {
 protected:
  FlowWorld w;
};

TEST_F(EnrollmentFlowTest, EachOutcomeGivesItsStatus) {
  const auto refuse = [] { return BooleanReply(message_type::kSaveEnrollmentDataResponse, 1); };
  const auto otherType = [] { return BooleanReply(message_type::kSaveResponse, 0); };
  const auto appletSaysEnrolled = []() -> Bytes { throw AlreadyEnrolledException("enrolled"); };
  const auto channelFails = []() -> Bytes { throw std::runtime_error("no applet"); };
  const struct {
    const char* name;
    std::function<void(FlowWorld&)> arrange;
    const char* factorId;
    uint32_t status;
    size_t appletRequests;
  } cases[] = {
      {"success", [](auto&) {}, kFactor, st::kStatusSuccess, 1},
      {"factor not registered",
       [](auto& t) {
         t.MirrorPolicy({kFactor, "Other"});
       },
       "Other", st::kStatusInvalidParameter, 0},
      {"factor not in the mirrored policy", [](auto& t) { t.MirrorPolicy({"Other"}); }, kFactor,
       st::kStatusInvalidParameter, 0},
      {"factor unsupported", [](auto& t) { t.script.supported = false; }, kFactor,
       st::kStatusFactorNotSupported, 0},
      {"factor already enrolled", [](auto& t) { t.MirrorPolicy({kFactor}, {kFactor}); }, kFactor,
       st::kStatusAlreadyEnrolled, 0},
      {"factor ends with its code",
       [](auto& t) { t.script.behaviour = FactorBehaviour::kEndWithCode; }, kFactor, 0x1234, 0},
      {"factor times out", [](auto& t) {
         t.ShortFactorLimits();
         t.script.behaviour = FactorBehaviour::kHang;
       }, kFactor,
       st::kStatusEnrollmentError, 0},
      {"factor does not start", [](auto& t) { t.script.behaviour = FactorBehaviour::kNotStart; },
       kFactor, st::kStatusGeneralFailure, 0},
      {"store refused", [=](auto& t) { t.host.Answer(refuse); }, kFactor,
       st::kStatusEnrollmentError, 1},
      {"store answered with another type", [=](auto& t) { t.host.Answer(otherType); }, kFactor,
       st::kStatusGeneralFailure, 1},
      {"applet error reply", [=](auto& t) { t.host.Answer(appletSaysEnrolled); }, kFactor,
       st::kStatusAlreadyEnrolled, 1},
      {"applet channel fails", [=](auto& t) { t.host.Answer(channelFails); }, kFactor,
       Flows::kResultUnset, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FlowWorld world;
    c.arrange(world);
    EXPECT_EQ(world.Enroll(c.factorId), c.status);
    EXPECT_EQ(world.host.Requests().size(), c.appletRequests);
  }
  EXPECT_TRUE(capture->Has("Enrollment result 1234"));
}

TEST_F(EnrollmentFlowTest, StoreRequestNamesTheEnrollment) {
  ASSERT_EQ(w.Enroll(), st::kStatusSuccess);
  ASSERT_EQ(w.host.Requests().size(), 1u);
  const Message request = w.host.Requests().front();
  EXPECT_EQ(request.moduleId, 13u);
  EXPECT_EQ(request.messageType, message_type::kSaveEnrollmentDataRequest);
  EXPECT_EQ(request.category, 2u);
  EXPECT_EQ(request.sessionId, 31u);
  SaveEnrollmentDataRequest store;
  store.Deserialize(request.payload);
  EXPECT_EQ(store.user, kSid);
  EXPECT_EQ(store.factorId, kFactor);
  EXPECT_TRUE(store.data.empty());
  // The factor's flow belongs to the client's session and process.
  EXPECT_EQ(w.script.lastFlowId, 31u);
  EXPECT_EQ(w.script.lastOwnerId, kUser.pid);
  EXPECT_TRUE(capture->Has("Run step: AuthenticateFlows::EnrollmentFlow::StoreSecureData"));
}

TEST_F(EnrollmentFlowTest, EnrollmentPastItsLimitGivesGeneralFailure) {
  w.runner = w.Limits({50ms, 5s, 5s, 10s});
  w.host.Answer([this] {
    w.script.Hang({});
    return BooleanReply(message_type::kSaveEnrollmentDataResponse, 0);
  });
  auto enrollment = std::async(std::launch::async, [this] { return w.Enroll(); });
  EXPECT_TRUE(keystone::testing::Eventually(
      [&] { return capture->Contains("AuthenticateFlows::EnrollmentFlow timed out"); }));
  // The call answers once the store that was under way has returned.
  w.script.Release();
  EXPECT_EQ(enrollment.get(), st::kStatusGeneralFailure);
}

}  // namespace
}  // namespace mfab::testing
