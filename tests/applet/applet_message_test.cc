#include "applet/applet_message.h"

#include <gtest/gtest.h>

#include <thread>
#include <typeinfo>

#include "common/exceptions.h"
#include "tests/applet/applet_test_support.h"

namespace mfab {
namespace {

using keystone::testing::ThrownText;
using std::chrono::milliseconds;

TEST(AppletMessageTest, AnsweredMessageReturnsAtOnceEvenWithoutWaiting) {
  AppletMessage message({1, 2}, {}, 5);
  message.SetAnswer({7, 8});
  EXPECT_EQ(message.GetAnswer(milliseconds(0)), (Bytes{7, 8}));
  // The answer stays for a second reader.
  EXPECT_EQ(message.GetAnswer(milliseconds(0)), (Bytes{7, 8}));
  EXPECT_EQ(message.SessionId(), 5u);
  EXPECT_EQ(message.Request(), (Bytes{1, 2}));
}

TEST(AppletMessageTest, EmptyAnswerIsAnAnswer) {
  AppletMessage message({});
  message.SetAnswer({});
  EXPECT_TRUE(message.GetAnswer(milliseconds(10)).empty());
}

TEST(AppletMessageTest, NoAnswerTimesOut) {
  AppletMessage message({});
  EXPECT_EQ(ThrownText<std::runtime_error>([&] { message.GetAnswer(milliseconds(5)); }),
            "waiting for applet message to complete has timed out");
  EXPECT_THROW(message.GetAnswer(milliseconds(0)), std::runtime_error);
}

TEST(AppletMessageTest, FailureKindSelectsTheException) {
  auto failedWith = [](int32_t kind) {
    auto message = std::make_shared<AppletMessage>(Bytes{});
    message->SetFailed(std::logic_error("stored text"), kind);
    return message;
  };
  EXPECT_EQ(ThrownText<SVNUpgradeException>([&] { failedWith(1)->GetAnswer(milliseconds(0)); }),
            "stored text");
  EXPECT_EQ(
      ThrownText<ConnectedStandByException>([&] { failedWith(2)->GetAnswer(milliseconds(0)); }),
      "stored text");
  for (int32_t kind : {0, 3, -1}) {
    // A general failure is a plain exception, not one of the engine's own.
    try {
      failedWith(kind)->GetAnswer(milliseconds(0));
      ADD_FAILURE() << "answered";
    } catch (const std::exception& e) {
      EXPECT_EQ(typeid(e), typeid(std::runtime_error)) << kind;
      EXPECT_STREQ(e.what(), "stored text");
    }
  }
}

TEST(AppletMessageTest, WaiterWakesWhenAnotherThreadAnswers) {
  auto message = std::make_shared<AppletMessage>(Bytes{});
  std::thread sender([message] {
    std::this_thread::sleep_for(milliseconds(20));
    message->SetAnswer({42});
  });
  EXPECT_EQ(message->GetAnswer(milliseconds(10'000)), Bytes{42});
  sender.join();
}

}  // namespace
}  // namespace mfab
