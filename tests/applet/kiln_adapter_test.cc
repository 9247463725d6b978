// Reaching the KILN library: loading it, and calling it under a time limit.

#include "applet/kiln_adapter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <stdexcept>

#include "applet/kiln_exceptions.h"
#include "applet/kiln_library.h"
#include "common/config_keys.h"
#include "platform/registry.h"
#include "platform/shared_library.h"
#include "tests/applet/applet_test_support.h"
#include "tests/fakes/log_capture.h"
#include "tests/fakes/memory_registry.h"

namespace mfab {
namespace {

using keystone::testing::Eventually;

// A call that returns once release is set (or a safety limit passes). It shares what it waits
// on, since a timed-out call outlives the caller's frame.
std::function<bool()> HeldUntil(std::promise<void>& release) {
  return [done = release.get_future().share()] {
    return done.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
  };
}

class KILNAdapterTest : public ::testing::Test {
 protected:
  void SetUp() override { keystone::testing::EnableEngineLog(); }
  void TearDown() override { capture->Uninstall(); }

  std::shared_ptr<keystone::testing::LogCapture> capture = keystone::testing::LogCapture::Install();
  // Long enough for a call that is not held back to finish on a loaded machine.
  const KILNAdapter::Options shrunk{250};
  KILNAdapter adapter{shrunk};
};

// Each time-out leaves the adapter busy until the call has returned and the recovery has run; a
// failing recovery is logged.
TEST_F(KILNAdapterTest, TimedOutCallLeavesAdapterBusyUntilRecoveryHasRun) {
  EXPECT_EQ(adapter.Call([] { return 42; }, nullptr), 42);
  EXPECT_THROW(adapter.Call([]() -> int { throw std::logic_error("inner"); }, nullptr),
               std::logic_error);
  EXPECT_FALSE(adapter.IsBusy());

  const std::pair<std::function<void()>, const char*> recoveries[] = {
      {[] {}, "Running recovery function"},
      {[] { throw std::runtime_error("device gone"); }, "Recovery function failed (device gone)"},
      {[] { throw 17; }, "Recovery function failed (Unknown exception)"}};
  for (const auto& [recoveryFunction, log] : recoveries) {
    const auto& recovery = recoveryFunction;
    std::promise<void> release;
    auto callFinished = std::make_shared<std::atomic<bool>>(false);
    std::atomic<bool> recoveryAfterCall{false};
    EXPECT_THROW(
        adapter.Call([held = HeldUntil(release), callFinished] { return *callFinished = held(); },
                     [&] {
                       recoveryAfterCall = callFinished->load();
                       recovery();
                     }),
        KILNCallTimeoutException);
    // The hung call is still running: the caller was not kept waiting for it.
    EXPECT_FALSE(*callFinished);
    EXPECT_TRUE(adapter.IsBusy());
    EXPECT_THROW(adapter.Call([] { return 1; }, nullptr), KILNBusyException);
    release.set_value();
    ASSERT_TRUE(Eventually([&] { return !adapter.IsBusy(); }));
    EXPECT_TRUE(recoveryAfterCall);
    EXPECT_TRUE(capture->Has(log)) << log;
  }
  EXPECT_EQ(adapter.Call([] { return 7; }, nullptr), 7);
  EXPECT_TRUE(capture->Has("KILN function has timed out. Starting recovery asynchronously"));
  EXPECT_TRUE(capture->Has("Waiting for KILN call to finish"));
}

TEST_F(KILNAdapterTest, DestructorWaitsForRunningRecovery) {
  std::atomic<bool> recoveryRan{false};
  std::promise<void> release;
  std::thread opener;
  {
    KILNAdapter own(shrunk);
    EXPECT_THROW(own.Call(HeldUntil(release), [&] { recoveryRan = true; }),
                 KILNCallTimeoutException);
    opener = std::thread([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      release.set_value();
    });
  }
  EXPECT_TRUE(recoveryRan);
  EXPECT_TRUE(capture->Has("Wait for kiln thread to end "));
  opener.join();
}

TEST_F(KILNAdapterTest, ConcurrentCallersAreRefusedNotQueued) {
  KILNAdapter patient(KILNAdapter::Options{5'000});
  std::promise<void> release;
  std::promise<void> started;
  std::thread first([&, held = HeldUntil(release)] {
    patient.Call(
        [&] {
          started.set_value();
          return held();
        },
        nullptr);
  });
  ASSERT_EQ(started.get_future().wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_THROW(patient.Call([] { return 0; }, nullptr), KILNBusyException);
  release.set_value();
  first.join();
  EXPECT_FALSE(patient.IsBusy());
}

// The reason each failed load gives; a load is tried again on every use.
TEST(KilnLibraryTest, FailedLoadNamesLibraryAndReasonOnEveryUse) {
  auto capture = keystone::testing::LogCapture::Install();
  keystone::testing::EnableEngineLog();
  SharedKilnLibrary missing("/nonexistent/libkiln-none.so");
  KILN_HANDLE handle = nullptr;
  try {
    missing.Initialize(&handle, nullptr, 0);
    ADD_FAILURE() << "loaded";
  } catch (const KilnLibraryException& e) {
    EXPECT_NE(std::string(e.what()).find("No such file"), std::string::npos) << e.what();
    EXPECT_EQ(e.Context(), "/nonexistent/libkiln-none.so");
  }
  EXPECT_TRUE(capture->Contains("KILN library unavailable: cannot load library /nonexistent"));
  EXPECT_THROW(missing.Load(), KilnLibraryException);
  capture->Uninstall();

  // A library every system has that exports none of the KILN functions.
  const std::string text = keystone::testing::ThrownText<KilnLibraryException>(
      [] { SharedKilnLibrary("libm.so.6").Load(); });
  EXPECT_NE(text.find("libm.so.6 does not export KILN_Initialize"), std::string::npos) << text;
}

// The configured path itself is loaded in the simulator's engine tests.
TEST(KilnLibraryTest, WithoutARegistryPathTheExecutableDirectoryIsUsedValueReadAtFirstUse) {
  keystone::testing::MemoryRegistry registry;
  SharedKilnLibrary library(registry);
  const std::string fallback = platform::ExecutableDirectory() + "/" + kDefaultKilnLibraryName;
  EXPECT_EQ(library.LibraryPath(), fallback);
  for (const char* path : {"", "libm.so.6"}) {
    platform::WriteRegistryValue(registry, keystone::kEngineKey, kKilnLibraryPathValue,
                                 platform::RegValue::String(path));
    EXPECT_EQ(library.LibraryPath(), *path ? path : fallback);
  }
  EXPECT_THROW(library.Load(), KilnLibraryException);
}

}  // namespace
}  // namespace mfab
