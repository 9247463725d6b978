#include "bluetooth/proximity.h"

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/bluetooth/fake_bt_provider.h"

namespace mfab {
namespace {

using keystone::testing::ManualClock;
using std::chrono::milliseconds;

// One step of a recorded sequence: wait, then act, then the state the lock must report.
struct Step {
  enum Kind { kAdd, kCalibrate, kClear, kSettle };
  int afterMs;
  Kind kind;
  int value;
  int32_t expected;
};

struct Sequence {
  std::string name;
  std::vector<Step> steps;
};

// n readings of value, afterMs apart, each expected to leave the lock in state expected.
std::vector<Step> Readings(int n, int value, int afterMs, int32_t expected) {
  return std::vector<Step>(static_cast<size_t>(n), Step{afterMs, Step::kAdd, value, expected});
}

std::vector<Step> Join(std::initializer_list<std::vector<Step>> parts) {
  std::vector<Step> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

class ProximitySequenceTest : public ::testing::TestWithParam<Sequence> {};

TEST_P(ProximitySequenceTest, ReportsRecordedStates) {
  ManualClock clock;
  MfaProximityLock lock(clock);
  const std::vector<Step>& steps = GetParam().steps;
  for (size_t i = 0; i < steps.size(); ++i) {
    const Step& step = steps[i];
    clock.Advance(milliseconds(step.afterMs));
    switch (step.kind) {
      case Step::kAdd:
        lock.addRssi(static_cast<int16_t>(step.value));
        break;
      case Step::kCalibrate:
        lock.calibrateRssi(static_cast<int16_t>(step.value));
        break;
      case Step::kClear:
        lock.clearRssi();
        break;
      case Step::kSettle:
        lock.SettleNeedMoreData(step.value);
        break;
    }
    EXPECT_EQ(lock.state(), step.expected) << "step " << i;
  }
}

// The -50 readings put the phone in range; then -73 readings, 1 s apart.
const std::vector<Step> kInRange = Join({Readings(5, -50, 100, 103), Readings(1, -50, 100, 100)});
// Weak readings pull the trimmed mean below -72 with the fifth one: NEED_MORE_DATA.
const std::vector<Step> kTurnsWeak =
    Join({Readings(4, -73, 1000, 100), Readings(1, -73, 1000, 102)});

INSTANTIATE_TEST_SUITE_P(
    Recorded, ProximitySequenceTest,
    ::testing::Values(Sequence{"SixthReadingDecides", kInRange},
                      Sequence{"TrimmedMeanAtThresholdIsInRange",
                               {{0, Step::kAdd, -80, 103},
                                {10, Step::kAdd, -70, 103},
                                {10, Step::kAdd, -70, 103},
                                {10, Step::kAdd, -70, 103},
                                {10, Step::kAdd, -70, 103},
                                {10, Step::kAdd, -60, 100}}},
                      Sequence{"WeakFromTheStartIsOutOfRange",
                               Join({Readings(5, -80, 100, 103), Readings(1, -80, 100, 101)})},
                      Sequence{"WeakAfterInRangeNeedsMoreData",
                               Join({kInRange, kTurnsWeak,
                                     // Held for 7 s whatever arrives.
                                     Readings(6, -90, 1000, 102),
                                     // The hold is over: six fresh weak readings decide.
                                     Readings(1, -73, 1000, 101)})},
                      Sequence{"StrongDuringHoldStaysUndecided",
                               Join({kInRange, kTurnsWeak, Readings(6, -40, 1000, 102),
                                     Readings(1, -40, 1000, 100)})},
                      Sequence{"WeakAfterGraceIsOutOfRange",
                               Join({kInRange, Readings(1, -50, 10'000, 103),
                                     Readings(4, -80, 100, 103), Readings(1, -80, 100, 101)})},
                      Sequence{"OldReadingsAreIgnored",
                               Join({kInRange, Readings(1, -50, 8000, 103)})},
                      Sequence{"ReadingExactlyAtMaxAgeCounts",
                               Join({Readings(1, -50, 0, 103), Readings(4, -50, 1000, 103),
                                     Readings(1, -50, 3000, 100)})},
                      Sequence{"ConfirmedInRangeWithstandsWeakReadings",
                               Join({kInRange,
                                     kTurnsWeak,
                                     {{0, Step::kSettle, 104, 104}},
                                     Readings(3, -90, 1000, 104),
                                     // 4 s after the confirmation, still inside the 10 s grace.
                                     Readings(1, -90, 1000, 102)})},
                      Sequence{"OutsideDecisionSettlesNeedMoreData",
                               Join({kInRange, kTurnsWeak, {{0, Step::kSettle, 101, 101}}})},
                      Sequence{"OutsideDecisionIgnoredWhenDecided",
                               Join({kInRange, {{0, Step::kSettle, 101, 100}}})},
                      Sequence{"ClearNeedsNewReadings", Join({kInRange,
                                                              {{0, Step::kClear, 0, 103}},
                                                              Readings(5, -50, 10, 103),
                                                              Readings(1, -50, 10, 100)})},
                      Sequence{"CalibrationMovesThreshold", Join({{{0, Step::kCalibrate, -10, 103}},
                                                                  Readings(5, -60, 10, 103),
                                                                  Readings(1, -60, 10, 101)})},
                      Sequence{"CalibrationSurvivesClear",
                               Join({{{0, Step::kCalibrate, -10, 103}, {0, Step::kClear, 0, 103}},
                                     Readings(5, -60, 10, 103),
                                     Readings(1, -60, 10, 101)})}),
    [](const auto& param) { return param.param.name; });

struct Calibration {
  std::vector<int> readings;
  double threshold;
};

class ProximityCalibrationTest : public ::testing::TestWithParam<Calibration> {};

TEST_P(ProximityCalibrationTest, SetsThreshold) {
  ManualClock clock;
  MfaProximityLock lock(clock);
  for (int reading : GetParam().readings) lock.calibrateRssi(static_cast<int16_t>(reading));
  EXPECT_DOUBLE_EQ(lock.Threshold(), GetParam().threshold);
}

INSTANTIATE_TEST_SUITE_P(
    Readings, ProximityCalibrationTest,
    ::testing::Values(Calibration{{}, -72.0},
                      Calibration{{-10}, -56.0},  // clamped to -20, pulled to -35
                      Calibration{{-19}, -56.0},  // the first clamped reading
                      Calibration{{-21}, -56.0},  // pulled to -35 (-107 / 3, truncated)
                      Calibration{{-35}, -62.0},  // pulled to -45
                      Calibration{{-50}, -68.0},  // pulled to -55
                      Calibration{{-64}, -75.0},  // pulled to -64 (truncated toward zero)
                      Calibration{{-65}, -74.0},  // not pulled
                      Calibration{{-70}, -78.0},
                      Calibration{{-90}, -80.0},         // clamped to -72, accepted from the start
                      Calibration{{-10, -90}, -56.0},    // -72 < -35 + 1.5 * -21: rejected
                      Calibration{{-10, -55}, -71.0}));  // pulled to -58 >= -66.5: accepted

TEST(ProximityLockTest, BestValueEqualToThresholdIsNotInRange) {
  ManualClock clock;
  MfaProximityLock lock(clock);
  EXPECT_FALSE(lock.isBestRSSIValueInRange());
  lock.addRssi(-90);
  lock.addRssi(-72);
  EXPECT_FALSE(lock.isBestRSSIValueInRange());
  lock.addRssi(-71);
  EXPECT_TRUE(lock.isBestRSSIValueInRange());
}

TEST(ProximityLockTest, BestValueIgnoresAge) {
  ManualClock clock;
  MfaProximityLock lock(clock);
  lock.addRssi(-40);
  clock.Advance(std::chrono::seconds(60));
  EXPECT_TRUE(lock.isBestRSSIValueInRange());
}

TEST(ProximityLockTest, MeanOfFewReadingsIsNotTrimmed) {
  ManualClock clock;
  MfaProximityLock lock(clock);
  EXPECT_EQ(lock.calculateRssiMean(), 0.0);
  lock.addRssi(-40);
  lock.addRssi(-50);
  lock.addRssi(-90);
  EXPECT_DOUBLE_EQ(lock.calculateRssiMean(), -60.0);
  lock.addRssi(-60);
  EXPECT_DOUBLE_EQ(lock.calculateRssiMean(), -55.0);
}

TEST(ProximityLockTest, WindowKeepsNewestReadings) {
  ManualClock clock;
  MfaProximityLock lock(clock);
  for (int i = 0; i < 6; ++i) lock.addRssi(-100);
  for (int i = 0; i < 6; ++i) lock.addRssi(-40);
  EXPECT_DOUBLE_EQ(lock.calculateRssiMean(), -40.0);
  EXPECT_EQ(lock.state(), IN_RANGE);
}

TEST(ProximityLockTest, ShrunkMaxAgeDropsReadings) {
  ManualClock clock;
  ProximityOptions options;
  options.measurementMaxAge = milliseconds(50);
  MfaProximityLock lock(clock, options);
  for (int i = 0; i < 6; ++i) lock.addRssi(-50);
  EXPECT_EQ(lock.state(), IN_RANGE);
  clock.Advance(milliseconds(51));
  lock.addRssi(-50);
  EXPECT_EQ(lock.state(), NEED_MORE_RSSI_MEASUREMENTS);
}

}  // namespace
}  // namespace mfab
