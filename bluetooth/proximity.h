#pragma once

// Whether the paired phone is near, decided from its RSSI readings: a short window of recent
// readings, a trimmed mean compared with a threshold that calibration moves, and hold times so
// that a phone that was just in range is first reported as undecided (NEED_MORE_DATA) before it
// is reported out of range.

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "common/mutex.h"
#include "platform/clock.h"

namespace mfab {

// Proximity status as devices report it; CONFIRMED_IN_RANGE reaches clients as IN_RANGE.
enum MfaProximityStatus : int32_t {
  IN_RANGE = 100,
  OUT_OF_RANGE = 101,
  NEED_MORE_DATA = 102,
  NEED_MORE_RSSI_MEASUREMENTS = 103,
  CONFIRMED_IN_RANGE = 104,
};

// The algorithm's constants with their production values; tests shrink the times.
struct ProximityOptions {
  // Readings older than this take no part in the mean.
  std::chrono::milliseconds measurementMaxAge{std::chrono::seconds(7)};
  // How long a NEED_MORE_DATA decision stands before new readings may change it.
  std::chrono::milliseconds needMoreDataHold{std::chrono::seconds(7)};
  // How long a CONFIRMED_IN_RANGE decision withstands weak readings.
  std::chrono::milliseconds confirmedInRangeHold{std::chrono::seconds(4)};
  // How long after an in-range decision weak readings give NEED_MORE_DATA, not OUT_OF_RANGE.
  std::chrono::milliseconds inRangeGrace{std::chrono::seconds(10)};
  // The most readings kept, and the fewest that allow a decision.
  uint64_t windowSize = 6;
  double rssiReference = -65.0;
  // Added to rssiReference: the in-range threshold.
  double triggerLevelLow = -7.0;
};

// One measurement of the window.
class IMfaProximity {
 public:
  virtual ~IMfaProximity() = default;
};

class MfaProximityRssi final : public IMfaProximity {
 public:
  MfaProximityRssi(int16_t value, platform::Ticks at) : rssi(value), time(at) {}
  int16_t rssi;  // dBm as the provider reported it
  platform::Ticks time;
};

// The measurement window and the calibrated threshold. Not thread-safe: its lock guards it.
class MfaProximityFactor {
 public:
  struct Entry {
    std::shared_ptr<IMfaProximity> measurement;
    platform::Ticks added;
  };

  explicit MfaProximityFactor(const ProximityOptions& options);

  // Appends the measurement stamped now and drops the oldest beyond windowSize.
  void addMessurment(std::shared_ptr<IMfaProximity> measurement, platform::Ticks now);

  platform::Ticks lastUpdate = 0;
  std::vector<Entry> measurements;  // oldest first
  uint64_t windowSize;
  double rssiReference;
  double triggerLevelLow;
};

// A device's proximity decision. Owned by its device object. Thread-safe: one mutex guards the
// window and the states; no call blocks beyond it or calls out of the object (apart from logging).
class MfaProximityLock {
 public:
  explicit MfaProximityLock(platform::Clock& clock, ProximityOptions options = {});
  MfaProximityLock(const MfaProximityLock&) = delete;
  MfaProximityLock& operator=(const MfaProximityLock&) = delete;

  // Adds a reading taken now and recomputes the state.
  void addRssi(int16_t rssi);
  // Moves the in-range threshold to a reading taken near the PC; a reading that would lower it
  // too far is rejected (logged) and changes nothing.
  void calibrateRssi(int16_t rssi);
  // The mean of the readings not older than the maximum age (trimmed from four readings on);
  // drops the older ones. 0.0 when none is left.
  double calculateRssiMean();
  // Whether the strongest reading in the window, whatever its age, is above the threshold.
  bool isBestRSSIValueInRange();
  // Empties the window; the state becomes NEED_MORE_RSSI_MEASUREMENTS. Calibration stays.
  void clearRssi();

  int32_t state();
  int32_t committedState();
  // The in-range threshold: rssiReference + triggerLevelLow.
  double Threshold();
  double Mean();
  // A decision from outside settles a pending NEED_MORE_DATA: when the state is NEED_MORE_DATA,
  // state and committed state become decision and the state time now; true when it did.
  bool SettleNeedMoreData(int32_t decision);

 private:
  void updateStateLocked() REQUIRES(mutex);
  double calculateRssiMeanLocked() REQUIRES(mutex);
  void CommitLocked(int32_t decision, platform::Ticks now) REQUIRES(mutex);
  bool HeldLocked(platform::Ticks now, std::chrono::milliseconds hold) REQUIRES(mutex);

  platform::Clock& clock;
  const ProximityOptions options;

  keystone::Mutex mutex;  // Guards the members below.
  std::shared_ptr<MfaProximityFactor> factor GUARDED_BY(mutex);
  double mean GUARDED_BY(mutex) = 0.0;
  int32_t currentState GUARDED_BY(mutex) = NEED_MORE_RSSI_MEASUREMENTS;
  int32_t committed GUARDED_BY(mutex) = NEED_MORE_RSSI_MEASUREMENTS;
  platform::Ticks stateTime GUARDED_BY(mutex) = 0;
};

}  // namespace mfab
