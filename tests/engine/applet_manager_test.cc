#include "engine/applet_manager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>

#include "applet/kiln_exceptions.h"
#include "common/exceptions.h"
#include "engine/system_power_state_manager.h"
#include "tests/applet/applet_test_support.h"
#include "tests/fakes/fake_applet_channel.h"
#include "tests/fakes/fake_engine_services.h"
#include "tests/fakes/log_capture.h"
#include "tlv/client_messages.h"
#include "tlv/host_messages.h"
#include "tlv/message_types.h"

namespace mfab {
namespace {

using keystone::testing::EnableEngineLog;
using keystone::testing::ErrorReply;
using keystone::testing::Eventually;
using keystone::testing::FakeApplet;
using keystone::testing::FakeAppletOwnership;
using keystone::testing::FakeAuthenticationState;
using keystone::testing::LogCapture;
using keystone::testing::Reply;
using keystone::testing::SteppingClock;
using namespace std::chrono_literals;

Bytes Request(uint32_t type, Bytes payload = {}, uint32_t sessionId = 11) {
  Message message;
  message.moduleId = 2;
  message.messageType = type;
  message.payload = std::move(payload);
  message.sessionId = sessionId;
  return message.Serialize();
}

Bytes BooleanReply(uint32_t type, int32_t result) {
  BooleanResponse response;
  response.result = result;
  return Reply(type, response.Serialize());
}

class AppletManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    capture = LogCapture::Install();
    EnableEngineLog();
  }
  void TearDown() override {
    manager.reset();
    capture->Uninstall();
  }

  AppletManager& Start(std::chrono::milliseconds activity = 10s) {
    AppletManagerOptions options;
    options.activityTimeout = activity;
    options.pkiClearWait = 10s;
    manager = std::make_shared<AppletManager>(applet->Factory(), owner, auth, power, options);
    return *manager;
  }

  std::shared_ptr<LogCapture> capture;
  std::shared_ptr<FakeApplet> applet = std::make_shared<FakeApplet>();
  FakeAppletOwnership owner;
  std::shared_ptr<FakeAuthenticationState> auth = std::make_shared<FakeAuthenticationState>();
  SteppingClock clock;
  SystemPowerStateManager power{clock};
  std::shared_ptr<AppletManager> manager;
};

TEST_F(AppletManagerTest, SendsEachRequestWithTheContextOfItsType) {
  AppletManager& am = Start();
  applet->SetHandler([](uint32_t, const Bytes&) { return Reply(0xABBA000A); });

  ActionAuthenticateRequest authenticate;
  authenticate.user = "S-1-5-21-1-2-3-1001";
  const Bytes first =
      Request(message_type::kActionAuthenticateRequest, authenticate.Serialize(), 21);
  EXPECT_EQ(am.SendMessageToApplet(first), Reply(0xABBA000A));
  am.SendMessageUsingQueue(Request(message_type::kClientClearData));
  am.SendMessageUsingQueue(Request(0xABBA0007));
  am.SendMessageUsingQueue(Request(0xABBA0099));
  am.SendMessageUsingQueue(Request(message_type::kEnrollFactorRequest, Bytes{0x7B, 0x01}));

  const auto sends = applet->Sends();
  ASSERT_EQ(sends.size(), 5u);
  EXPECT_EQ(sends[0].commandId, 0u);
  EXPECT_EQ(sends[0].request, first);
  EXPECT_EQ(sends[0].context.user, "S-1-5-21-1-2-3-1001");
  EXPECT_EQ(sends[0].context.categories, (DataCategories{0x0101, 0x0201}));
  EXPECT_TRUE(sends[1].context.noPiggyBack);
  EXPECT_TRUE(sends[1].context.categories.empty());
  EXPECT_EQ(sends[2].context.categories, (DataCategories{0x0003}));
  EXPECT_TRUE(sends[3].context.categories.empty());
  // A payload that does not decode still goes to the applet, which answers it with its error.
  EXPECT_TRUE(sends[4].context.user.empty());
  EXPECT_EQ(sends[4].context.categories, (DataCategories{0x0101, 0x0201}));
  EXPECT_TRUE(capture->Has("attemp to send message to applet using queue"));
  EXPECT_TRUE(capture->Has("SendMessage attempt succeeded"));

  // A request that is not a message never reaches the queue.
  EXPECT_THROW(am.SendMessageUsingQueue(Bytes{1, 2, 3}), TlvException);
  EXPECT_EQ(applet->Sends().size(), 5u);
}

TEST_F(AppletManagerTest, ErrorRepliesBecomeTypedExceptionsOnlyForTheEnginesOwnRequests) {
  AppletManager& am = Start();
  uint16_t code = 0;
  applet->SetHandler([&](uint32_t, const Bytes&) { return ErrorReply(code, "applet says no"); });
  auto raised = [&](uint16_t errorCode) -> std::string {
    code = errorCode;
    try {
      am.ExecuteMessageToApplet(Request(0xABBA000B));
    } catch (const TEEException& e) {
      EXPECT_STREQ(e.what(), "applet says no");
      if (dynamic_cast<const FactorNotSupportedException*>(&e)) return "not supported";
      if (dynamic_cast<const AlreadyEnrolledException*>(&e)) return "already enrolled";
      if (dynamic_cast<const CannotEnrollException*>(&e)) return "cannot enroll";
      if (dynamic_cast<const EnrollmentError*>(&e)) return "enrollment error";
      return "applet error";
    }
    return "nothing";
  };
  EXPECT_EQ(raised(0x7F02), "not supported");
  EXPECT_EQ(raised(0x7F07), "already enrolled");
  EXPECT_EQ(raised(0x7F08), "cannot enroll");
  EXPECT_EQ(raised(0x7F09), "enrollment error");
  EXPECT_EQ(raised(0x7F10), "applet error");

  code = applet_error::kAlreadyEnrolled;
  EXPECT_EQ(am.SendMessageToApplet(Request(0xABBA000B)), ErrorReply(code, "applet says no"));
  applet->SetHandler([](uint32_t, const Bytes&) { return Reply(0xABBA000C); });
  EXPECT_EQ(am.ExecuteMessageToApplet(Request(0xABBA000B)), Reply(0xABBA000C));
}

TEST_F(AppletManagerTest, PowerGateRefusesDuringTheSleepWindowAndResumesAfterIt) {
  AppletManager& am = Start();
  power.Sleep();
  try {
    am.SendMessageToApplet(Request(0xABBA0013));
    ADD_FAILURE() << "the gate let a request through";
  } catch (const AppletCurrentlyBusyException& e) {
    EXPECT_STREQ(e.what(), "Wait for S3/S4 resume event has timed out");
  }
  EXPECT_THROW(am.ExecuteMessageToApplet(Request(0xABBA0013)), AppletCurrentlyBusyException);
  // The engine's queue path has no gate.
  EXPECT_NO_THROW(am.SendMessageUsingQueue(Request(0xABBA0013)));
  EXPECT_EQ(applet->Sends().size(), 1u);

  clock.Advance(platform::ToTicks(5s));
  EXPECT_EQ(am.SendMessageToApplet(Request(0xABBA0013)), Request(0xABBA0013));
  EXPECT_EQ(power.CurrentPowerState(), SystemPowerStateManager::kNormal);
}

TEST_F(AppletManagerTest, IdleSpellReleasesEveryPeriodButClearsTheCacheOnce) {
  AppletManager& am = Start(60ms);
  ASSERT_TRUE(Eventually([&] { return owner.Releases().size() >= 3; }));
  EXPECT_EQ(applet->CountCommand(1), 1u);
  for (uint32_t released : owner.Releases()) EXPECT_EQ(released, 0xFFFFFFFFu);
  EXPECT_GE(auth->Errors().size(), 3u);
  for (uint32_t error : auth->Errors()) EXPECT_EQ(error, 0xA000005Au);
  EXPECT_TRUE(capture->Has("Applet wasn't active for APPLET_ACTIVITY_TIMEOUT seconds"));
  EXPECT_EQ(capture->Count("Clearing continuation cache"), 1u);
  const auto clear = applet->Sends().front();
  EXPECT_TRUE(clear.request.empty());
  EXPECT_TRUE(clear.context.user.empty());

  // Traffic re-arms the clear for the next idle spell.
  am.SendMessageUsingQueue(Request(0xABBA0013));
  ASSERT_TRUE(Eventually([&] { return applet->CountCommand(1) == 2; }));
}

TEST_F(AppletManagerTest, RequestQueuedWhileAsleepIsAnsweredAfterResume) {
  AppletManager& am = Start();
  am.HandlePowerSleepEvent();
  EXPECT_FALSE(am.SenderRunningForTesting());
  EXPECT_TRUE(capture->Has("queue activity was stopped"));

  auto answer =
      std::async(std::launch::async, [&] { return am.SendMessageUsingQueue(Request(0xABBA0013)); });
  ASSERT_TRUE(Eventually([&] { return am.QueueLengthForTesting() == 1; }));
  EXPECT_TRUE(applet->Sends().empty());

  am.HandlePowerResumeEvent();
  EXPECT_TRUE(am.SenderRunningForTesting());
  EXPECT_EQ(answer.get(), Request(0xABBA0013));
}

TEST_F(AppletManagerTest, RequestQueuedWhileAsleepTimesOutWithoutResume) {
  AppletManager& am = Start(80ms);
  am.HandlePowerSleepEvent();
  try {
    am.SendMessageUsingQueue(Request(0xABBA0013));
    ADD_FAILURE() << "answered without a sender";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "waiting for applet message to complete has timed out");
  }
  EXPECT_TRUE(applet->Sends().empty());
}

TEST_F(AppletManagerTest, BlockedFlowFailsAtOnceAsConnectedStandby) {
  AppletManager& am = Start();
  owner.flowAllowed = false;
  try {
    am.SendMessageUsingQueue(Request(0xABBA0009, {}, 42));
    ADD_FAILURE() << "a blocked flow reached the applet";
  } catch (const ConnectedStandByException& e) {
    EXPECT_STREQ(e.what(), "not allow to run this flow");
  }
  EXPECT_TRUE(capture->Has("SendMessage rejected sessionId is 42"));
  EXPECT_TRUE(applet->Sends().empty());
}

TEST_F(AppletManagerTest, ExchangeFailuresReachTheCallerByKind) {
  AppletManager& am = Start();
  int failure = 0;
  applet->SetHandler([&](uint32_t, const Bytes& request) -> Bytes {
    switch (failure) {
      case 1:
        throw SVNUpgradeException("upgraded");
      case 2:
        throw KILNCallTimeoutException();
      case 3:
        throw 42;
      default:
        return request;
    }
  });
  failure = 1;
  EXPECT_THROW(am.SendMessageUsingQueue(Request(0xABBA0013)), SVNUpgradeException);
  failure = 2;
  EXPECT_THROW(am.SendMessageUsingQueue(Request(0xABBA0013)), KILNCallTimeoutException);
  failure = 3;
  try {
    am.SendMessageUsingQueue(Request(0xABBA0013));
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(),
                 "Unknown exception occurred while attempting to send the message to the applet");
  }
  // The sender survives every one of them.
  failure = 0;
  EXPECT_EQ(am.SendMessageUsingQueue(Request(0xABBA0013)), Request(0xABBA0013));
}

TEST_F(AppletManagerTest, UnreachableLibraryFailsRequestsAndIsTriedAgain) {
  applet->FailCreations(2);
  AppletManager& am = Start();
  ASSERT_TRUE(am.WaitForFirstChannelAttempt(5s));
  EXPECT_FALSE(am.FwUpgraded());
  try {
    am.SendMessageUsingQueue(Request(0xABBA0013));
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "The applet is not available (KILN_Initialize failed)");
  }
  EXPECT_EQ(am.SendMessageUsingQueue(Request(0xABBA0013)), Request(0xABBA0013));
  EXPECT_EQ(applet->Creations(), 3u);
  EXPECT_TRUE(
      capture->Contains("The applet channel could not be created (KILN_Initialize failed)"));
}

TEST_F(AppletManagerTest, SessionVerificationOpensASessionOnlyWhenNoneIsOpen) {
  AppletManager& am = Start();
  am.RequestSessionVerification();
  ASSERT_TRUE(am.WaitSessionVerified(5s));
  EXPECT_EQ(applet->Opens(), 1u);
  EXPECT_TRUE(capture->Has("Verify open session."));
  am.RequestSessionVerification();
  ASSERT_TRUE(am.WaitSessionVerified(5s));
  EXPECT_EQ(applet->Opens(), 1u);
  EXPECT_FALSE(am.SessionVerificationPending());
}

TEST_F(AppletManagerTest, LockClearsTheOsLoginCacheThenThePlatformCache) {
  AppletManager& am = Start();
  applet->SetHandler([](uint32_t, const Bytes&) { return BooleanReply(0xABBA0077, 1); });
  am.HandleSessionLockEvent();
  ASSERT_TRUE(owner.WaitForEvents(2));

  const Message sent = Message::Parse(applet->Sends().at(0).request);
  EXPECT_EQ(sent.moduleId, 6u);
  EXPECT_EQ(sent.messageType, 0xABBA0076u);
  EXPECT_EQ(sent.category, 1u);
  EXPECT_EQ(sent.sessionId, 0xFFFFFFFFu);
  const TlvIndex payload = ParseTlv(sent.payload);
  EXPECT_EQ(TlvToString(GetTlv(payload, 0x7B02)), "OSLogin");
  EXPECT_TRUE(capture->Has("Failed to clear cache timeout"));
  ASSERT_TRUE(Eventually([&] { return capture->Has("CurrentUserSid (S-1-5-21-1-2-3-1000)"); }));

  // A reply that is not a BooleanResponse is the caller's failure.
  applet->SetHandler([](uint32_t, const Bytes&) { return ErrorReply(0x7F10); });
  EXPECT_THROW(am.HandleSessionLogoffEvent(), TlvException);
}

TEST_F(AppletManagerTest, NewPlatformCacheClearWaitsForThePreviousOne) {
  AppletManager& am = Start();
  applet->SetHandler([](uint32_t, const Bytes&) { return BooleanReply(0xABBA0077, 0); });
  owner.HoldSidLookups(true);
  am.HandleSessionLockEvent();
  ASSERT_TRUE(owner.WaitForEvents(1));

  std::atomic<bool> secondDone{false};
  std::thread second([&] {
    am.HandleSessionLogoffEvent();
    secondDone = true;
  });
  ASSERT_TRUE(applet->WaitForSends(2));
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(secondDone.load());
  EXPECT_EQ(owner.Events(), (std::vector<std::string>{"sid-start"}));

  owner.HoldSidLookups(false);
  second.join();
  ASSERT_TRUE(owner.WaitForEvents(4));
  EXPECT_EQ(owner.Events(),
            (std::vector<std::string>{"sid-start", "sid-end", "sid-start", "sid-end"}));
}

TEST_F(AppletManagerTest, ShutdownFailsWaitingRequestsAndRefusesNewOnes) {
  AppletManager& am = Start();
  am.HandlePowerSleepEvent();
  auto waiting =
      std::async(std::launch::async, [&] { return am.SendMessageUsingQueue(Request(0xABBA0013)); });
  ASSERT_TRUE(Eventually([&] { return am.QueueLengthForTesting() == 1; }));
  am.Shutdown();
  EXPECT_THROW(waiting.get(), std::runtime_error);
  EXPECT_THROW(am.SendMessageUsingQueue(Request(0xABBA0013)), std::runtime_error);
  am.HandlePowerResumeEvent();
  EXPECT_FALSE(am.SenderRunningForTesting());
  EXPECT_TRUE(applet->Sends().empty());
}

}  // namespace
}  // namespace mfab
