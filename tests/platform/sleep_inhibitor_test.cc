// The service host's hold on logind's sleep: taken at start, released only after the service
// reported its sleep work over, taken again on resume.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>

#include <systemd/sd-bus.h>

#include "platform/service_host.h"
#include "tests/fakes/eventually.h"
#include "tests/fakes/log_capture.h"
#include "tests/platform/inhibiting_logind.h"
#include "tests/platform/platform_test_support.h"

namespace platform {
namespace {

using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;

// One call answered by logind's serving loop: a release that happened before it was sent is
// listed before the call's end.
void RoundTripThroughLogind() {
  sd_bus* bus = nullptr;
  ASSERT_GE(sd_bus_open_system(&bus), 0);
  EXPECT_GE(sd_bus_call_method(bus, "org.freedesktop.login1", "/org/freedesktop/login1",
                               "org.freedesktop.DBus.Peer", "Ping", nullptr, nullptr, ""),
            0);
  sd_bus_flush_close_unref(bus);
}

class SleepInhibitorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!logind.Ready()) GTEST_SKIP() << "no dbus-daemon for a bus of the test's own";
  }
  void TearDown() override { capture->Uninstall(); }
  // The host got logind's answer and holds the descriptor (not only asked for it).
  void WaitUntilHeld() {
    ASSERT_TRUE(logind.WaitForEvents(1));
    ASSERT_TRUE(keystone::testing::Eventually(
        [&] { return capture->Contains("Holding a sleep delay inhibitor of systemd-logind"); }));
  }

  // Runs a service that reports startState and whose sleep work runs on a thread of its own and
  // reports itself over to the host (unless the service is idle); body runs while the service does.
  void Run(uint32_t startState, const std::function<void()>& body, bool idle = false) {
    ServiceHostOptions options;
    options.runtimeDirectory = dir.path + "/run";
    std::unique_ptr<ServiceHost> host = CreateServiceHost(options);
    std::jthread sleepWork;
    platform_test::ControlLog controls;
    controls.onControl = [&](uint32_t control, uint32_t eventType) {
      if (idle) return;
      if (control == kServiceControlPowerEvent && eventType == kPbtApmSuspend) {
        sleepWork = std::jthread([&] {
          logind.Record("sleep work started");
          RoundTripThroughLogind();
          logind.Record("sleep work done");
          host->PowerEventHandled(kPbtApmSuspend);
        });
      } else if (control == kServiceControlPowerEvent) {
        logind.Record("resume");
      }
    };
    EXPECT_EQ(platform_test::RunService(*host, startState, controls,
                                        [&] {
                                          body();
                                          if (sleepWork.joinable()) sleepWork.join();
                                        }),
              0);
  }

  std::shared_ptr<keystone::testing::LogCapture> capture = keystone::testing::LogCapture::Install();
  platform_test::TempDir dir;
  platform_test::InhibitingLogind logind;
};

TEST_F(SleepInhibitorTest, InhibitorIsReleasedOnlyAfterTheSleepWorkIsOver) {
  Run(kServiceRunning, [&] {
    WaitUntilHeld();
    logind.PrepareForSleep(true);
    ASSERT_TRUE(logind.WaitForEvents(5));
    logind.PrepareForSleep(false);
    ASSERT_TRUE(logind.WaitForEvents(8));
  });
  const auto events = logind.Events();
  ASSERT_EQ(events.size(), 8u);
  EXPECT_THAT(std::vector<std::string>(events.begin(), events.begin() + 6),
              ElementsAre("Inhibit sleep delay #1", "PrepareForSleep(true)", "sleep work started",
                          "sleep work done", "released #1", "PrepareForSleep(false)"));
  // The new inhibitor is asked for before the resume is handed on, but answered on its own.
  EXPECT_THAT(std::vector<std::string>(events.begin() + 6, events.end()),
              UnorderedElementsAre("Inhibit sleep delay #2", "resume"));
  // The host's end lets go of the one taken on resume.
  EXPECT_TRUE(keystone::testing::Eventually([&] { return logind.Held() == 0; }));
}

TEST_F(SleepInhibitorTest, SleepTheServiceDoesNotTakeReleasesTheInhibitorAtOnce) {
  Run(kServiceStartPending, [&] {
    WaitUntilHeld();
    logind.PrepareForSleep(true);
    ASSERT_TRUE(logind.WaitForEvents(3));
  });
  EXPECT_THAT(logind.Events(),
              ElementsAre("Inhibit sleep delay #1", "PrepareForSleep(true)", "released #1"));
  EXPECT_TRUE(capture->Contains("not accept 'PrepareForSleep(true)'"));
}

// The service never reports its sleep work: logind's own limit lets the machine sleep, and the
// resume replaces the inhibitor that was still held.
TEST_F(SleepInhibitorTest, SleepAfterAMissedReportTakesAFreshInhibitor) {
  Run(
      kServiceRunning,
      [&] {
        WaitUntilHeld();
        logind.PrepareForSleep(true);
        logind.PrepareForSleep(false);
        ASSERT_TRUE(logind.WaitForEvents(5));
      },
      /*idle=*/true);
  EXPECT_THAT(logind.Events(),
              ElementsAre("Inhibit sleep delay #1", "PrepareForSleep(true)",
                          "PrepareForSleep(false)", "released #1", "Inhibit sleep delay #2"));
}

}  // namespace
}  // namespace platform
