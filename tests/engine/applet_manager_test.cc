#include "engine/applet_manager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <typeindex>
#include <typeinfo>
#include <vector>

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

using keystone::testing::ErrorReply;
using keystone::testing::Eventually;
using keystone::testing::Reply;
using keystone::testing::ThrownText;
using namespace std::chrono_literals;

class AppletManagerTest : public ::testing::Test {
 protected:
  void SetUp() override { keystone::testing::EnableEngineLog(); }
  void TearDown() override {
    manager.reset();
    capture->Uninstall();
  }
  AppletManager& Start(const AppletManagerOptions& options = {10s, 10s}) {
    manager = std::make_shared<AppletManager>(applet->Factory(), owner, auth, power, options);
    return *manager;
  }

  std::shared_ptr<keystone::testing::LogCapture> capture = keystone::testing::LogCapture::Install();
  std::shared_ptr<keystone::testing::FakeApplet> applet =
      std::make_shared<keystone::testing::FakeApplet>();
  keystone::testing::FakeAppletOwnership owner;
  std::shared_ptr<keystone::testing::FakeAuthenticationState> auth =
      std::make_shared<keystone::testing::FakeAuthenticationState>();
  keystone::testing::SteppingClock clock;
  SystemPowerStateManager power{clock};
  std::shared_ptr<AppletManager> manager;
  const Bytes plain = Reply(0xABBA0013);
};

TEST_F(AppletManagerTest, SendsEachRequestWithTheContextOfItsType) {
  AppletManager& am = Start();
  ActionAuthenticateRequest authenticate;
  authenticate.user = "S-1-5-21-1-2-3-1001";
  const Bytes first = Reply(message_type::kActionAuthenticateRequest, authenticate.Serialize());
  EXPECT_EQ(am.SendMessageToApplet(first), first);
  am.SendMessageUsingQueue(Reply(message_type::kClientClearData));
  am.SendMessageUsingQueue(Reply(0xABBA0007));
  am.SendMessageUsingQueue(Reply(0xABBA0099));
  am.SendMessageUsingQueue(Reply(message_type::kEnrollFactorRequest, Bytes{0x7B, 0x01}));

  const auto sends = applet->Sends();
  ASSERT_EQ(sends.size(), 5u);
  EXPECT_EQ(sends[0].commandId, 0u);
  EXPECT_EQ(sends[0].context.user, "S-1-5-21-1-2-3-1001");
  EXPECT_EQ(sends[0].context.categories, (DataCategories{0x0101, 0x0201}));
  EXPECT_TRUE(sends[1].context.noPiggyBack);
  EXPECT_TRUE(sends[1].context.categories.empty());
  EXPECT_EQ(sends[2].context.categories, (DataCategories{0x0003}));
  EXPECT_TRUE(sends[3].context.categories.empty());
  // A payload that does not decode still goes to the applet, which answers it with its error.
  EXPECT_TRUE(sends[4].context.user.empty());
  EXPECT_EQ(sends[4].context.categories, (DataCategories{0x0101, 0x0201}));
  // A request that is not a message never reaches the queue.
  EXPECT_THROW(am.SendMessageUsingQueue(Bytes{1, 2, 3}), TlvException);
  EXPECT_EQ(applet->Sends().size(), 5u);
}

TEST_F(AppletManagerTest, ErrorRepliesBecomeTypedExceptionsOnlyForTheEnginesOwnRequests) {
  AppletManager& am = Start();
  uint16_t code = 0;
  applet->SetHandler([&](uint32_t, const Bytes&) { return ErrorReply(code, "applet says no"); });
  const std::pair<uint16_t, std::type_index> cases[] = {
      {0x7F02, typeid(FactorNotSupportedException)},
      {0x7F07, typeid(AlreadyEnrolledException)},
      {0x7F08, typeid(CannotEnrollException)},
      {0x7F09, typeid(EnrollmentError)},
      {0x7F10, typeid(TEEException)}};
  for (const auto& [errorCode, type] : cases) {
    code = errorCode;
    try {
      am.ExecuteMessageToApplet(plain);
      ADD_FAILURE() << errorCode;
    } catch (const TEEException& e) {
      EXPECT_EQ(std::type_index(typeid(e)), type) << errorCode;
      EXPECT_STREQ(e.what(), "applet says no");
    }
  }
  EXPECT_EQ(am.SendMessageToApplet(plain), ErrorReply(code, "applet says no"));
  applet->SetHandler([](uint32_t, const Bytes& request) { return request; });
  EXPECT_EQ(am.ExecuteMessageToApplet(plain), plain);
}

// The window's end is the power-state manager's business (and seen end to end).
TEST_F(AppletManagerTest, RefusedRequestsNeverReachTheApplet) {
  AppletManager& am = Start();
  power.Sleep();
  EXPECT_EQ(ThrownText<AppletCurrentlyBusyException>([&] { am.SendMessageToApplet(plain); }),
            "Wait for S3/S4 resume event has timed out");
  EXPECT_THROW(am.ExecuteMessageToApplet(plain), AppletCurrentlyBusyException);
  // The engine's queue path has no gate.
  EXPECT_EQ(am.SendMessageUsingQueue(plain), plain);
  EXPECT_EQ(applet->Sends().size(), 1u);

  // A flow the arbitration blocks fails at once.
  owner.flowAllowed = false;
  EXPECT_EQ(ThrownText<ConnectedStandByException>(
                [&] { am.SendMessageUsingQueue(Reply(0xABBA0009)); }),
            "not allow to run this flow");
  EXPECT_TRUE(capture->Has("SendMessage rejected sessionId is 7"));
  EXPECT_EQ(applet->Sends().size(), 1u);
}

TEST_F(AppletManagerTest, IdleSpellReleasesEveryPeriodButClearsTheCacheOnce) {
  AppletManager& am = Start({60ms, 10s});
  ASSERT_TRUE(Eventually([&] { return owner.Releases().size() >= 3; }));
  EXPECT_EQ(applet->CountCommand(1), 1u);
  for (uint32_t released : owner.Releases()) EXPECT_EQ(released, 0xFFFFFFFFu);
  EXPECT_GE(auth->Errors().size(), 3u);
  for (uint32_t error : auth->Errors()) EXPECT_EQ(error, 0xA000005Au);
  EXPECT_TRUE(capture->Has("Applet wasn't active for APPLET_ACTIVITY_TIMEOUT seconds"));
  EXPECT_EQ(capture->Count("Clearing continuation cache"), 1u);
  EXPECT_TRUE(applet->Sends().front().request.empty());
  // Traffic re-arms the clear for the next idle spell.
  am.SendMessageUsingQueue(plain);
  ASSERT_TRUE(Eventually([&] { return applet->CountCommand(1) == 2; }));
}

// An idle manager lets the caller send on its own thread, which saves two thread switches.
TEST_F(AppletManagerTest, IdleManagerSendsOnTheCallersThread) {
  AppletManager& am = Start();
  std::thread::id sentOn;
  applet->SetHandler([&](uint32_t, const Bytes& request) {
    sentOn = std::this_thread::get_id();
    return request;
  });
  // The queue thread parks once it has made the channel.
  EXPECT_TRUE(Eventually([&] {
    EXPECT_EQ(am.SendMessageUsingQueue(plain), plain);
    return sentOn == std::this_thread::get_id();
  }));
}

// Whoever sends (a caller on its own thread or the queue thread), the applet sees one request at
// a time, in arrival order.
TEST_F(AppletManagerTest, RequestsReachTheAppletOneAtATimeInArrivalOrder) {
  AppletManager& am = Start();
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<int> inside{0};
  std::atomic<int> mostInside{0};
  applet->SetHandler([&](uint32_t, const Bytes& request) {
    const int now = ++inside;
    mostInside = std::max(mostInside.load(), now);
    if (request == Reply(0xABBA0001)) released.wait_for(10s);
    --inside;
    return request;
  });
  ASSERT_TRUE(Eventually([&] { return applet->Creations() == 1; }));
  std::vector<std::future<Bytes>> answers;
  answers.push_back(std::async(std::launch::async,
                               [&] { return am.SendMessageUsingQueue(Reply(0xABBA0001)); }));
  ASSERT_TRUE(applet->WaitForSends(1));
  for (uint32_t type = 0xABBA0002; type <= 0xABBA0005; ++type) {
    answers.push_back(std::async(std::launch::async,
                                 [&am, type] { return am.SendMessageUsingQueue(Reply(type)); }));
    ASSERT_TRUE(Eventually([&] { return am.QueueLengthForTesting() == type - 0xABBA0001; }));
  }
  EXPECT_EQ(applet->Sends().size(), 1u) << "nothing passes the request in flight";
  release.set_value();
  for (uint32_t i = 0; i < answers.size(); ++i) {
    EXPECT_EQ(answers[i].get(), Reply(0xABBA0001 + i));
    EXPECT_EQ(applet->Sends()[i].request, Reply(0xABBA0001 + i));
  }
  EXPECT_EQ(mostInside.load(), 1);
}

// Resume sends a held request; shutdown or the activity time-out fails it.
TEST_F(AppletManagerTest, RequestQueuedWhileAsleepIsHeld) {
  AppletManager& am = Start();
  auto queueOne = [&] {
    auto answer = std::async(std::launch::async, [&] { return am.SendMessageUsingQueue(plain); });
    EXPECT_TRUE(Eventually([&] { return am.QueueLengthForTesting() == 1; }));
    return answer;
  };
  am.HandlePowerSleepEvent();
  EXPECT_FALSE(am.SenderRunningForTesting());
  auto answered = queueOne();
  EXPECT_TRUE(applet->Sends().empty());
  am.HandlePowerResumeEvent();
  EXPECT_EQ(answered.get(), plain);

  am.HandlePowerSleepEvent();
  auto failed = queueOne();
  am.Shutdown();
  EXPECT_THROW(failed.get(), std::runtime_error);
  EXPECT_THROW(am.SendMessageUsingQueue(plain), std::runtime_error);
  am.HandlePowerResumeEvent();
  EXPECT_FALSE(am.SenderRunningForTesting());
  EXPECT_EQ(applet->Sends().size(), 1u);

  // Without a resume the wait ends after the activity time-out.
  Start({80ms, 10s}).HandlePowerSleepEvent();
  EXPECT_EQ(ThrownText<std::runtime_error>([&] { manager->SendMessageUsingQueue(plain); }),
            "waiting for applet message to complete has timed out");
  EXPECT_EQ(applet->Sends().size(), 1u);
}

TEST_F(AppletManagerTest, ExchangeFailuresReachTheCallerByKind) {
  AppletManager& am = Start();
  int failure = 0;
  applet->SetHandler([&](uint32_t, const Bytes& request) -> Bytes {
    if (failure == 1) throw SVNUpgradeException("upgraded");
    if (failure == 2) throw 42;
    return request;
  });
  failure = 1;
  EXPECT_THROW(am.SendMessageUsingQueue(plain), SVNUpgradeException);
  failure = 2;
  EXPECT_EQ(ThrownText<std::runtime_error>([&] { am.SendMessageUsingQueue(plain); }),
            "Unknown exception occurred while attempting to send the message to the applet");
  failure = 0;
  EXPECT_EQ(am.SendMessageUsingQueue(plain), plain);
}

TEST_F(AppletManagerTest, UnreachableLibraryFailsOnlyTheRequestThatMetIt) {
  applet->FailCreations(2);
  AppletManager& am = Start();
  ASSERT_TRUE(am.WaitForFirstChannelAttempt(5s));
  EXPECT_FALSE(am.FwUpgraded());
  EXPECT_EQ(ThrownText<std::runtime_error>([&] { am.SendMessageUsingQueue(plain); }),
            "The applet is not available (KILN_Initialize failed)");
  EXPECT_EQ(am.SendMessageUsingQueue(plain), plain);
  EXPECT_EQ(applet->Creations(), 3u);
  EXPECT_TRUE(
      capture->Contains("The applet channel could not be created (KILN_Initialize failed)"));
}

// Nobody has to send a request for a broken channel to heal.
TEST_F(AppletManagerTest, BrokenChannelRecoversInTheBackgroundWithDoublingPauses) {
  applet->BreakChannels(3);
  Start({10s, 10s, 5ms, 20ms});  // recovery after 5 ms, pauses doubling up to 20 ms
  ASSERT_TRUE(Eventually([&] { return capture->Has("The applet channel recovered"); }));
  EXPECT_EQ(applet->Recoveries(), 4u);
  EXPECT_TRUE(capture->Has("The applet channel is broken; recovering it in 5 ms"));
  const std::string failed = "Recovering the applet channel failed (KILN_Initialize failed); ";
  EXPECT_EQ(capture->Count(failed + "next attempt in 10 ms"), 1u);
  EXPECT_EQ(capture->Count(failed + "next attempt in 20 ms"), 2u);
  EXPECT_TRUE(applet->Sends().empty());
  EXPECT_EQ(manager->SendMessageUsingQueue(plain), plain);
}

TEST_F(AppletManagerTest, SessionVerificationOpensASessionOnlyWhenNoneIsOpen) {
  AppletManager& am = Start();
  for (int round = 0; round < 2; ++round) {
    am.RequestSessionVerification();
    ASSERT_TRUE(am.WaitSessionVerified(5s));
    EXPECT_EQ(applet->Opens(), 1u);
  }
  EXPECT_FALSE(am.SessionVerificationPending());
}

// Lock and logoff clear the OSLogin cache, then the platform cache, one clear at a time.
TEST_F(AppletManagerTest, PlatformCacheClearWaitsForThePreviousOne) {
  AppletManager& am = Start();
  applet->SetHandler([](uint32_t, const Bytes&) {
    BooleanResponse failed;
    failed.result = 1;
    return Reply(0xABBA0077, failed.Serialize());
  });
  owner.HoldSidLookups(true);
  am.HandleSessionLockEvent();
  ASSERT_TRUE(owner.WaitForEvents(1));

  // The second clear starts only once the first has ended: the lookups do not overlap.
  std::thread second([&] { am.HandleSessionLogoffEvent(); });
  // Logged (the applet answered 1) just before the second clear waits for the first.
  ASSERT_TRUE(Eventually([&] { return capture->Count("Failed to clear cache timeout") == 2; }));
  owner.HoldSidLookups(false);
  second.join();
  ASSERT_TRUE(owner.WaitForEvents(4));
  EXPECT_EQ(owner.Events(),
            (std::vector<std::string>{"sid-start", "sid-end", "sid-start", "sid-end"}));
  ASSERT_TRUE(Eventually([&] { return capture->Has("CurrentUserSid (S-1-5-21-1-2-3-1000)"); }));

  const Message sent = Message::Parse(applet->Sends().at(0).request);
  EXPECT_EQ(sent.moduleId, 6u);
  EXPECT_EQ(sent.messageType, 0xABBA0076u);
  EXPECT_EQ(sent.category, 1u);
  EXPECT_EQ(sent.sessionId, 0xFFFFFFFFu);
  EXPECT_EQ(TlvToString(GetTlv(ParseTlv(sent.payload), 0x7B02)), "OSLogin");
  // A reply that is not a BooleanResponse is the caller's failure.
  applet->SetHandler([](uint32_t, const Bytes&) { return ErrorReply(0x7F10); });
  EXPECT_THROW(am.HandleSessionLogoffEvent(), TlvException);
}

}  // namespace
}  // namespace mfab
