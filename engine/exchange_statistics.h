#pragma once

// The applet exchanges of the recent past for the health view: how long each took (p50 and p99
// over a sliding window) and how many failed, by class. Owned by the composition root, fed by
// the applet manager's queue thread, read by the status request. Thread-safe; Record* cost one
// lock and one slot of a fixed ring, Snapshot a copy and a partial sort of at most maxSamples.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <vector>

#include "common/mutex.h"
#include "platform/clock.h"

namespace mfab {

// How a failed exchange is grouped; the order is the order of the counts in a snapshot.
enum class ExchangeFailure : size_t {
  kTimeout = 0,      // the library call overran its limit
  kUnavailable = 1,  // no library, no session, the channel could not be made
  kLibrary = 2,      // the library or the applet answered with an error
  kRefused = 3,      // the engine refused it (sleep, connected standby, upgrade)
  kOther = 4,
};
inline constexpr size_t kExchangeFailureClasses = 5;

// "timeout", "unavailable", "library", "refused", "other".
const char* ExchangeFailureName(ExchangeFailure failure);
// The class of what an exchange threw.
ExchangeFailure ClassifyExchangeFailure(const std::exception_ptr& failure);

struct ExchangeStatisticsOptions {
  // Latencies older than this do not count.
  std::chrono::milliseconds window{std::chrono::minutes(5)};
  // The most recent exchanges kept; older ones fall out of the ring first.
  size_t maxSamples = 4096;
};

struct ExchangeSnapshot {
  size_t samples = 0;  // exchanges inside the window
  std::chrono::microseconds p50{0};
  std::chrono::microseconds p99{0};
  uint64_t exchanges = 0;  // since start, succeeded or not
  std::array<uint64_t, kExchangeFailureClasses> failures{};  // since start
};

class ExchangeStatistics {
 public:
  explicit ExchangeStatistics(platform::Clock& clock, ExchangeStatisticsOptions options = {});
  ExchangeStatistics(const ExchangeStatistics&) = delete;
  ExchangeStatistics& operator=(const ExchangeStatistics&) = delete;

  // The clock's now, for the start of an exchange.
  platform::Ticks Now() const { return clock.SteadyNow(); }
  // One exchange that got an answer, begun at startedAt (a Now() value).
  void RecordExchange(platform::Ticks startedAt);
  void RecordFailure(ExchangeFailure failure);
  ExchangeSnapshot Snapshot();

 private:
  struct Sample {
    platform::Ticks at = 0;
    int64_t micros = 0;
  };

  platform::Clock& clock;
  const ExchangeStatisticsOptions options;

  keystone::Mutex mutex;  // Guards the members below.
  std::vector<Sample> ring GUARDED_BY(mutex);
  size_t next GUARDED_BY(mutex) = 0;
  uint64_t exchanges GUARDED_BY(mutex) = 0;
  std::array<uint64_t, kExchangeFailureClasses> failures GUARDED_BY(mutex){};
};

}  // namespace mfab
