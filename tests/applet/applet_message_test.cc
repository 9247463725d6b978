#include "applet/applet_message.h"

#include <gtest/gtest.h>

#include <thread>

#include "common/exceptions.h"
#include "tests/applet/applet_test_support.h"

namespace mfab {
namespace {

using std::chrono::milliseconds;

// A failure reaches the waiter as it was thrown on the queue thread.
TEST(AppletMessageTest, StoredFailureIsRethrownWithItsType) {
  AppletMessage message({});
  message.SetFailed(std::make_exception_ptr(SVNUpgradeException("stored text")));
  try {
    message.GetAnswer(milliseconds(0));
    ADD_FAILURE() << "answered";
  } catch (const SVNUpgradeException& e) {
    EXPECT_STREQ(e.what(), "stored text");
  }
  // The waiter took it, so the exception dies on the waiter's thread.
  EXPECT_THROW(message.GetAnswer(milliseconds(0)), std::logic_error);
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
