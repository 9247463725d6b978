#include "engine/exchange_statistics.h"

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>

#include "applet/kiln_exceptions.h"
#include "common/exceptions.h"
#include "tests/applet/applet_test_support.h"

namespace mfab {
namespace {

using namespace std::chrono_literals;

class ExchangeStatisticsTest : public ::testing::Test {
 protected:
  // One exchange that took the given time, ending now.
  void Exchange(ExchangeStatistics& statistics, std::chrono::microseconds took) {
    const platform::Ticks started = statistics.Now();
    clock.Advance(platform::ToTicks(took));
    statistics.RecordExchange(started);
  }

  keystone::testing::SteppingClock clock;
};

TEST_F(ExchangeStatisticsTest, PercentilesCoverOnlyTheWindow) {
  ExchangeStatistics statistics(clock, {.window = 1s, .maxSamples = 1000});
  // 100 slow ones that will leave the window, then 99 of 1 ms and one of 50 ms.
  for (int i = 0; i < 100; ++i) Exchange(statistics, 900ms);
  clock.Advance(platform::ToTicks(2s));
  for (int i = 0; i < 99; ++i) Exchange(statistics, 1ms);
  Exchange(statistics, 50ms);
  const ExchangeSnapshot snapshot = statistics.Snapshot();
  EXPECT_EQ(snapshot.samples, 100u);
  EXPECT_EQ(snapshot.exchanges, 200u);
  EXPECT_EQ(snapshot.p50, 1ms);
  EXPECT_EQ(snapshot.p99, 50ms);
}

TEST_F(ExchangeStatisticsTest, RingKeepsTheMostRecentSamples) {
  ExchangeStatistics statistics(clock, {.window = 1h, .maxSamples = 4});
  for (int i = 0; i < 4; ++i) Exchange(statistics, 10ms);
  for (int i = 0; i < 4; ++i) Exchange(statistics, 2ms);
  const ExchangeSnapshot snapshot = statistics.Snapshot();
  EXPECT_EQ(snapshot.samples, 4u);
  EXPECT_EQ(snapshot.p99, 2ms);
  EXPECT_EQ(ExchangeStatistics(clock).Snapshot().p50, 0us);  // nothing measured yet
}

TEST_F(ExchangeStatisticsTest, FailuresAreCountedByClass) {
  const struct {
    std::exception_ptr thrown;
    ExchangeFailure expected;
  } rows[] = {
      {std::make_exception_ptr(KILNCallTimeoutException()), ExchangeFailure::kTimeout},
      {std::make_exception_ptr(KilnLibraryException("gone")), ExchangeFailure::kUnavailable},
      {std::make_exception_ptr(KilnCommunicationErrorException()), ExchangeFailure::kLibrary},
      {std::make_exception_ptr(TEEException("applet said no")), ExchangeFailure::kLibrary},
      {std::make_exception_ptr(ConnectedStandByException("standby")), ExchangeFailure::kRefused},
      {std::make_exception_ptr(AppletCurrentlyBusyException("sleep")), ExchangeFailure::kRefused},
      {std::make_exception_ptr(std::runtime_error("The applet is not available (x)")),
       ExchangeFailure::kOther},
      {std::make_exception_ptr(42), ExchangeFailure::kOther},
  };
  ExchangeStatistics statistics(clock);
  for (const auto& row : rows) {
    EXPECT_EQ(ClassifyExchangeFailure(row.thrown), row.expected)
        << ExchangeFailureName(row.expected);
    statistics.RecordFailure(ClassifyExchangeFailure(row.thrown));
  }
  const ExchangeSnapshot snapshot = statistics.Snapshot();
  EXPECT_EQ(snapshot.exchanges, 8u);
  EXPECT_EQ(snapshot.samples, 0u);
  EXPECT_EQ(snapshot.failures, (std::array<uint64_t, kExchangeFailureClasses>{1, 1, 2, 2, 2}));
}

}  // namespace
}  // namespace mfab
