#include "bluetooth/soft_bt_manager.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "bluetooth/bluetooth_exceptions.h"
#include "tests/bluetooth/soft_bt_test_support.h"
#include "tests/fakes/log_capture.h"

namespace keystone::testing {
namespace {

using mfab::SoftBtDevice;
using namespace std::chrono_literals;

class SoftBtManagerTest : public ::testing::Test {
 protected:
  // The monitor stops before the capture goes: it logs until it ends.
  ~SoftBtManagerTest() override {
    harness.Stop();
    capture->Uninstall();
  }

  // A manager monitoring kPhone, its first pass answered: Found.
  static mfab::SoftBtManager* FoundPhone(SoftBtHarness& on) {
    on.SetValue("Device", platform::RegValue::String(kPhone));
    on.provider->Script({true});
    auto manager = on.Make();
    EXPECT_TRUE(manager->IsPhonePresent(kPhoneId));
    return manager;
  }
  mfab::SoftBtManager* FoundPhone() { return FoundPhone(harness); }

  std::shared_ptr<LogCapture> capture = LogCapture::Install();
  SoftBtHarness harness;
};

TEST_F(SoftBtManagerTest, OutOfRangeValuesGetTheirDefaults) {
  struct Case {
    const char* name;
    uint32_t stored;
    uint32_t mfab::SoftBtConfiguration::*field;
    uint32_t expected;
  };
  using C = mfab::SoftBtConfiguration;
  const std::vector<Case> cases = {
      {"PeriodicFoundInterval", 0, &C::periodicFoundInterval, 10},
      {"PeriodicFoundInterval", 60, &C::periodicFoundInterval, 10},
      {"PeriodicFoundInterval", 50, &C::periodicFoundInterval, 50},
      {"NoRetries", 11, &C::noRetries, 1},
      {"NoRetries", 0, &C::noRetries, 0},
      {"NoRetriesNoiseEnv", 11, &C::noRetriesNoiseEnv, 3},
      {"NoRetriesNoiseEnv", 10, &C::noRetriesNoiseEnv, 10},
      {"NoRetriesInit", 11, &C::noRetriesInit, 4},
      {"IsPresentTimeout", 46, &C::isPresentTimeout, 5},
      {"IsPresentTimeout", 0, &C::isPresentTimeout, 5},
      {"IsPresentTimeout", 45, &C::isPresentTimeout, 45},
      {"IsPresentTimeoutFirstCall", 46, &C::isPresentTimeoutFirstCall, 15},
      {"IsPresentTimeoutSx", 0, &C::isPresentTimeoutSx, 7},
      {"IsPresentTimeoutSx", 1, &C::isPresentTimeoutSx, 1},
      {"NotFoundStateUpdates", 21, &C::notFoundStateUpdates, 2},
      {"NotFoundStateUpdates", 20, &C::notFoundStateUpdates, 20},
  };
  for (const Case& c : cases) {
    SoftBtHarness fresh;
    fresh.SetDword(c.name, c.stored);
    const C config = C::Read(fresh.bt.registry);
    EXPECT_EQ(config.*c.field, c.expected) << c.name << " = " << c.stored;
  }
}

TEST_F(SoftBtManagerTest, ValueOfAnotherTypeGetsItsDefault) {
  harness.SetValue("NoRetries", platform::RegValue::String("5"));
  EXPECT_EQ(mfab::SoftBtConfiguration::Read(harness.bt.registry).noRetries, 1u);
}

TEST_F(SoftBtManagerTest, MalformedDeviceIsIgnored) {
  const std::vector<std::string> malformed = {
      "A1:B2:C3:D4:E5:F",    // one digit missing
      "A1:B2:C3:D4:E5:F6:",  // one character too many
      "A1-B2-C3-D4-E5-F6",   // other separators
      "G1:B2:C3:D4:E5:F6",   // not hexadecimal
  };
  for (const std::string& text : malformed) {
    SoftBtHarness fresh;
    fresh.SetValue("Device", platform::RegValue::String(text));
    EXPECT_FALSE(mfab::SoftBtConfiguration::Read(fresh.bt.registry).device) << text;
  }
  EXPECT_EQ(capture->Count("device address stored in registry has incorrect format"),
            malformed.size());
  harness.SetValue("Device", platform::RegValue::String("A1:B2:C3:D4:E5:F6"));
  EXPECT_EQ(mfab::SoftBtConfiguration::Read(harness.bt.registry).device, kPhone);
}

TEST_F(SoftBtManagerTest, ConfiguredPhoneIsMonitoredFromTheFirstQuery) {
  harness.SetValue("Device", platform::RegValue::String(kPhone));
  auto manager = harness.Make();
  EXPECT_FALSE(manager->MonitorRunning());
  harness.provider->Script({true});
  EXPECT_TRUE(manager->IsPhonePresent(kPhoneId));
  EXPECT_TRUE(manager->MonitorRunning());
  EXPECT_EQ(harness.provider->LastAddress(), kPhone);
  EXPECT_TRUE(capture->Has("IsFound with timeout of 15"));
  EXPECT_TRUE(capture->Has("Start Monitor"));
  // The monitor sets the provider up once more when it starts.
  EXPECT_EQ(harness.provider->Setups(), 2);
}

TEST_F(SoftBtManagerTest, LaterQueriesUseTheNormalWait) {
  auto manager = FoundPhone();
  EXPECT_TRUE(manager->IsPhonePresent(kPhoneId));
  EXPECT_TRUE(capture->Has("IsFound with timeout of 5"));
  EXPECT_EQ(capture->Count("IsFound with timeout of 15"), 1u);
}

TEST_F(SoftBtManagerTest, FirstQueryAfterResumeUsesTheResumeWait) {
  auto manager = FoundPhone();
  manager->HandlePowerSleepEvent();
  EXPECT_FALSE(manager->MonitorRunning());
  EXPECT_EQ(harness.provider->TearDowns(), 1);
  harness.provider->Script({true});
  manager->HandlePowerResumeEvent();
  EXPECT_TRUE(manager->MonitorRunning());
  EXPECT_TRUE(manager->IsPhonePresent(kPhoneId));
  EXPECT_TRUE(manager->IsPhonePresent(kPhoneId));
  EXPECT_TRUE(capture->Has("IsFound with timeout of 7"));
  EXPECT_EQ(capture->Count("IsFound with timeout of 5"), 1u);
}

TEST_F(SoftBtManagerTest, NewPhoneIsStoredAndMonitored) {
  auto manager = FoundPhone();
  harness.provider->Script({true});
  EXPECT_TRUE(manager->IsPhonePresent(kOtherPhoneId));
  EXPECT_EQ(harness.StoredDevice(), "10:20:30:40:50:60");
  EXPECT_EQ(manager->MonitoredAddress(), "10:20:30:40:50:60");
  EXPECT_EQ(harness.provider->LastAddress(), "10:20:30:40:50:60");
  EXPECT_EQ(capture->Count("IsFound with timeout of 15"), 2u);
}

TEST_F(SoftBtManagerTest, QueryWithoutConfiguredPhoneAdoptsIt) {
  auto manager = harness.Make();
  harness.provider->Script({false, false, false, false});
  EXPECT_FALSE(harness.Query(kPhoneId));
  EXPECT_EQ(harness.StoredDevice(), kPhone);
  EXPECT_EQ(manager->Device().GetState(), SoftBtDevice::kNotFound);
}

TEST_F(SoftBtManagerTest, QueryWhileGoingToSleepAnswersAbsent) {
  auto manager = harness.Make();
  harness.sleeping = true;
  EXPECT_FALSE(manager->IsPhonePresent(kPhoneId));
  EXPECT_TRUE(capture->Has("going to sleep"));
  EXPECT_FALSE(manager->MonitorRunning());
  EXPECT_FALSE(harness.StoredDevice());
}

TEST_F(SoftBtManagerTest, MalformedIdIsRefused) {
  auto manager = harness.Make();
  EXPECT_THROW(manager->IsPhonePresent({1, 2, 3}), BluetoothExceptions::InvalidDeviceIdException);
  EXPECT_THROW(manager->SetUserPresence({}), BluetoothExceptions::InvalidDeviceIdException);
  EXPECT_FALSE(manager->MonitorRunning());
}

TEST_F(SoftBtManagerTest, QueryTimesOutWhileThePhoneStaysUndecided) {
  harness.SetValue("Device", platform::RegValue::String(kPhone));
  harness.SetDword("NoRetriesInit", 10);
  auto manager = harness.Make();
  harness.provider->Script({false});  // one miss, then the inquiry hangs: the state stays Init
  auto result = std::async(std::launch::async, [&] { return manager->IsPhonePresent(kPhoneId); });
  while (result.wait_for(1ms) != std::future_status::ready) harness.bt.clock.Advance(1s);
  EXPECT_FALSE(result.get());
  EXPECT_TRUE(capture->Has("Device at INIT state"));
}

// The retry budgets: how many misses in one pass turn each state into NotFound.
TEST_F(SoftBtManagerTest, InitGivesUpAfterItsBudget) {
  for (uint32_t budget : {1u, 4u, 10u}) {
    SoftBtHarness fresh;
    fresh.SetValue("Device", platform::RegValue::String(kPhone));
    fresh.SetDword("NoRetriesInit", budget);
    auto manager = fresh.Make();
    fresh.provider->Script(std::vector<bool>(budget, false));
    EXPECT_FALSE(fresh.Query(kPhoneId)) << budget;
    ASSERT_TRUE(fresh.MonitorIdle());
    EXPECT_EQ(fresh.provider->Inquiries(), static_cast<int>(budget));
    EXPECT_EQ(manager->Device().GetState(), SoftBtDevice::kNotFound);
  }
}

// Misses up to the retry budget leave a lost phone Unknown, the next one makes it NotFound;
// the user's presence widens the budget.
TEST_F(SoftBtManagerTest, LostPhoneIsUnknownUntilItsBudgetIsUsed) {
  for (bool userPresent : {false, true}) {
    SCOPED_TRACE(userPresent ? "user present" : "no user presence");
    SoftBtHarness fresh;
    auto manager = FoundPhone(fresh);
    if (userPresent) manager->SetUserPresence(kPhoneId);
    const int budget = userPresent ? 3 : 1;
    EXPECT_EQ(manager->RetryBudget(), static_cast<uint32_t>(budget));
    // The next pass comes after the found interval.
    fresh.provider->Script(std::vector<bool>(budget, false));
    ASSERT_TRUE(fresh.AdvanceUntil([&] { return fresh.provider->Inquiries() == budget + 1; }));
    ASSERT_TRUE(fresh.MonitorIdle());
    EXPECT_EQ(manager->Device().GetState(), SoftBtDevice::kUnknown);
    EXPECT_TRUE(manager->IsPhonePresent(kPhoneId));  // Unknown still counts as present
    fresh.provider->Script({false});
    ASSERT_TRUE(Eventually([&] {
      return manager->Device().GetState() == SoftBtDevice::kNotFound;
    }));
    EXPECT_EQ(fresh.provider->Inquiries(), budget + 2);
  }
  EXPECT_TRUE(capture->Has("--- CurrentState - Found"));
  EXPECT_TRUE(capture->Has("--- CurrentState - Unknown"));
}

TEST_F(SoftBtManagerTest, UserPresenceIsIgnoredForOtherOrLostPhones) {
  auto manager = FoundPhone();
  manager->SetUserPresence(kOtherPhoneId);
  EXPECT_EQ(manager->RetryBudget(), 1u);
  harness.provider->Script({false, false});
  ASSERT_TRUE(harness.AdvanceUntil(
      [&] { return manager->Device().GetState() == SoftBtDevice::kNotFound; }));
  manager->SetUserPresence(kPhoneId);
  EXPECT_EQ(manager->RetryBudget(), 1u);
  EXPECT_TRUE(capture->Has("SetUserPresence 102030405060" "0100"));
}

TEST_F(SoftBtManagerTest, NotFoundPhoneIsAskedAgainAtOnce) {
  harness.SetValue("Device", platform::RegValue::String(kPhone));
  harness.SetDword("NoRetriesInit", 1);
  auto manager = harness.Make();
  harness.provider->Script({false});
  EXPECT_FALSE(harness.Query(kPhoneId));
  harness.provider->Script({false, false, true});
  ASSERT_TRUE(Eventually([&] { return manager->Device().GetState() == SoftBtDevice::kFound; }));
  // No clock movement was needed between the passes, and the misses were counted.
  const std::vector<platform::Ticks> times = harness.provider->InquiryTimes();
  ASSERT_EQ(times.size(), 4u);
  EXPECT_EQ(times[1], times.back());
  EXPECT_EQ(capture->Count("--- CurrentState - Not Found "), 2u);
}

// A pass that ends without the phone sooner than a real radio could (a miss answered at once, an
// inquiry that fails at once) is followed by a pause for the rest of that time.
TEST_F(SoftBtManagerTest, QuickMissedPassIsFollowedByAPause) {
  for (bool failing : {false, true}) {
    SCOPED_TRACE(failing ? "failing inquiry" : "missed inquiry");
    SoftBtHarness fresh;
    fresh.SetValue("Device", platform::RegValue::String(kPhone));
    fresh.SetDword("NoRetriesInit", 1);
    mfab::SoftBtManagerOptions options = FastPresenceOptions();
    options.shortestMissedPass = 5s;
    auto manager = fresh.Make(options);
    const platform::Ticks start = fresh.bt.clock.SteadyNow();
    if (failing) {
      fresh.provider->FailNext(1);
      fresh.provider->Script({true});
    } else {
      fresh.provider->Script({false, true});
    }
    manager->StartMonitor();
    const int answered = failing ? 1 : 2;
    ASSERT_TRUE(fresh.AdvanceUntil([&] { return fresh.provider->Inquiries() == answered; }, 1s));
    EXPECT_GE(fresh.provider->InquiryTimes().back() - start, platform::ToTicks(5s));
    EXPECT_TRUE(Eventually([&] { return manager->Device().GetState() == SoftBtDevice::kFound; }));
  }
}

TEST_F(SoftBtManagerTest, MissedPassAsLongAsARealRadiosIsFollowedAtOnce) {
  harness.SetValue("Device", platform::RegValue::String(kPhone));
  harness.SetDword("NoRetriesInit", 1);
  mfab::SoftBtManagerOptions options = FastPresenceOptions();
  options.shortestMissedPass = 5s;
  auto manager = harness.Make(options);
  manager->StartMonitor();
  // The first inquiry takes the whole page time-out before it misses.
  ASSERT_TRUE(harness.MonitorIdle());
  harness.bt.clock.Advance(5s);
  harness.provider->Script({false, true});
  ASSERT_TRUE(Eventually([&] { return harness.provider->Inquiries() == 2; }));
  const std::vector<platform::Ticks> times = harness.provider->InquiryTimes();
  EXPECT_EQ(times[1], times[0]);
}

TEST_F(SoftBtManagerTest, FoundPhoneIsAskedAgainAfterTheInterval) {
  harness.SetDword("PeriodicFoundInterval", 3);
  FoundPhone();
  harness.provider->Script({true});
  ASSERT_TRUE(harness.AdvanceUntil([&] { return harness.provider->Inquiries() == 2; }, 100ms));
  const std::vector<platform::Ticks> times = harness.provider->InquiryTimes();
  EXPECT_GE(times[1] - times[0], platform::ToTicks(3s));
}

TEST_F(SoftBtManagerTest, InquiryFailureCountsAsAMiss) {
  harness.SetValue("Device", platform::RegValue::String(kPhone));
  harness.SetDword("NoRetriesInit", 2);
  auto manager = harness.Make();
  harness.provider->FailNext(2);
  EXPECT_FALSE(harness.Query(kPhoneId));
  EXPECT_EQ(manager->Device().GetState(), SoftBtDevice::kNotFound);
  EXPECT_TRUE(capture->Contains("InquiryDevice failed"));
}

TEST_F(SoftBtManagerTest, FlappingPhoneFollowsEachAnswer) {
  auto manager = FoundPhone();
  harness.provider->Script({false, true, false, true, false, true});
  ASSERT_TRUE(harness.AdvanceUntil([&] { return harness.provider->Inquiries() >= 7; }));
  ASSERT_TRUE(Eventually([&] { return manager->Device().GetState() == SoftBtDevice::kFound; }));
  // Each miss after an answer made it Unknown, never NotFound.
  EXPECT_EQ(capture->Count(">>> UNKNOWN "), 3u);
  EXPECT_FALSE(capture->Has(">>>> NOT FOUND "));
}

TEST_F(SoftBtManagerTest, ClearedUserDataForgetsThePhone) {
  auto manager = FoundPhone();
  manager->UserDataCleared();
  EXPECT_FALSE(manager->MonitorRunning());
  EXPECT_EQ(manager->MonitoredAddress(), "");
  EXPECT_EQ(manager->Device().GetState(), SoftBtDevice::kInit);
  EXPECT_FALSE(harness.StoredDevice());
  EXPECT_TRUE(capture->Has("User data cleared"));
  manager->StartMonitor();
  EXPECT_TRUE(capture->Has("There is no device to monitor"));
}

// Enrollment in another factor does not count.
TEST_F(SoftBtManagerTest, UpdatedUserKeepsThePhoneOnlyWhenEnrolledInTheFactor) {
  for (bool enrolled : {true, false}) {
    SCOPED_TRACE(enrolled);
    SoftBtHarness fresh;
    fresh.bt.MirrorFactor("f-soft", "SoftBT");
    fresh.bt.MirrorFactor("f-secure", "SecureBT");
    fresh.bt.MirrorUserEntry("S-1-5-21-1-2-3-1000", "f-soft", enrolled);
    fresh.bt.MirrorUserEntry("S-1-5-21-1-2-3-1000", "f-secure", true);
    auto manager = FoundPhone(fresh);
    manager->UserDataUpdated("S-1-5-21-1-2-3-1000");
    EXPECT_EQ(manager->MonitorRunning(), enrolled);
    EXPECT_EQ(fresh.StoredDevice().has_value(), enrolled);
  }
}

TEST_F(SoftBtManagerTest, StopEndsTheMonitorWhileItWaitsForTheInterval) {
  auto manager = FoundPhone();
  manager->StopMonitor();
  EXPECT_FALSE(manager->MonitorRunning());
  EXPECT_TRUE(capture->Has("Monitor Exiting."));
  manager->StartMonitor();
  manager->StartMonitor();
  EXPECT_TRUE(capture->Has("Monitor valid..."));
}

}  // namespace
}  // namespace keystone::testing
