#include "applet/applet_message.h"

#include <gtest/gtest.h>

#include <thread>
#include <typeinfo>

#include "common/exceptions.h"
#include "tests/applet/applet_test_support.h"

namespace mfab {
namespace {

using std::chrono::milliseconds;

TEST(AppletMessageTest, FailureKindSelectsTheException) {
  // A general failure is a plain exception, not one of the engine's own.
  const std::pair<int32_t, const std::type_info*> cases[] = {
      {1, &typeid(SVNUpgradeException)},
      {2, &typeid(ConnectedStandByException)},
      {0, &typeid(std::runtime_error)}};
  for (const auto& [kind, type] : cases) {
    AppletMessage message({});
    message.SetFailed(std::logic_error("stored text"), kind);
    try {
      message.GetAnswer(milliseconds(0));
      ADD_FAILURE() << "answered";
    } catch (const std::exception& e) {
      EXPECT_EQ(typeid(e), *type) << kind;
      EXPECT_STREQ(e.what(), "stored text");
    }
  }
}

// The answer of another thread wakes the waiter and stays for every reader.
TEST(AppletMessageTest, WaiterWakesWhenAnotherThreadAnswersAndNoAnswerTimesOut) {
  auto message = std::make_shared<AppletMessage>(Bytes{});
  std::thread sender([message] {
    std::this_thread::sleep_for(milliseconds(20));
    message->SetAnswer({42});
  });
  EXPECT_EQ(message->GetAnswer(milliseconds(10'000)), Bytes{42});
  sender.join();
  EXPECT_EQ(message->GetAnswer(milliseconds(0)), Bytes{42});

  AppletMessage unanswered({});
  EXPECT_EQ(keystone::testing::ThrownText<std::runtime_error>(
                [&] { unanswered.GetAnswer(milliseconds(5)); }),
            "waiting for applet message to complete has timed out");
}

}  // namespace
}  // namespace mfab
