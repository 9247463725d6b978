#include "applet/applet_message.h"

#include <gtest/gtest.h>

#include <thread>

#include "common/exceptions.h"

namespace mfab {
namespace {

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
  try {
    message.GetAnswer(milliseconds(5));
    FAIL() << "answered";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "waiting for applet message to complete has timed out");
  }
  EXPECT_THROW(message.GetAnswer(milliseconds(0)), std::runtime_error);
}

TEST(AppletMessageTest, FailureKindSelectsTheException) {
  AppletMessage upgrade({});
  upgrade.SetFailed(std::runtime_error("upgraded"), AppletMessage::kFailureSvnUpgrade);
  try {
    upgrade.GetAnswer(milliseconds(0));
    FAIL();
  } catch (const SVNUpgradeException& e) {
    EXPECT_STREQ(e.what(), "upgraded");
  }

  AppletMessage standby({});
  standby.SetFailed(std::runtime_error("not allow to run this flow"),
                    AppletMessage::kFailureConnectedStandby);
  try {
    standby.GetAnswer(milliseconds(0));
    FAIL();
  } catch (const ConnectedStandByException& e) {
    EXPECT_STREQ(e.what(), "not allow to run this flow");
  }

  for (int32_t kind : {0, 3, -1}) {
    AppletMessage general({});
    general.SetFailed(std::logic_error("broken"), kind);
    try {
      general.GetAnswer(milliseconds(0));
      FAIL();
    } catch (const MfaException&) {
      FAIL() << "kind " << kind << " must not be an engine exception";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "broken");
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
