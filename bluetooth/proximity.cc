#include "bluetooth/proximity.h"

#include <algorithm>
#include <utility>

#include "log/logger.h"

namespace mfab {
namespace {

AuthenticateLogger& Log() { return AuthenticateLoggerProx::Instance(); }

constexpr const char* kTag = "CA-START";

// Calibration readings are clamped to this range before use.
constexpr int kStrongestCalibration = -20;
constexpr int kWeakestCalibration = -72;
// Readings stronger than this are pulled toward it: v becomes (2v - 65) / 3.
constexpr int kPullPoint = -65;

// The trigger level that goes with an accepted calibration value.
double TriggerLevelFor(int value) {
  if (value >= -34) return -24.0;
  if (value >= -39) return -21.0;
  if (value >= -44) return -19.0;
  if (value >= -49) return -17.0;
  if (value >= -54) return -15.0;
  if (value >= -59) return -13.0;
  if (value >= -64) return -11.0;
  if (value >= -69) return -9.0;
  if (value >= -74) return -8.0;
  return -6.0;
}

int16_t RssiOf(const MfaProximityFactor::Entry& entry) {
  return static_cast<const MfaProximityRssi&>(*entry.measurement).rssi;
}

}  // namespace

MfaProximityFactor::MfaProximityFactor(const ProximityOptions& options)
    : windowSize(options.windowSize),
      rssiReference(options.rssiReference),
      triggerLevelLow(options.triggerLevelLow) {}

void MfaProximityFactor::addMessurment(std::shared_ptr<IMfaProximity> measurement,
                                       platform::Ticks now) {
  KS_LOG(Log(), kLogInfo, kTag, "addMessurment");
  measurements.push_back(Entry{std::move(measurement), now});
  lastUpdate = now;
  while (measurements.size() > windowSize) measurements.erase(measurements.begin());
}

MfaProximityLock::MfaProximityLock(platform::Clock& lockClock, ProximityOptions lockOptions)
    : clock(lockClock), options(lockOptions) {
  keystone::MutexLock lock(mutex);
  factor = std::make_shared<MfaProximityFactor>(options);
  stateTime = clock.SteadyNow();
  KS_LOG(Log(), kLogInfo, kTag, "Start proximity ");
}

void MfaProximityLock::addRssi(int16_t rssi) {
  keystone::MutexLock lock(mutex);
  const platform::Ticks now = clock.SteadyNow();
  factor->addMessurment(std::make_shared<MfaProximityRssi>(rssi, now), now);
  updateStateLocked();
}

void MfaProximityLock::calibrateRssi(int16_t rssi) {
  keystone::MutexLock lock(mutex);
  int value = rssi;
  if (value > kStrongestCalibration) value = kStrongestCalibration;
  if (value < kWeakestCalibration) value = kWeakestCalibration;
  // Integer division truncates toward zero, as the table of accepted values assumes.
  if (value > kPullPoint) value = (2 * value + kPullPoint) / 3;
  const double lowest = factor->rssiReference + 1.5 * factor->triggerLevelLow;
  if (value >= lowest) {
    factor->rssiReference = value;
    factor->triggerLevelLow = TriggerLevelFor(value);
    return;
  }
  KS_LOG(Log(), kLogInfo, kTag,
         "MfaProximityLock::calibrateRssi was rejected value: %d triggerlevelLow: %f", value,
         factor->rssiReference + factor->triggerLevelLow);
}

double MfaProximityLock::calculateRssiMean() {
  keystone::MutexLock lock(mutex);
  return calculateRssiMeanLocked();
}

double MfaProximityLock::calculateRssiMeanLocked() {
  std::vector<MfaProximityFactor::Entry>& entries = factor->measurements;
  if (entries.empty()) return 0.0;
  const platform::Ticks oldest = clock.SteadyNow() - platform::ToTicks(options.measurementMaxAge);
  std::erase_if(entries, [oldest](const MfaProximityFactor::Entry& e) { return e.added < oldest; });
  if (entries.empty()) return 0.0;
  // The sum is kept in 16 bits, as readings of a real radio never come near its limits.
  int16_t sum = 0;
  int16_t largest = RssiOf(entries.front());
  int16_t smallest = largest;
  for (const MfaProximityFactor::Entry& entry : entries) {
    const int16_t rssi = RssiOf(entry);
    sum = static_cast<int16_t>(sum + rssi);
    largest = std::max(largest, rssi);
    smallest = std::min(smallest, rssi);
  }
  const auto n = static_cast<double>(entries.size());
  const double result =
      entries.size() < 4 ? sum / n : (static_cast<double>(sum) - largest - smallest) / (n - 2);
  KS_LOG(Log(), kLogInfo, kTag,
         "MfaProximityLock::calculateRssiMean (after size check) average = %f", result);
  return result;
}

bool MfaProximityLock::isBestRSSIValueInRange() {
  keystone::MutexLock lock(mutex);
  if (factor->measurements.empty()) return false;
  int16_t best = RssiOf(factor->measurements.front());
  for (const MfaProximityFactor::Entry& entry : factor->measurements) {
    const int16_t rssi = RssiOf(entry);
    KS_LOG(Log(), kLogInfo, kTag, "MfaProximityLock::calculateRssiBest val = %d", rssi);
    best = std::max(best, rssi);
  }
  return best > factor->rssiReference + factor->triggerLevelLow;
}

void MfaProximityLock::clearRssi() {
  keystone::MutexLock lock(mutex);
  factor->measurements.clear();
  updateStateLocked();
  KS_LOG(Log(), kLogInfo, kTag, "MfaProximityLock::clearRssi");
}

int32_t MfaProximityLock::state() {
  keystone::MutexLock lock(mutex);
  return currentState;
}

int32_t MfaProximityLock::committedState() {
  keystone::MutexLock lock(mutex);
  return committed;
}

double MfaProximityLock::Threshold() {
  keystone::MutexLock lock(mutex);
  return factor->rssiReference + factor->triggerLevelLow;
}

double MfaProximityLock::Mean() {
  keystone::MutexLock lock(mutex);
  return mean;
}

bool MfaProximityLock::SettleNeedMoreData(int32_t decision) {
  keystone::MutexLock lock(mutex);
  if (currentState != NEED_MORE_DATA) return false;
  CommitLocked(decision, clock.SteadyNow());
  return true;
}

void MfaProximityLock::CommitLocked(int32_t decision, platform::Ticks now) {
  currentState = decision;
  committed = decision;
  stateTime = now;
}

bool MfaProximityLock::HeldLocked(platform::Ticks now, std::chrono::milliseconds hold) {
  return now - stateTime < platform::ToTicks(hold);
}

void MfaProximityLock::updateStateLocked() {
  const platform::Ticks now = clock.SteadyNow();
  if (committed == NEED_MORE_DATA && HeldLocked(now, options.needMoreDataHold)) return;
  mean = calculateRssiMeanLocked();
  if (factor->measurements.size() < factor->windowSize || mean == 0.0) {
    currentState = NEED_MORE_RSSI_MEASUREMENTS;
    return;
  }
  if (mean >= factor->rssiReference + factor->triggerLevelLow) {
    CommitLocked(IN_RANGE, now);
    return;
  }
  if (committed == CONFIRMED_IN_RANGE && HeldLocked(now, options.confirmedInRangeHold)) return;
  if ((committed == IN_RANGE || committed == CONFIRMED_IN_RANGE) &&
      HeldLocked(now, options.inRangeGrace)) {
    CommitLocked(NEED_MORE_DATA, now);
    return;
  }
  CommitLocked(OUT_OF_RANGE, now);
}

}  // namespace mfab
