#include "engine/authentication_state_manager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "common/status.h"
#include "engine/system_power_state_manager.h"
#include "platform/clock.h"
#include "tests/fakes/log_capture.h"
#include "tlv/message.h"

namespace mfab {
namespace {

using keystone::testing::LogCapture;
using namespace std::chrono_literals;

constexpr auto kWaitLimit = 10s;

bool WaitUntil(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

AuthenticationStatusData Status(int32_t id, int32_t state, bool active = false) {
  AuthenticationStatusData s;
  s.authenticationId = id;
  s.user = "S-1-5-21-1-2-3-1000";
  s.actionId = "OSLogin";
  s.state = state;
  s.active = active;
  return s;
}

// An applet reply; statusItem, when given, is appended as the top-level 0x0005 item.
Bytes Reply(const Bytes* statusItem) {
  Message m;
  m.moduleId = 1;
  m.messageType = 0xABBA000A;
  m.isResponse = true;
  m.sessionId = 7;
  Bytes out = m.Serialize();
  if (statusItem) AppendTlv(out, Message::kTagStatus, *statusItem);
  return out;
}

Bytes ReplyWith(const AuthenticationStatusData& s) {
  const Bytes item = s.Serialize();
  return Reply(&item);
}

AuthenticationStatusData Decode(const Bytes& bytes) {
  AuthenticationStatusData s;
  s.Deserialize(bytes);
  return s;
}

class AuthenticationStateManagerTest : public ::testing::Test {
 protected:
  void Make(std::chrono::milliseconds activityTimeout) {
    AuthenticationStateManager::Options options;
    options.activityTimeout = activityTimeout;
    manager = std::make_shared<AuthenticationStateManager>(*power, options);
    power->RegisterListener(manager);
  }
  void SetUp() override { Make(10s); }
  void TearDown() override {
    // The power manager joins its listener tasks before the listener goes.
    power.reset();
    manager.reset();
    capture->Uninstall();
  }

  std::shared_ptr<LogCapture> capture = LogCapture::Install();
  std::unique_ptr<SystemPowerStateManager> power = std::make_unique<SystemPowerStateManager>(
      platform::SystemClock(), SystemPowerStateManager::Options{5s, 20ms});
  std::shared_ptr<AuthenticationStateManager> manager;
};

TEST_F(AuthenticationStateManagerTest, RepliesWithoutAStateChangeNothing) {
  manager->UpdateAuthenticationState(Reply(nullptr));
  Bytes noState;
  AppendTlvInt(noState, 0x7B47, 5);
  manager->UpdateAuthenticationState(Reply(&noState));
  manager->UpdateAuthenticationState(Bytes{0x00, 0x05, 0x7F});  // not TLV at all
  // 0x7B44 present but required fields missing: dropped whole.
  Bytes partial;
  AppendTlvInt(partial, 0x7B44, 1);
  manager->UpdateAuthenticationState(Reply(&partial));

  EXPECT_FALSE(manager->AuthenticationInProgress());
  EXPECT_FALSE(manager->StatusChanged());
  EXPECT_TRUE(manager->GetStatus().empty());
  EXPECT_EQ(manager->CurrentAuthenticationActionId(), 0xFFFFFFFFu);
  EXPECT_TRUE(capture->Contains("Malformed authentication status dropped"));
}

TEST_F(AuthenticationStateManagerTest, EachChangeIsReportedOnce) {
  manager->UpdateAuthenticationState(ReplyWith(Status(42, 1)));
  EXPECT_TRUE(capture->Has("Incoming message has a piggyback."));
  EXPECT_TRUE(capture->Has("Creating a new authentication status, overriding existing one."));
  EXPECT_TRUE(manager->AuthenticationInProgress());
  EXPECT_EQ(manager->CurrentAuthenticationActionId(), 42u);
  EXPECT_TRUE(manager->StatusChanged());
  const AuthenticationStatusData got = Decode(manager->GetStatus());
  EXPECT_EQ(got.authenticationId, 42);
  EXPECT_EQ(got.actionId, "OSLogin");
  EXPECT_EQ(got.state, 1);

  manager->StatusUpdateCompleted();
  EXPECT_FALSE(manager->StatusChanged());
  manager->UpdateAuthenticationState(ReplyWith(Status(42, 1)));  // same status again
  EXPECT_FALSE(manager->StatusChanged());
  manager->UpdateAuthenticationState(ReplyWith(Status(42, 2)));
  EXPECT_TRUE(manager->StatusChanged());
  EXPECT_EQ(Decode(manager->GetStatus()).state, 2);
  EXPECT_EQ(capture->Count("Creating a new authentication status, overriding existing one."), 1u);
}

TEST_F(AuthenticationStateManagerTest, OptionalFieldsAbsentKeepTheirValue) {
  AuthenticationStatusData first = Status(9, 1);
  first.errorCode = 0x77;
  manager->UpdateAuthenticationState(ReplyWith(first));
  // Without 0x7B4B and 0x7B48 on the wire: the error code stays.
  AuthenticationStatusData next = Status(9, 2);
  Bytes item;
  for (const auto& field : AuthenticationStatusData::Fields()) {
    if (field.tag == 0x7B4B || field.tag == 0x7B48) continue;
    field.write(next, field, item);
  }
  manager->UpdateAuthenticationState(Reply(&item));
  const AuthenticationStatusData got = Decode(manager->GetStatus());
  EXPECT_EQ(got.state, 2);
  EXPECT_EQ(got.errorCode, 0x77u);
}

TEST_F(AuthenticationStateManagerTest, ClientErrorOnlyForTheCurrentIdentifier) {
  manager->SetMonitoring(true);
  manager->UpdateAuthenticationState(ReplyWith(Status(42, 1)));
  manager->StatusUpdateCompleted();

  manager->UpdateAuthenticationErrorState(41, 0x1234);
  EXPECT_FALSE(manager->StatusChanged());
  EXPECT_EQ(Decode(manager->GetStatus()).errorCode, 0u);
  EXPECT_TRUE(capture->Has("UpdateAuthenticationErrorState before exit 1"));

  manager->UpdateAuthenticationErrorState(42, 0x1234);
  EXPECT_TRUE(manager->StatusChanged());
  const AuthenticationStatusData got = Decode(manager->GetStatus());
  EXPECT_EQ(got.errorCode, 0x1234u);
  EXPECT_EQ(got.state, 3);
  EXPECT_TRUE(capture->Has("UpdateAuthenticationErrorState before exit 2"));
}

TEST_F(AuthenticationStateManagerTest, EngineErrorWithoutMonitoringEndsTheAuthentication) {
  manager->UpdateAuthenticationState(ReplyWith(Status(42, 1)));
  manager->StatusUpdateCompleted();
  manager->UpdateCurrentAuthenticationErrorState(keystone::kAuthErrorKilnTimeout);
  EXPECT_FALSE(manager->AuthenticationInProgress());
  EXPECT_TRUE(manager->GetStatus().empty());
  EXPECT_TRUE(capture->Has("Authentication is cleared."));
}

TEST_F(AuthenticationStateManagerTest, EngineErrorWithNobodyToTellChangesNothing) {
  manager->UpdateCurrentAuthenticationErrorState(keystone::kAuthErrorAppletInactive);
  EXPECT_FALSE(manager->StatusChanged());
  EXPECT_FALSE(manager->AuthenticationInProgress());
}

TEST_F(AuthenticationStateManagerTest, SleepDuringAnAuthenticationReachesTheClient) {
  manager->SetMonitoring(true);
  manager->UpdateAuthenticationState(ReplyWith(Status(42, 1)));
  manager->StatusUpdateCompleted();

  power->Sleep();
  ASSERT_TRUE(WaitUntil([&] { return manager->StatusChanged(); }));
  AuthenticationStatusData got = Decode(manager->GetStatus());
  EXPECT_EQ(got.errorCode, keystone::kAuthErrorPowerEvent);
  EXPECT_EQ(got.state, 3);
  EXPECT_TRUE(capture->Has("HandlePowerSleepEvent"));

  // Replies arriving while the sleep is in progress are dropped.
  manager->UpdateAuthenticationState(ReplyWith(Status(42, 1)));
  EXPECT_TRUE(capture->Has("going to sleep"));
  EXPECT_EQ(Decode(manager->GetStatus()).state, 3);
}

TEST_F(AuthenticationStateManagerTest, LogoffAndStandbyWithoutMonitoringClearTheStatus) {
  manager->UpdateAuthenticationState(ReplyWith(Status(42, 1)));
  power->Logoff();
  ASSERT_TRUE(WaitUntil([&] { return !manager->AuthenticationInProgress(); }));

  manager->UpdateAuthenticationState(ReplyWith(Status(43, 1)));
  power->EnterConnectedStandby();
  ASSERT_TRUE(WaitUntil([&] { return !manager->AuthenticationInProgress(); }));
  EXPECT_TRUE(capture->Has("same as sleep"));
}

TEST_F(AuthenticationStateManagerTest, FinalStatusEndsAtOnceWithoutMonitoring) {
  manager->UpdateAuthenticationState(ReplyWith(Status(42, 4, /*active=*/true)));
  EXPECT_FALSE(manager->AuthenticationInProgress());
  EXPECT_TRUE(capture->Has("StopAuthenticate called before authentication ended."));
}

TEST_F(AuthenticationStateManagerTest, CollectingAFlaggedStatusEndsTheAuthentication) {
  manager->SetMonitoring(true);
  manager->UpdateAuthenticationState(ReplyWith(Status(42, 4, true)));
  EXPECT_TRUE(manager->AuthenticationInProgress());
  EXPECT_EQ(Decode(manager->GetStatus()).active, true);
  manager->StatusUpdateCompleted();
  EXPECT_FALSE(manager->AuthenticationInProgress());
  EXPECT_FALSE(manager->MonitorRunningForTesting());
}

TEST_F(AuthenticationStateManagerTest, UnservedFlaggedChangeEndsAfterTheActivityTimeout) {
  Make(30ms);
  manager->SetMonitoring(true);
  manager->UpdateAuthenticationState(ReplyWith(Status(42, 4, true)));
  ASSERT_TRUE(WaitUntil([&] { return !manager->AuthenticationInProgress(); }));
  EXPECT_TRUE(capture->Has("No status update activity for STATUS_UPDATE_ACTIVITY_TIMEOUT seconds."));
  EXPECT_TRUE(WaitUntil([&] { return !manager->MonitorRunningForTesting(); }));
}

TEST_F(AuthenticationStateManagerTest, UnservedUnflaggedChangeOutlivesTheTimeout) {
  Make(20ms);
  manager->SetMonitoring(true);
  manager->UpdateAuthenticationState(ReplyWith(Status(42, 1)));
  ASSERT_TRUE(WaitUntil([&] {
    return capture->Has("No status update activity for STATUS_UPDATE_ACTIVITY_TIMEOUT seconds.");
  }));
  ASSERT_TRUE(WaitUntil([&] { return !manager->MonitorRunningForTesting(); }));
  EXPECT_TRUE(manager->AuthenticationInProgress());
  EXPECT_TRUE(manager->StatusChanged());
}

TEST_F(AuthenticationStateManagerTest, OneMonitorPerCollectedChange) {
  manager->SetMonitoring(true);
  manager->UpdateAuthenticationState(ReplyWith(Status(42, 1)));
  EXPECT_TRUE(manager->MonitorRunningForTesting());
  // A second change before the client collected the first: the same monitor goes on.
  manager->UpdateAuthenticationState(ReplyWith(Status(42, 2)));
  manager->StatusUpdateCompleted();
  ASSERT_TRUE(WaitUntil([&] { return capture->Count("Status updated") == 1; }));

  manager->UpdateAuthenticationState(ReplyWith(Status(42, 3)));
  EXPECT_TRUE(manager->MonitorRunningForTesting());
  manager->StatusUpdateCompleted();
  ASSERT_TRUE(WaitUntil([&] { return capture->Count("Status updated") == 2; }));
  EXPECT_TRUE(manager->AuthenticationInProgress());
}

TEST_F(AuthenticationStateManagerTest, StopMonitorJoinsTheMonitor) {
  manager->SetMonitoring(true);
  manager->UpdateAuthenticationState(ReplyWith(Status(42, 1)));
  ASSERT_TRUE(manager->MonitorRunningForTesting());
  const auto started = std::chrono::steady_clock::now();
  manager->StopMonitor();
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);  // not the 10 s activity timeout
  EXPECT_FALSE(manager->MonitorRunningForTesting());
  EXPECT_TRUE(capture->Has("Monitor killed"));
  EXPECT_TRUE(manager->AuthenticationInProgress());
}

TEST_F(AuthenticationStateManagerTest, DestructionStopsARunningMonitor) {
  manager->SetMonitoring(true);
  manager->UpdateAuthenticationState(ReplyWith(Status(42, 1)));
  ASSERT_TRUE(manager->MonitorRunningForTesting());
  power.reset();
  manager.reset();
  EXPECT_TRUE(capture->Has("Monitor killed"));
}

// Replies, collections, errors and power events from many threads at once, with a monitor that
// times out constantly: nothing deadlocks and every call returns.
TEST_F(AuthenticationStateManagerTest, ConcurrentUseEndsCleanly) {
  Make(1ms);
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200 && !stop; ++i) {
        switch ((i + t) % 5) {
          case 0:
            manager->SetMonitoring(i % 2 == 0);
            manager->UpdateAuthenticationState(ReplyWith(Status(t, i % 4, i % 3 == 0)));
            break;
          case 1: manager->StatusUpdateCompleted(); break;
          case 2: (void)manager->GetStatus(); break;
          case 3: manager->UpdateAuthenticationErrorState(t, 0x55); break;
          case 4: manager->UpdateCurrentAuthenticationErrorState(0x301); break;
        }
      }
    });
  }
  power->Logoff();
  for (std::thread& thread : threads) thread.join();
  manager->StopAuthentication();
  EXPECT_FALSE(manager->AuthenticationInProgress());
  EXPECT_TRUE(WaitUntil([&] { return !manager->MonitorRunningForTesting(); }));
}

}  // namespace
}  // namespace mfab
