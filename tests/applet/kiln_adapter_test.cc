#include "applet/kiln_adapter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

#include "applet/kiln_exceptions.h"
#include "tests/applet/applet_test_support.h"
#include "tests/fakes/log_capture.h"

namespace mfab {
namespace {

using keystone::testing::Eventually;
using keystone::testing::Gate;
using keystone::testing::LogCapture;

class KILNAdapterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    capture = LogCapture::Install();
    keystone::testing::EnableEngineLog();
  }
  void TearDown() override { capture->Uninstall(); }

  // Long enough for a call that is not held back to finish on a loaded machine.
  static KILNAdapter::Options Shrunk() { return KILNAdapter::Options{250}; }

  std::shared_ptr<LogCapture> capture;
};

TEST_F(KILNAdapterTest, ReturnsResultOrPropagatesFailureOfCallInTime) {
  KILNAdapter adapter(Shrunk());
  EXPECT_EQ(adapter.Call([] { return 42; }, nullptr), 42);
  EXPECT_THROW(adapter.Call([]() -> int { throw std::logic_error("inner"); }, nullptr),
               std::logic_error);
  // Neither outcome leaves the adapter busy.
  EXPECT_FALSE(adapter.IsBusy());
  EXPECT_EQ(adapter.Call([] { return std::string("again"); }, nullptr), "again");
}

TEST_F(KILNAdapterTest, TimedOutCallLeavesAdapterBusyUntilRecoveryHasRun) {
  KILNAdapter adapter(Shrunk());
  Gate release;
  std::atomic<bool> callFinished{false};
  std::atomic<bool> recoveryRan{false};
  std::atomic<bool> recoveryAfterCall{false};

  EXPECT_THROW(adapter.Call(
                   [&] {
                     release.Wait();
                     callFinished = true;
                     return 0;
                   },
                   [&] {
                     recoveryAfterCall = callFinished.load();
                     recoveryRan = true;
                   }),
               KILNCallTimeoutException);
  // The hung call is still running: the caller was not kept waiting for it.
  EXPECT_FALSE(callFinished);
  EXPECT_TRUE(adapter.IsBusy());
  EXPECT_THROW(adapter.Call([] { return 1; }, nullptr), KILNBusyException);
  EXPECT_FALSE(recoveryRan);

  release.Open();
  ASSERT_TRUE(Eventually([&] { return !adapter.IsBusy(); }));
  EXPECT_TRUE(recoveryRan);
  EXPECT_TRUE(recoveryAfterCall);
  EXPECT_EQ(adapter.Call([] { return 7; }, nullptr), 7);

  EXPECT_TRUE(capture->Has("KILN function has timed out. Starting recovery asynchronously"));
  EXPECT_TRUE(capture->Has("Waiting for KILN call to finish"));
  EXPECT_TRUE(capture->Has("Running recovery function"));
}

TEST_F(KILNAdapterTest, FailingRecoveryIsLoggedAndStillClearsBusy) {
  KILNAdapter adapter(Shrunk());
  Gate release;
  EXPECT_THROW(adapter.Call(
                   [&] {
                     release.Wait();
                     return 0;
                   },
                   [] { throw std::runtime_error("device gone"); }),
               KILNCallTimeoutException);
  release.Open();
  ASSERT_TRUE(Eventually([&] { return !adapter.IsBusy(); }));
  EXPECT_TRUE(capture->Has("Recovery function failed (device gone)"));

  Gate second;
  EXPECT_THROW(adapter.Call(
                   [&] {
                     second.Wait();
                     return 0;
                   },
                   [] { throw 17; }),
               KILNCallTimeoutException);
  second.Open();
  ASSERT_TRUE(Eventually([&] { return !adapter.IsBusy(); }));
  EXPECT_TRUE(capture->Has("Recovery function failed (Unknown exception)"));
}

TEST_F(KILNAdapterTest, AbandonedCallsAreParkedAndPrunedOnceFinished) {
  KILNAdapter adapter(Shrunk());
  Gate first;
  EXPECT_THROW(adapter.Call([&] { return first.Wait(); }, nullptr), KILNCallTimeoutException);
  const size_t parked = KILNAdapter::AbandonedCallCountForTesting();
  EXPECT_GE(parked, 1u);
  first.Open();
  ASSERT_TRUE(Eventually([&] { return !adapter.IsBusy(); }));

  Gate second;
  EXPECT_THROW(adapter.Call([&] { return second.Wait(); }, nullptr), KILNCallTimeoutException);
  // The first worker had finished, so parking the second pruned it.
  EXPECT_LE(KILNAdapter::AbandonedCallCountForTesting(), parked);
  second.Open();
}

TEST_F(KILNAdapterTest, DestructorWaitsForRunningRecovery) {
  std::atomic<bool> recoveryRan{false};
  Gate release;
  std::thread opener;
  {
    KILNAdapter adapter(Shrunk());
    EXPECT_THROW(adapter.Call([&] { return release.Wait(); }, [&] { recoveryRan = true; }),
                 KILNCallTimeoutException);
    opener = std::thread([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      release.Open();
    });
  }
  EXPECT_TRUE(recoveryRan);
  EXPECT_TRUE(capture->Has("Wait for kiln thread to end "));
  opener.join();
}

TEST_F(KILNAdapterTest, ConcurrentCallersAreRefusedNotQueued) {
  KILNAdapter adapter(KILNAdapter::Options{5'000});
  Gate release;
  Gate started;
  std::thread first([&] {
    adapter.Call(
        [&] {
          started.Open();
          return release.Wait();
        },
        nullptr);
  });
  ASSERT_TRUE(started.Wait());
  EXPECT_THROW(adapter.Call([] { return 0; }, nullptr), KILNBusyException);
  release.Open();
  first.join();
  EXPECT_FALSE(adapter.IsBusy());
}

}  // namespace
}  // namespace mfab
