#include "platform/posix/logind_monitor.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include <systemd/sd-bus.h>

#include "platform/service_host.h"
#include "tests/fakes/fake_logind.h"
#include "tests/platform/platform_test_support.h"

namespace platform::posix {
namespace {

using ::testing::ElementsAre;

constexpr const char* kBusVariable = "DBUS_SYSTEM_BUS_ADDRESS";
constexpr const char* kManagerPath = "/org/freedesktop/login1";
constexpr const char* kManager = "org.freedesktop.login1.Manager";
constexpr const char* kSessionPath = "/org/freedesktop/login1/session/_32";
constexpr const char* kSession = "org.freedesktop.login1.Session";

class LogindMonitorTest : public platform_test::ServiceHostFixture {
 protected:
  // A dbus-daemon of the test's own is the system bus; the test owns logind's name on it.
  void SetUp() override {
    if (!bus.Ready()) GTEST_SKIP() << "no dbus-daemon for a bus of the test's own";
    logind = Connect();
    ASSERT_NE(logind, nullptr);
    ASSERT_GE(sd_bus_request_name(logind, "org.freedesktop.login1", 0), 0);
  }
  void TearDown() override { sd_bus_flush_close_unref(logind); }

  // A connection of the test to the system bus, which is ours now.
  static sd_bus* Connect() {
    sd_bus* bus = nullptr;
    return sd_bus_open_system(&bus) < 0 ? nullptr : bus;
  }

  keystone::testing::PrivateSystemBus bus;
  sd_bus* logind = nullptr;
};

TEST_F(LogindMonitorTest, OnlyLogindsOwnSignalsReachTheServiceAsEvents) {
  const int result = Run(kServiceRunning, [&] {
    // The host subscribed before it started the service.
    EXPECT_TRUE(capture->Has("Listening to systemd-logind's power and session signals"));
    // From someone who does not own logind's name: the bus does not deliver it. Once the bus
    // answered a later call of the impostor it has routed the signal, ahead of logind's below,
    // so a delivered one would come first in the list.
    sd_bus* impostor = Connect();
    ASSERT_NE(impostor, nullptr);
    sd_bus_emit_signal(impostor, kManagerPath, kManager, "PrepareForSleep", "b", 1);
    EXPECT_GE(sd_bus_call_method(impostor, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                 "org.freedesktop.DBus", "GetId", nullptr, nullptr, ""),
              0);
    sd_bus_flush_close_unref(impostor);

    // Not ours: another member and a malformed PrepareForSleep.
    sd_bus_emit_signal(logind, kManagerPath, kManager, "SessionNew", "so", "3", kSessionPath);
    sd_bus_emit_signal(logind, kManagerPath, kManager, "PrepareForSleep", "s", "yes");
    sd_bus_emit_signal(logind, kManagerPath, kManager, "PrepareForSleep", "b", 1);
    sd_bus_emit_signal(logind, kManagerPath, kManager, "PrepareForSleep", "b", 0);
    sd_bus_emit_signal(logind, kSessionPath, kSession, "Lock", "");
    sd_bus_emit_signal(logind, kSessionPath, kSession, "Unlock", "");
    sd_bus_emit_signal(logind, kManagerPath, kManager, "SessionRemoved", "so", "2", kSessionPath);
    sd_bus_flush(logind);
    // Every signal to be ignored went before the last expected one: one let through is listed.
    EXPECT_TRUE(log.WaitFor(5));
  });
  EXPECT_EQ(result, 0);
  EXPECT_THAT(log.Get(), ElementsAre("13/4", "13/18", "14/7", "14/8", "14/6"));
  EXPECT_TRUE(capture->Has("Ignoring a malformed PrepareForSleep signal"));
}

TEST_F(LogindMonitorTest, AbsentSessionManagerIsNotFatal) {
  sd_bus_release_name(logind, "org.freedesktop.login1");
  LogindMonitor monitor([](uint32_t, uint32_t, const char*) {});
  EXPECT_TRUE(monitor.Start());  // subscribed for when logind appears
  EXPECT_TRUE(capture->Contains("systemd-logind is not on the system bus"));

  ::setenv(kBusVariable, ("unix:path=" + runtime.path + "/nothing-here").c_str(), 1);
  EXPECT_EQ(Run(kServiceRunning, [] {}), 0);
  EXPECT_THAT(log.Get(), ::testing::IsEmpty());
  EXPECT_TRUE(capture->Contains("No system bus"));
}

}  // namespace
}  // namespace platform::posix
