#include "engine/authentication_state_manager.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "common/status.h"
#include "engine/system_power_state_manager.h"
#include "platform/clock.h"
#include "tests/applet/applet_test_support.h"
#include "tests/fakes/log_capture.h"
#include "tlv/message.h"

namespace mfab {
namespace {

using keystone::testing::Eventually;
using namespace std::chrono_literals;

constexpr char kTimedOut[] =
    "No status update activity for STATUS_UPDATE_ACTIVITY_TIMEOUT seconds.";

AuthenticationStatusData Status(int32_t id, int32_t state, bool active = false) {
  AuthenticationStatusData s;
  s.authenticationId = id;
  s.user = "S-1-5-21-1-2-3-1000";
  s.actionId = "OSLogin";
  s.state = state;
  s.active = active;
  return s;
}

// An applet reply carrying statusItem as its top-level 0x0005 item.
Bytes ReplyWith(const Bytes& statusItem) {
  Bytes out = keystone::testing::Reply(0xABBA000A);
  AppendTlv(out, Message::kTagStatus, statusItem);
  return out;
}

Bytes ReplyWith(const AuthenticationStatusData& s) { return ReplyWith(s.Serialize()); }

AuthenticationStatusData Decode(const Bytes& bytes) {
  AuthenticationStatusData s;
  s.Deserialize(bytes);
  return s;
}

class AuthenticationStateManagerTest : public ::testing::Test {
 protected:
  void Make(std::chrono::milliseconds activityTimeout, bool monitoring = false) {
    manager = std::make_shared<AuthenticationStateManager>(
        *power, AuthenticationStateManager::Options{activityTimeout});
    power->RegisterListener(manager);
    manager->SetMonitoring(monitoring);
  }
  void SetUp() override { Make(10s); }
  void TearDown() override {
    // The power manager joins its listener tasks before the listener goes.
    power.reset();
    manager.reset();
    capture->Uninstall();
  }
  // A running authentication 42 whose first status the client collected.
  void Running() {
    manager->UpdateAuthenticationState(ReplyWith(Status(42, 1)));
    manager->StatusUpdateCompleted();
  }

  std::shared_ptr<keystone::testing::LogCapture> capture = keystone::testing::LogCapture::Install();
  std::unique_ptr<SystemPowerStateManager> power = std::make_unique<SystemPowerStateManager>(
      platform::SystemClock(), SystemPowerStateManager::Options{5s, 20ms});
  std::shared_ptr<AuthenticationStateManager> manager;
};

TEST_F(AuthenticationStateManagerTest, RepliesWithoutAStateChangeNothing) {
  Bytes noState, partial;
  AppendTlvInt(noState, 0x7B47, 5);
  // 0x7B44 present but required fields missing: dropped whole.
  AppendTlvInt(partial, 0x7B44, 1);
  for (const Bytes& reply :
       {keystone::testing::Reply(0xABBA000A), ReplyWith(noState), Bytes{0x00, 0x05, 0x7F},
        ReplyWith(partial)}) {
    manager->UpdateAuthenticationState(reply);
  }
  EXPECT_FALSE(manager->AuthenticationInProgress());
  EXPECT_FALSE(manager->StatusChanged());
  EXPECT_TRUE(manager->GetStatus().empty());
  EXPECT_EQ(manager->CurrentAuthenticationActionId(), 0xFFFFFFFFu);
  EXPECT_TRUE(capture->Contains("Malformed authentication status dropped"));
}

TEST_F(AuthenticationStateManagerTest, EachUpdateMergesIntoTheStatusAsOneChange) {
  AuthenticationStatusData first = Status(42, 1);
  first.errorCode = 0x77;
  manager->UpdateAuthenticationState(ReplyWith(first));
  EXPECT_TRUE(manager->AuthenticationInProgress());
  EXPECT_EQ(manager->CurrentAuthenticationActionId(), 42u);
  EXPECT_TRUE(manager->StatusChanged());
  EXPECT_EQ(Decode(manager->GetStatus()).actionId, "OSLogin");

  manager->StatusUpdateCompleted();
  EXPECT_FALSE(manager->StatusChanged());
  manager->UpdateAuthenticationState(ReplyWith(first));  // same status again
  EXPECT_FALSE(manager->StatusChanged());

  // Without 0x7B4B and 0x7B48 on the wire: the error code stays.
  AuthenticationStatusData next = Status(42, 2);
  Bytes item;
  for (const auto& field : AuthenticationStatusData::Fields()) {
    if (field.tag != 0x7B4B && field.tag != 0x7B48) field.write(next, field, item);
  }
  manager->UpdateAuthenticationState(ReplyWith(item));
  EXPECT_TRUE(manager->StatusChanged());
  const AuthenticationStatusData got = Decode(manager->GetStatus());
  EXPECT_EQ(got.state, 2);
  EXPECT_EQ(got.errorCode, 0x77u);
  EXPECT_EQ(capture->Count("Creating a new authentication status, overriding existing one."), 1u);
}

TEST_F(AuthenticationStateManagerTest, ClientErrorCountsOnlyForTheCurrentAuthentication) {
  manager->SetMonitoring(true);
  Running();
  manager->UpdateAuthenticationErrorState(41, 0x1234);
  EXPECT_FALSE(manager->StatusChanged());
  EXPECT_EQ(Decode(manager->GetStatus()).errorCode, 0u);

  manager->UpdateAuthenticationErrorState(42, 0x1234);
  EXPECT_TRUE(manager->StatusChanged());
  const AuthenticationStatusData got = Decode(manager->GetStatus());
  EXPECT_EQ(got.errorCode, 0x1234u);
  EXPECT_EQ(got.state, 3);
}

// Without monitoring nobody collects an engine error: it changes nothing while no authentication
// runs, and ends the one that does.
TEST_F(AuthenticationStateManagerTest, EngineErrorWithoutMonitoringEndsTheAuthentication) {
  manager->UpdateCurrentAuthenticationErrorState(keystone::kAuthErrorAppletInactive);
  EXPECT_FALSE(manager->StatusChanged());
  Running();
  manager->UpdateCurrentAuthenticationErrorState(keystone::kAuthErrorKilnTimeout);
  EXPECT_FALSE(manager->AuthenticationInProgress());
  EXPECT_TRUE(manager->GetStatus().empty());
}

TEST_F(AuthenticationStateManagerTest, SleepDuringAnAuthenticationReachesTheClient) {
  manager->SetMonitoring(true);
  Running();
  power->Sleep();
  ASSERT_TRUE(Eventually([&] { return manager->StatusChanged(); }));
  const AuthenticationStatusData got = Decode(manager->GetStatus());
  EXPECT_EQ(got.errorCode, keystone::kAuthErrorPowerEvent);
  EXPECT_EQ(got.state, 3);

  // Replies arriving while the sleep is in progress are dropped.
  manager->UpdateAuthenticationState(ReplyWith(Status(42, 1)));
  EXPECT_EQ(Decode(manager->GetStatus()).state, 3);
}

TEST_F(AuthenticationStateManagerTest, PowerEventsWithoutMonitoringClearTheStatus) {
  manager->UpdateAuthenticationState(ReplyWith(Status(42, 1)));
  power->Logoff();
  ASSERT_TRUE(Eventually([&] { return !manager->AuthenticationInProgress(); }));
  manager->UpdateAuthenticationState(ReplyWith(Status(43, 1)));
  power->EnterConnectedStandby();
  ASSERT_TRUE(Eventually([&] { return !manager->AuthenticationInProgress(); }));
}

TEST_F(AuthenticationStateManagerTest, FlaggedStatusLastsOnlyUntilDelivered) {
  manager->UpdateAuthenticationState(ReplyWith(Status(42, 4, /*active=*/true)));
  EXPECT_FALSE(manager->AuthenticationInProgress());

  manager->SetMonitoring(true);
  manager->UpdateAuthenticationState(ReplyWith(Status(43, 4, true)));
  EXPECT_TRUE(manager->AuthenticationInProgress());
  EXPECT_TRUE(Decode(manager->GetStatus()).active);
  manager->StatusUpdateCompleted();
  EXPECT_FALSE(manager->AuthenticationInProgress());
  EXPECT_FALSE(manager->MonitorRunningForTesting());
}

TEST_F(AuthenticationStateManagerTest, UnservedChangeTimesOutEndingOnlyAFlaggedAuthentication) {
  for (const bool flagged : {true, false}) {
    SCOPED_TRACE(flagged);
    capture->Clear();
    Make(30ms, true);
    manager->UpdateAuthenticationState(ReplyWith(Status(42, flagged ? 4 : 1, flagged)));
    ASSERT_TRUE(Eventually([&] { return capture->Has(kTimedOut); }));
    ASSERT_TRUE(Eventually([&] { return !manager->MonitorRunningForTesting(); }));
    EXPECT_EQ(manager->AuthenticationInProgress(), !flagged);
    EXPECT_TRUE(manager->StatusChanged());
  }
}

TEST_F(AuthenticationStateManagerTest, OneMonitorPerCollectedChangeJoinedOnStop) {
  manager->SetMonitoring(true);
  manager->UpdateAuthenticationState(ReplyWith(Status(42, 1)));
  EXPECT_TRUE(manager->MonitorRunningForTesting());
  // A second change before the client collected the first: the same monitor goes on.
  manager->UpdateAuthenticationState(ReplyWith(Status(42, 2)));
  manager->StatusUpdateCompleted();
  ASSERT_TRUE(Eventually([&] { return capture->Count("Status updated") == 1; }));

  manager->UpdateAuthenticationState(ReplyWith(Status(42, 3)));
  EXPECT_TRUE(manager->MonitorRunningForTesting());
  manager->StatusUpdateCompleted();
  ASSERT_TRUE(Eventually([&] { return capture->Count("Status updated") == 2; }));
  EXPECT_TRUE(manager->AuthenticationInProgress());

  // StopMonitor and destruction join a running monitor without its activity time-out.
  manager->UpdateAuthenticationState(ReplyWith(Status(42, 1)));
  ASSERT_TRUE(manager->MonitorRunningForTesting());
  const auto started = std::chrono::steady_clock::now();
  manager->StopMonitor();
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
  EXPECT_FALSE(manager->MonitorRunningForTesting());
  EXPECT_TRUE(manager->AuthenticationInProgress());
  manager->StatusUpdateCompleted();
  manager->UpdateAuthenticationState(ReplyWith(Status(42, 2)));
  ASSERT_TRUE(manager->MonitorRunningForTesting());
  power.reset();
  manager.reset();
  EXPECT_EQ(capture->Count("Monitor killed"), 2u);
}

// Replies, collections, errors and power events from many threads at once, with a monitor that
// times out constantly: nothing deadlocks and every call returns.
TEST_F(AuthenticationStateManagerTest, ConcurrentUseEndsCleanly) {
  Make(1ms);
  const std::function<void(int, int)> calls[] = {
      [&](int t, int i) {
        manager->SetMonitoring(i % 2 == 0);
        manager->UpdateAuthenticationState(ReplyWith(Status(t, i % 4, i % 3 == 0)));
      },
      [&](int, int) { manager->StatusUpdateCompleted(); },
      [&](int, int) { (void)manager->GetStatus(); },
      [&](int t, int) { manager->UpdateAuthenticationErrorState(t, 0x55); },
      [&](int, int) { manager->UpdateCurrentAuthenticationErrorState(0x301); }};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) calls[(i + t) % 5](t, i);
    });
  }
  power->Logoff();
  for (std::thread& thread : threads) thread.join();
  manager->StopAuthentication();
  EXPECT_FALSE(manager->AuthenticationInProgress());
  EXPECT_TRUE(Eventually([&] { return !manager->MonitorRunningForTesting(); }));
}

}  // namespace
}  // namespace mfab
