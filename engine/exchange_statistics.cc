#include "engine/exchange_statistics.h"

#include <algorithm>
#include <stdexcept>

#include "applet/kiln_exceptions.h"
#include "common/exceptions.h"

namespace mfab {
namespace {

// The value below which the given share (per mille) of the sorted samples lies.
int64_t Percentile(std::vector<int64_t>& values, size_t perMille) {
  const size_t index = std::min(values.size() - 1, values.size() * perMille / 1000);
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(index),
                   values.end());
  return values[index];
}

}  // namespace

const char* ExchangeFailureName(ExchangeFailure failure) {
  switch (failure) {
    case ExchangeFailure::kTimeout: return "timeout";
    case ExchangeFailure::kUnavailable: return "unavailable";
    case ExchangeFailure::kLibrary: return "library";
    case ExchangeFailure::kRefused: return "refused";
    case ExchangeFailure::kOther: return "other";
  }
  return "other";
}

ExchangeFailure ClassifyExchangeFailure(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const KILNCallTimeoutException&) {
    return ExchangeFailure::kTimeout;
  } catch (const KilnInvalidSessionException&) {
    return ExchangeFailure::kUnavailable;
  } catch (const KilnLibraryException&) {
    return ExchangeFailure::kUnavailable;
  } catch (const KILNBusyException&) {
    return ExchangeFailure::kLibrary;
  } catch (const KilnCommunicationErrorException&) {
    return ExchangeFailure::kLibrary;
  } catch (const KilnGeneralException&) {
    return ExchangeFailure::kLibrary;
  } catch (const TEEException&) {
    return ExchangeFailure::kLibrary;
  } catch (const ConnectedStandByException&) {
    return ExchangeFailure::kRefused;
  } catch (const AppletCurrentlyBusyException&) {
    return ExchangeFailure::kRefused;
  } catch (const SVNUpgradeException&) {
    return ExchangeFailure::kRefused;
  } catch (...) {
    return ExchangeFailure::kOther;
  }
}

ExchangeStatistics::ExchangeStatistics(platform::Clock& clockSource,
                                       ExchangeStatisticsOptions statisticsOptions)
    : clock(clockSource), options(statisticsOptions) {
  keystone::MutexLock lock(mutex);
  ring.reserve(std::max<size_t>(1, options.maxSamples));
}

void ExchangeStatistics::RecordExchange(platform::Ticks startedAt) {
  const platform::Ticks now = clock.SteadyNow();
  const Sample sample{now, std::max<int64_t>(0, (now - startedAt) / (platform::kTicksPerMillisecond / 1000))};
  keystone::MutexLock lock(mutex);
  ++exchanges;
  if (ring.size() < ring.capacity()) {
    ring.push_back(sample);
  } else {
    ring[next] = sample;
    next = (next + 1) % ring.size();
  }
}

void ExchangeStatistics::RecordFailure(ExchangeFailure failure) {
  keystone::MutexLock lock(mutex);
  ++exchanges;
  ++failures[static_cast<size_t>(failure)];
}

ExchangeSnapshot ExchangeStatistics::Snapshot() {
  const platform::Ticks oldest = clock.SteadyNow() - platform::ToTicks(options.window);
  ExchangeSnapshot snapshot;
  std::vector<int64_t> values;
  {
    keystone::MutexLock lock(mutex);
    snapshot.exchanges = exchanges;
    snapshot.failures = failures;
    values.reserve(ring.size());
    for (const Sample& sample : ring) {
      if (sample.at >= oldest) values.push_back(sample.micros);
    }
  }
  snapshot.samples = values.size();
  if (values.empty()) return snapshot;
  snapshot.p50 = std::chrono::microseconds(Percentile(values, 500));
  snapshot.p99 = std::chrono::microseconds(Percentile(values, 990));
  return snapshot;
}

}  // namespace mfab
