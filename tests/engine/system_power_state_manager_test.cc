#include "engine/system_power_state_manager.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/applet/applet_test_support.h"
#include "tests/fakes/locked.h"
#include "tests/fakes/log_capture.h"

namespace mfab {
namespace {

using keystone::testing::Eventually;
using keystone::testing::LockedSet;
using Manager = SystemPowerStateManager;
using namespace std::chrono_literals;

// Counts each handler call; throws from the handler named in throwOn. While held, the sleep
// handler blocks until Release.
class RecordingListener final : public ISystemPowerState {
 public:
  void HandlePowerSleepEvent() override { Record("sleep"); }
  void HandlePowerResumeEvent() override { Record("resume"); }
  void HandleSessionUnlockEvent() override { Record("unlock"); }
  void HandleSessionLockEvent() override { Record("lock"); }
  void HandleSessionLogoffEvent() override { Record("logoff"); }
  void HandleEnterConnectedStandbyEvent() override { Record("enter"); }
  void HandleExitConnectedStandbyEvent() override { Record("exit"); }

  int Count(const std::string& event) {
    std::lock_guard<std::mutex> lock(mutex);
    return counts[event];
  }
  bool WaitFor(const std::string& event, int count = 1) {
    return Eventually([&] { return Count(event) >= count; });
  }
  void Release() {
    LockedSet(mutex, held, false);
    released.notify_all();
  }
  std::string throwOn;
  bool held = false;

 private:
  void Record(const std::string& event) {
    {
      std::unique_lock<std::mutex> lock(mutex);
      if (event == "sleep") released.wait_for(lock, 10s, [&] { return !held; });
      ++counts[event];
    }
    if (throwOn == event) throw std::runtime_error("listener failed");
  }
  std::mutex mutex;
  std::condition_variable released;
  std::map<std::string, int> counts;
};

class SystemPowerStateManagerTest : public ::testing::Test {
 protected:
  void SetUp() override { clock.Advance(1'000'000); }  // no time stamp of the manager is zero
  void TearDown() override { capture->Uninstall(); }

  // A manager with two listeners, registered in order.
  std::unique_ptr<Manager> Make(std::chrono::milliseconds standbyDelay) {
    auto manager = std::make_unique<Manager>(clock, Manager::Options{4000ms, standbyDelay});
    manager->RegisterListener(first);
    manager->RegisterListener(second);
    return manager;
  }
  // Puts the manager into connected standby through the (short) entry delay.
  void EnterStandby(Manager& manager) {
    const int before = first->Count("enter");
    manager.EnterConnectedStandby();
    ASSERT_TRUE(first->WaitFor("enter", before + 1));
    ASSERT_TRUE(second->WaitFor("enter", before + 1));
    ASSERT_EQ(manager.CurrentPowerState(), Manager::kConnectedStandby);
  }
  // Each listener's count of each event, once the manager's tasks have ended.
  void ExpectCounts(std::unique_ptr<Manager> manager, const std::map<std::string, int>& expected) {
    manager.reset();
    for (const auto& [event, count] : expected) {
      EXPECT_EQ(first->Count(event), count) << event;
      EXPECT_EQ(second->Count(event), count) << event;
    }
  }
  void Advance(std::chrono::milliseconds step) { clock.Advance(platform::ToTicks(step)); }

  keystone::testing::SteppingClock clock;
  std::shared_ptr<keystone::testing::LogCapture> capture = keystone::testing::LogCapture::Install();
  std::shared_ptr<RecordingListener> first = std::make_shared<RecordingListener>();
  std::shared_ptr<RecordingListener> second = std::make_shared<RecordingListener>();
};

TEST_F(SystemPowerStateManagerTest, SleepWaitEndsOnlyWhenEverySleepHandlerHasReturned) {
  Manager::Options options;
  options.sleepHandlingWait = 50ms;
  Manager manager(clock, options);
  second->held = true;
  manager.RegisterListener(first);
  manager.RegisterListener(second);
  EXPECT_TRUE(manager.WaitForSleepHandlers());  // nothing started yet
  manager.Sleep();
  EXPECT_FALSE(manager.WaitForSleepHandlers());
  EXPECT_EQ(second->Count("sleep"), 0);
  second->Release();
  EXPECT_TRUE(Eventually([&] { return manager.WaitForSleepHandlers(); }));
  EXPECT_EQ(first->Count("sleep"), 1);
}

TEST_F(SystemPowerStateManagerTest, SleepCycleReachesEveryListenerOnce) {
  auto manager = Make(10ms);
  // Resume and exit without a sleep or standby call nobody.
  manager->Resume();
  manager->ExitConnectedStandby();
  manager->Sleep();
  EXPECT_EQ(manager->CurrentPowerState(), Manager::kGoingToSleep);
  // A standby entry while going to sleep keeps the sleep state.
  manager->EnterConnectedStandby();
  ASSERT_TRUE(Eventually([&] { return capture->Has("Already in sleep state"); }));
  EXPECT_EQ(manager->CurrentPowerState(), Manager::kGoingToSleep);
  manager->Resume();
  EXPECT_EQ(manager->CurrentPowerState(), Manager::kNormal);
  manager->Resume();
  ExpectCounts(std::move(manager), {{"sleep", 1}, {"resume", 1}, {"enter", 0}, {"exit", 0}});
}

TEST_F(SystemPowerStateManagerTest, ThrowingListenerFailsAloneWithAWarning) {
  const struct {
    const char* event;
    void (Manager::*call)();
    const char* text;
  } cases[] = {
      {"sleep", &Manager::Sleep, "Power Resume Event handler failed"},
      {"unlock", &Manager::SessionUnlock, "Session Logon handler failed"},
      {"lock", &Manager::SessionLock, "Session lock handler failed"},
      {"logoff", &Manager::Logoff, "Session Logoff handler failed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.event);
    first->throwOn = c.event;
    auto manager = Make(10ms);
    ((*manager).*c.call)();
    manager.reset();
    EXPECT_EQ(second->Count(c.event), 1);
    ASSERT_EQ(capture->Count(c.text), 1u);
    for (const auto& entry : capture->Entries()) {
      if (entry.record.message != c.text) continue;
      EXPECT_EQ(entry.eventId, 2011);  // warning
      EXPECT_EQ(entry.record.operation, "FLOW");
    }
  }
}

TEST_F(SystemPowerStateManagerTest, SessionEventsReachListenersInEveryPowerState) {
  auto manager = Make(5ms);
  int expected = 0;
  auto sessionRound = [&] {
    ++expected;
    manager->SessionLock();
    manager->SessionUnlock();
    manager->Logoff();
    for (const char* event : {"lock", "unlock", "logoff"}) {
      EXPECT_TRUE(first->WaitFor(event, expected));
      EXPECT_TRUE(second->WaitFor(event, expected));
    }
  };
  sessionRound();
  manager->Sleep();
  sessionRound();
  EXPECT_EQ(manager->CurrentPowerState(), Manager::kGoingToSleep);
  manager->Resume();
  EnterStandby(*manager);
  sessionRound();
  EXPECT_EQ(manager->CurrentPowerState(), Manager::kConnectedStandby);
}

TEST_F(SystemPowerStateManagerTest, EnterThenExitWithinTheDelayCallsNobody) {
  auto manager = Make(200ms);
  manager->EnterConnectedStandby();
  Advance(1ms);
  manager->ExitConnectedStandby();
  ASSERT_TRUE(Eventually([&] {
    return capture->Has("Not entering connected standby - exit event received already received ");
  }));
  EXPECT_EQ(manager->CurrentPowerState(), Manager::kNormal);
  ExpectCounts(std::move(manager), {{"enter", 0}, {"exit", 0}});
}

TEST_F(SystemPowerStateManagerTest, StandbyIsLeftOnlyByAWakeEventAfterIt) {
  auto manager = Make(20ms);
  manager->ExitConnectedStandby();
  Advance(1ms);
  EnterStandby(*manager);
  manager->ExitConnectedStandby();
  EXPECT_EQ(manager->CurrentPowerState(), Manager::kNormal);
  // Resume out of standby already left is no resume from standby.
  manager->Resume();
  EnterStandby(*manager);
  manager->Resume();
  EXPECT_EQ(manager->CurrentPowerState(), Manager::kNormal);
  ExpectCounts(std::move(manager), {{"enter", 2}, {"exit", 1}, {"resume", 1}});
}

TEST_F(SystemPowerStateManagerTest, GoingToSleepLastsTheWindowThenResumesOnFirstCheck) {
  auto manager = Make(5ms);
  EXPECT_FALSE(manager->IsGoingToSleep());
  manager->Sleep();
  EXPECT_TRUE(manager->IsGoingToSleep());
  Advance(4000ms);  // the deadline itself still counts
  EXPECT_TRUE(manager->IsGoingToSleep());
  EXPECT_EQ(first->Count("resume"), 0);
  Advance(1ms);
  EXPECT_FALSE(manager->IsGoingToSleep());
  EXPECT_EQ(manager->CurrentPowerState(), Manager::kNormal);
  ExpectCounts(std::move(manager), {{"resume", 1}});
}

TEST_F(SystemPowerStateManagerTest, ConcurrentEventsKeepAConsistentState) {
  auto manager = Make(1ms);
  const std::function<void()> calls[] = {[&] { manager->Sleep(); }, [&] { manager->Resume(); },
                                         [&] { manager->EnterConnectedStandby(); },
                                         [&] { manager->ExitConnectedStandby(); },
                                         [&] { manager->IsGoingToSleep(); }};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) calls[(t + i) % 5]();
    });
  }
  for (auto& thread : threads) thread.join();
  const int32_t state = manager->CurrentPowerState();
  EXPECT_TRUE(state >= 0 && state <= 2);
  manager.reset();
  // Each listener saw the same events.
  for (const char* event : {"sleep", "resume", "enter", "exit"}) {
    EXPECT_EQ(first->Count(event), second->Count(event)) << event;
  }
}

}  // namespace
}  // namespace mfab
