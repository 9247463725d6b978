#include "engine/system_power_state_manager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "tests/fakes/log_capture.h"

namespace mfab {
namespace {

using keystone::testing::LogCapture;
using namespace std::chrono_literals;

constexpr auto kWaitLimit = 10s;

class ManualClock final : public platform::Clock {
 public:
  platform::Ticks SteadyNow() const override { return now.load(); }
  int64_t UnixSeconds() const override { return 0; }
  void Advance(std::chrono::milliseconds d) { now += platform::ToTicks(d); }

 private:
  std::atomic<platform::Ticks> now{1'000'000};
};

// Counts each handler call; throws from the handlers named in throwOn.
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
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, kWaitLimit, [&] { return counts[event] >= count; });
  }
  std::string throwOn;

 private:
  void Record(const std::string& event) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      ++counts[event];
    }
    changed.notify_all();
    if (throwOn == event) throw std::runtime_error("listener failed");
  }
  std::mutex mutex;
  std::condition_variable changed;
  std::map<std::string, int> counts;
};

bool WaitUntil(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

class SystemPowerStateManagerTest : public ::testing::Test {
 protected:
  void SetUp() override { capture = LogCapture::Install(); }
  void TearDown() override { capture->Uninstall(); }

  // A manager with two listeners, registered in order.
  std::unique_ptr<SystemPowerStateManager> Make(std::chrono::milliseconds standbyDelay) {
    SystemPowerStateManager::Options options;
    options.sleepWindow = 4000ms;
    options.standbyEntryDelay = standbyDelay;
    auto manager = std::make_unique<SystemPowerStateManager>(clock, options);
    manager->RegisterListener(first);
    manager->RegisterListener(second);
    return manager;
  }

  // Puts the manager into connected standby through the (short) entry delay.
  void EnterStandby(SystemPowerStateManager& manager) {
    const int before = first->Count("enter");
    manager.EnterConnectedStandby();
    ASSERT_TRUE(first->WaitFor("enter", before + 1));
    ASSERT_TRUE(second->WaitFor("enter", before + 1));
    ASSERT_EQ(manager.CurrentPowerState(), SystemPowerStateManager::kConnectedStandby);
  }

  ManualClock clock;
  std::shared_ptr<LogCapture> capture;
  std::shared_ptr<RecordingListener> first = std::make_shared<RecordingListener>();
  std::shared_ptr<RecordingListener> second = std::make_shared<RecordingListener>();
};

TEST_F(SystemPowerStateManagerTest, SleepAndResumeReachEveryListenerOnce) {
  auto manager = Make(10ms);
  manager->Sleep();
  EXPECT_EQ(manager->CurrentPowerState(), SystemPowerStateManager::kGoingToSleep);
  manager->Resume();
  EXPECT_EQ(manager->CurrentPowerState(), SystemPowerStateManager::kNormal);
  // A second resume finds the state normal and calls nobody.
  manager->Resume();
  manager.reset();  // waits for the listener tasks
  for (auto& listener : {first, second}) {
    EXPECT_EQ(listener->Count("sleep"), 1);
    EXPECT_EQ(listener->Count("resume"), 1);
  }
  EXPECT_GE(capture->Count("PowerState = 1"), 1u);
}

TEST_F(SystemPowerStateManagerTest, ResumeWithoutSleepOrStandbyCallsNobody) {
  auto manager = Make(10ms);
  manager->Resume();
  manager->ExitConnectedStandby();
  manager.reset();
  EXPECT_EQ(first->Count("resume"), 0);
  EXPECT_EQ(first->Count("exit"), 0);
  EXPECT_EQ(second->Count("resume"), 0);
}

TEST_F(SystemPowerStateManagerTest, ThrowingListenerIsLoggedAndOthersStillRun) {
  const std::pair<std::string, std::string> cases[] = {
      {"sleep", "Power Resume Event handler failed"},
      {"unlock", "Session Logon handler failed"},
      {"lock", "Session lock handler failed"},
      {"logoff", "Session Logoff handler failed"},
  };
  for (const auto& [event, text] : cases) {
    first->throwOn = event;
    auto manager = Make(10ms);
    if (event == "sleep") manager->Sleep();
    if (event == "unlock") manager->SessionUnlock();
    if (event == "lock") manager->SessionLock();
    if (event == "logoff") manager->Logoff();
    manager.reset();
    EXPECT_EQ(second->Count(event), 1) << event;
    ASSERT_EQ(capture->Count(text), 1u) << event;
    for (const auto& entry : capture->Entries()) {
      if (entry.record.message == text) {
        EXPECT_EQ(entry.eventId, 2011);  // warning
        EXPECT_EQ(entry.record.operation, "FLOW");
      }
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
    for (auto& listener : {first, second}) {
      EXPECT_TRUE(listener->WaitFor("lock", expected));
      EXPECT_TRUE(listener->WaitFor("unlock", expected));
      EXPECT_TRUE(listener->WaitFor("logoff", expected));
    }
  };
  sessionRound();  // normal
  manager->Sleep();
  sessionRound();  // going to sleep
  EXPECT_EQ(manager->CurrentPowerState(), SystemPowerStateManager::kGoingToSleep);
  manager->Resume();
  EnterStandby(*manager);
  sessionRound();  // connected standby
  EXPECT_EQ(manager->CurrentPowerState(), SystemPowerStateManager::kConnectedStandby);
}

TEST_F(SystemPowerStateManagerTest, EnterThenExitWithinTheDelayCallsNobody) {
  auto manager = Make(200ms);
  manager->EnterConnectedStandby();
  clock.Advance(1ms);
  manager->ExitConnectedStandby();
  ASSERT_TRUE(WaitUntil([&] {
    return capture->Has("Not entering connected standby - exit event received already received ");
  }));
  EXPECT_EQ(manager->CurrentPowerState(), SystemPowerStateManager::kNormal);
  manager.reset();
  EXPECT_EQ(first->Count("enter"), 0);
  EXPECT_EQ(first->Count("exit"), 0);
}

TEST_F(SystemPowerStateManagerTest, ExitBeforeTheEnterEventDoesNotCancelIt) {
  auto manager = Make(20ms);
  manager->ExitConnectedStandby();
  clock.Advance(1ms);
  EnterStandby(*manager);
  manager->ExitConnectedStandby();
  EXPECT_TRUE(first->WaitFor("exit"));
  EXPECT_TRUE(second->WaitFor("exit"));
  EXPECT_EQ(manager->CurrentPowerState(), SystemPowerStateManager::kNormal);
  // Resume out of standby is not a resume from standby; it was already left.
  manager->Resume();
  manager.reset();
  EXPECT_EQ(first->Count("resume"), 0);
}

TEST_F(SystemPowerStateManagerTest, EnterWhileGoingToSleepKeepsTheSleepState) {
  auto manager = Make(5ms);
  manager->Sleep();
  manager->EnterConnectedStandby();
  ASSERT_TRUE(WaitUntil([&] { return capture->Has("Already in sleep state"); }));
  EXPECT_EQ(manager->CurrentPowerState(), SystemPowerStateManager::kGoingToSleep);
  manager.reset();
  EXPECT_EQ(first->Count("enter"), 0);
}

TEST_F(SystemPowerStateManagerTest, ResumeLeavesConnectedStandbyAndCallsResume) {
  auto manager = Make(5ms);
  EnterStandby(*manager);
  manager->Resume();
  EXPECT_EQ(manager->CurrentPowerState(), SystemPowerStateManager::kNormal);
  EXPECT_TRUE(first->WaitFor("resume"));
}

TEST_F(SystemPowerStateManagerTest, GoingToSleepLastsTheWindowThenResumesOnFirstCheck) {
  auto manager = Make(5ms);
  EXPECT_FALSE(manager->IsGoingToSleep());
  manager->Sleep();
  EXPECT_TRUE(manager->IsGoingToSleep());
  clock.Advance(4000ms);  // the deadline itself still counts
  EXPECT_TRUE(manager->IsGoingToSleep());
  EXPECT_EQ(first->Count("resume"), 0);
  clock.Advance(1ms);
  EXPECT_FALSE(manager->IsGoingToSleep());
  EXPECT_EQ(manager->CurrentPowerState(), SystemPowerStateManager::kNormal);
  EXPECT_FALSE(manager->IsGoingToSleep());
  manager.reset();
  EXPECT_EQ(first->Count("resume"), 1);
  EXPECT_EQ(second->Count("resume"), 1);
}

TEST_F(SystemPowerStateManagerTest, DestructionCancelsAPendingStandbyEntry) {
  auto manager = Make(60000ms);
  manager->EnterConnectedStandby();
  const auto start = std::chrono::steady_clock::now();
  manager.reset();
  // The entry delay is cut short rather than waited out.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
  EXPECT_EQ(first->Count("enter"), 0);
}

TEST_F(SystemPowerStateManagerTest, ConcurrentEventsKeepAConsistentState) {
  auto manager = Make(1ms);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) {
        switch ((t + i) % 5) {
          case 0: manager->Sleep(); break;
          case 1: manager->Resume(); break;
          case 2: manager->EnterConnectedStandby(); break;
          case 3: manager->ExitConnectedStandby(); break;
          default: manager->IsGoingToSleep(); break;
        }
      }
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
