#include "platform/posix/logind_monitor.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <systemd/sd-bus.h>

#include "platform/service_host.h"
#include "tests/fakes/log_capture.h"
#include "tests/platform/platform_test_support.h"

namespace platform::posix {
namespace {

using keystone::testing::LogCapture;
using platform_test::kWaitLimit;
using ::testing::ElementsAre;
using namespace std::chrono_literals;

constexpr const char* kDbusDaemon = "/usr/bin/dbus-daemon";
constexpr const char* kBusVariable = "DBUS_SYSTEM_BUS_ADDRESS";
constexpr const char* kManagerPath = "/org/freedesktop/login1";
constexpr const char* kManager = "org.freedesktop.login1.Manager";
constexpr const char* kSessionPath = "/org/freedesktop/login1/session/_32";
constexpr const char* kSession = "org.freedesktop.login1.Session";

class LogindMonitorTest : public ::testing::Test {
 protected:
  // Starts a dbus-daemon of the test's own, with a permissive policy, as the system bus.
  void SetUp() override {
    if (const char* previous = std::getenv(kBusVariable)) savedAddress = previous;
    if (::access(kDbusDaemon, X_OK) != 0) GTEST_SKIP() << "dbus-daemon is not installed";
    const std::string config = dir.path + "/bus.conf";
    std::ofstream(config) << "<busconfig><type>system</type><listen>unix:path=" << dir.path
                          << "/bus</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                             "<allow user=\"*\"/><allow own=\"*\"/>"
                             "<allow send_destination=\"*\" eavesdrop=\"true\"/>"
                             "<allow eavesdrop=\"true\"/></policy></busconfig>\n";
    daemon.emplace(std::vector<std::string>{kDbusDaemon, "--config-file=" + config, "--nofork",
                                            "--print-address=3"},
                   std::vector<std::string>{});
    // It prints its address once it listens.
    if (!daemon->WaitForOutput()) GTEST_SKIP() << "dbus-daemon did not start";
    ::setenv(kBusVariable, ("unix:path=" + dir.path + "/bus").c_str(), 1);
    logind = Connect();
    ASSERT_NE(logind, nullptr);
    ASSERT_GE(sd_bus_request_name(logind, "org.freedesktop.login1", 0), 0);
  }
  void TearDown() override {
    if (logind) sd_bus_flush_close_unref(logind);
    if (daemon) daemon->Stop(SIGTERM);
    if (savedAddress) {
      ::setenv(kBusVariable, savedAddress->c_str(), 1);
    } else {
      ::unsetenv(kBusVariable);
    }
    capture->Uninstall();
  }

  // A connection of the test to the system bus, which is ours now.
  static sd_bus* Connect() {
    sd_bus* bus = nullptr;
    return sd_bus_open_system(&bus) < 0 ? nullptr : bus;
  }

  // Pumps the monitor until it has delivered count events or the limit passes.
  void Pump(LogindMonitor& monitor, size_t count, std::chrono::milliseconds limit = kWaitLimit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (events.size() < count && std::chrono::steady_clock::now() < deadline) {
      pollfd entry{monitor.Fd(), monitor.Events(), 0};
      ::poll(&entry, 1, 20);
      monitor.Process();
    }
  }
  LogindMonitor MakeMonitor() {
    return LogindMonitor([this](uint32_t control, uint32_t eventType, const char*) {
      events.push_back(std::to_string(control) + "/" + std::to_string(eventType));
    });
  }

  std::shared_ptr<LogCapture> capture = LogCapture::Install();
  platform_test::TempDir dir;
  std::optional<platform_test::ChildProcess> daemon;
  sd_bus* logind = nullptr;
  std::optional<std::string> savedAddress;
  std::vector<std::string> events;
};

TEST_F(LogindMonitorTest, LogindSignalsBecomePowerAndSessionEventsAndOthersAreIgnored) {
  LogindMonitor monitor = MakeMonitor();
  ASSERT_TRUE(monitor.Start());
  EXPECT_TRUE(capture->Has("Listening to systemd-logind's power and session signals"));
  // From someone who does not own logind's name: the bus does not deliver it.
  sd_bus* impostor = Connect();
  ASSERT_NE(impostor, nullptr);
  sd_bus_emit_signal(impostor, kManagerPath, kManager, "PrepareForSleep", "b", 1);
  sd_bus_flush_close_unref(impostor);

  sd_bus_emit_signal(logind, kManagerPath, kManager, "PrepareForSleep", "b", 1);
  sd_bus_emit_signal(logind, kManagerPath, kManager, "PrepareForSleep", "b", 0);
  sd_bus_emit_signal(logind, kSessionPath, kSession, "Lock", "");
  sd_bus_emit_signal(logind, kSessionPath, kSession, "Unlock", "");
  sd_bus_emit_signal(logind, kManagerPath, kManager, "SessionRemoved", "so", "2", kSessionPath);
  // Not ours: another member and a malformed PrepareForSleep.
  sd_bus_emit_signal(logind, kManagerPath, kManager, "SessionNew", "so", "3", kSessionPath);
  sd_bus_emit_signal(logind, kManagerPath, kManager, "PrepareForSleep", "s", "yes");
  sd_bus_flush(logind);
  Pump(monitor, 5);
  Pump(monitor, 6, 200ms);
  EXPECT_THAT(events, ElementsAre("13/4", "13/18", "14/7", "14/8", "14/6"));
  EXPECT_TRUE(capture->Has("Ignoring a malformed PrepareForSleep signal"));
}

TEST_F(LogindMonitorTest, MissingLogindOrBusIsLoggedAndNotFatal) {
  sd_bus_release_name(logind, "org.freedesktop.login1");
  {
    LogindMonitor monitor = MakeMonitor();
    EXPECT_TRUE(monitor.Start());  // subscribed for when logind appears
    EXPECT_TRUE(capture->Contains("systemd-logind is not on the system bus"));
  }
  ::setenv(kBusVariable, ("unix:path=" + dir.path + "/nothing-here").c_str(), 1);
  LogindMonitor monitor = MakeMonitor();
  EXPECT_FALSE(monitor.Start());
  EXPECT_FALSE(monitor.Connected());
  EXPECT_TRUE(capture->Contains("No system bus"));
  monitor.Process();  // harmless without a bus
}

TEST_F(LogindMonitorTest, ServiceHostHandsLogindSignalsToTheHandler) {
  ServiceHostOptions options;
  options.runtimeDirectory = dir.path + "/run";
  platform_test::ControlLog log;
  const int result =
      platform_test::RunService(*CreateServiceHost(options), kServiceRunning, log, [&] {
        // The host subscribed before it started the service.
        EXPECT_TRUE(capture->Has("Listening to systemd-logind's power and session signals"));
        sd_bus_emit_signal(logind, kManagerPath, kManager, "PrepareForSleep", "b", 1);
        sd_bus_flush(logind);
        EXPECT_TRUE(log.WaitFor(1));
      });
  EXPECT_EQ(result, 0);
  EXPECT_THAT(log.Get(), ElementsAre("13/4"));
}

}  // namespace
}  // namespace platform::posix
