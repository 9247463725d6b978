#include "platform/posix/logind_monitor.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include <systemd/sd-bus.h>

#include "platform/control_client.h"
#include "platform/service_host.h"
#include "tests/fakes/log_capture.h"

namespace platform::posix {
namespace {

using keystone::testing::LogCapture;
using namespace std::chrono_literals;

constexpr auto kWaitLimit = 10s;
constexpr const char* kDbusDaemon = "/usr/bin/dbus-daemon";

// A dbus-daemon of the test's own, with a permissive policy, in a temporary directory.
class PrivateBus {
 public:
  PrivateBus() {
    std::string pattern = (std::filesystem::temp_directory_path() / "ks-bus-XXXXXX").string();
    dir = ::mkdtemp(pattern.data());
  }
  ~PrivateBus() {
    if (pid > 0) {
      ::kill(pid, SIGTERM);
      const auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
      while (::waitpid(pid, nullptr, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
          ::kill(pid, SIGKILL);
          ::waitpid(pid, nullptr, 0);
          break;
        }
        std::this_thread::sleep_for(5ms);
      }
    }
    std::filesystem::remove_all(dir);
  }

  // Starts the daemon; returns the reason when it cannot.
  std::string Start() {
    if (::access(kDbusDaemon, X_OK) != 0) return "dbus-daemon is not installed";
    const std::string config = dir + "/bus.conf";
    std::ofstream(config) << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus "
                             "Configuration 1.0//EN\" "
                             "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                             "<busconfig><type>system</type>"
                             "<listen>unix:path=" << dir << "/bus</listen>"
                             "<auth>EXTERNAL</auth>"
                             "<policy context=\"default\"><allow user=\"*\"/>"
                             "<allow own=\"*\"/><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                             "<allow eavesdrop=\"true\"/></policy></busconfig>\n";
    int out[2];
    if (::pipe(out) != 0) return "pipe failed";
    pid = ::fork();
    if (pid == 0) {
      // The runner's thread may have the stop signals blocked; the daemon must not inherit that.
      sigset_t none;
      sigemptyset(&none);
      ::sigprocmask(SIG_SETMASK, &none, nullptr);
      ::dup2(out[1], 3);
      const std::string configArg = "--config-file=" + config;
      ::execl(kDbusDaemon, kDbusDaemon, configArg.c_str(), "--nofork", "--print-address=3",
              static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(out[1]);
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
    while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      pollfd entry{out[0], POLLIN, 0};
      if (::poll(&entry, 1, 100) <= 0) continue;
      char buffer[256];
      const ssize_t n = ::read(out[0], buffer, sizeof(buffer));
      if (n <= 0) break;
      line.append(buffer, static_cast<size_t>(n));
    }
    ::close(out[0]);
    const size_t newline = line.find('\n');
    if (newline == std::string::npos) return "dbus-daemon did not start";
    address = line.substr(0, newline);
    return {};
  }

  // A client connection of the test.
  sd_bus* Connect() {
    sd_bus* bus = nullptr;
    if (sd_bus_new(&bus) < 0) return nullptr;
    sd_bus_set_address(bus, address.c_str());
    sd_bus_set_bus_client(bus, 1);
    if (sd_bus_start(bus) < 0) {
      sd_bus_unref(bus);
      return nullptr;
    }
    return bus;
  }

  std::string dir;
  std::string address;
  pid_t pid = -1;
};

struct Event {
  uint32_t control;
  uint32_t eventType;
  bool operator==(const Event&) const = default;
};

class LogindMonitorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    capture = LogCapture::Install();
    if (const char* previous = std::getenv("DBUS_SYSTEM_BUS_ADDRESS")) savedAddress = previous;
    const std::string why = bus.Start();
    if (!why.empty()) GTEST_SKIP() << why;
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.address.c_str(), 1);
    logind = bus.Connect();
    ASSERT_NE(logind, nullptr);
  }
  void TearDown() override {
    if (logind) sd_bus_flush_close_unref(logind);
    if (savedAddress.empty()) {
      ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    } else {
      ::setenv("DBUS_SYSTEM_BUS_ADDRESS", savedAddress.c_str(), 1);
    }
    capture->Uninstall();
  }

  void OwnLogindName() {
    ASSERT_GE(sd_bus_request_name(logind, "org.freedesktop.login1", 0), 0);
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
      events.push_back({control, eventType});
    });
  }

  PrivateBus bus;
  sd_bus* logind = nullptr;
  std::string savedAddress;
  std::shared_ptr<LogCapture> capture;
  std::vector<Event> events;
};

TEST_F(LogindMonitorTest, LogindSignalsBecomePowerAndSessionEvents) {
  OwnLogindName();
  LogindMonitor monitor = MakeMonitor();
  ASSERT_TRUE(monitor.Start());
  EXPECT_TRUE(capture->Has("Listening to systemd-logind's power and session signals"));

  const char* session = "/org/freedesktop/login1/session/_32";
  sd_bus_emit_signal(logind, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                     "PrepareForSleep", "b", 1);
  sd_bus_emit_signal(logind, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                     "PrepareForSleep", "b", 0);
  sd_bus_emit_signal(logind, session, "org.freedesktop.login1.Session", "Lock", "");
  sd_bus_emit_signal(logind, session, "org.freedesktop.login1.Session", "Unlock", "");
  sd_bus_emit_signal(logind, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                     "SessionRemoved", "so", "2", session);
  // Not ours: another member and a malformed PrepareForSleep.
  sd_bus_emit_signal(logind, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                     "SessionNew", "so", "3", session);
  sd_bus_emit_signal(logind, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                     "PrepareForSleep", "s", "yes");
  sd_bus_flush(logind);
  Pump(monitor, 5);
  Pump(monitor, 6, 200ms);
  const std::vector<Event> expected = {{13, 4}, {13, 18}, {14, 7}, {14, 8}, {14, 6}};
  EXPECT_EQ(events, expected);
  EXPECT_TRUE(capture->Has("Ignoring a malformed PrepareForSleep signal"));
}

TEST_F(LogindMonitorTest, SignalsFromOthersThanLogindAreNotDelivered) {
  OwnLogindName();
  LogindMonitor monitor = MakeMonitor();
  ASSERT_TRUE(monitor.Start());
  sd_bus* impostor = bus.Connect();
  ASSERT_NE(impostor, nullptr);
  sd_bus_emit_signal(impostor, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                     "PrepareForSleep", "b", 1);
  sd_bus_flush(impostor);
  Pump(monitor, 1, 200ms);
  sd_bus_emit_signal(logind, "/org/freedesktop/login1/session/_1", "org.freedesktop.login1.Session",
                     "Lock", "");
  sd_bus_flush(logind);
  Pump(monitor, 1);
  Pump(monitor, 2, 200ms);
  EXPECT_EQ(events, (std::vector<Event>{{14, 7}}));
  sd_bus_flush_close_unref(impostor);
}

TEST_F(LogindMonitorTest, MissingLogindOrBusIsLoggedAndNotFatal) {
  {
    LogindMonitor monitor = MakeMonitor();
    EXPECT_TRUE(monitor.Start());  // subscribed for when logind appears
    EXPECT_TRUE(capture->Contains("systemd-logind is not on the system bus"));
  }
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + bus.dir + "/nothing-here").c_str(), 1);
  LogindMonitor monitor = MakeMonitor();
  EXPECT_FALSE(monitor.Start());
  EXPECT_FALSE(monitor.Connected());
  EXPECT_TRUE(capture->Contains("No system bus"));
  monitor.Process();  // harmless without a bus
}

TEST_F(LogindMonitorTest, ServiceHostHandsLogindSignalsToTheHandler) {
  OwnLogindName();
  std::string pattern = (std::filesystem::temp_directory_path() / "ks-hostbus-XXXXXX").string();
  const std::string runtime = ::mkdtemp(pattern.data());
  ServiceHostOptions options;
  options.runtimeDirectory = runtime;
  auto host = CreateServiceHost(options);

  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Event> received;
  bool running = false;
  bool stop = false;
  std::thread dispatcher([&] {
    host->StartServiceCtrlDispatcher("KeystoneTest", [&] {
      host->RegisterServiceCtrlHandler("KeystoneTest", [&](uint32_t c, uint32_t e, const void*) {
        std::lock_guard<std::mutex> lock(mutex);
        received.push_back({c, e});
        if (c == kServiceControlStop) stop = true;
        changed.notify_all();
        return 0u;
      });
      ServiceStatus status;
      status.currentState = kServiceRunning;
      status.controlsAccepted = 0x1C1;
      host->SetServiceStatus(status);
      std::unique_lock<std::mutex> lock(mutex);
      running = true;
      changed.notify_all();
      changed.wait_for(lock, kWaitLimit, [&] { return stop; });
    });
  });
  {
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, kWaitLimit, [&] { return running; }));
  }
  // The host subscribed before it started the service.
  EXPECT_TRUE(capture->Has("Listening to systemd-logind's power and session signals"));
  sd_bus_emit_signal(logind, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                     "PrepareForSleep", "b", 1);
  sd_bus_flush(logind);
  {
    std::unique_lock<std::mutex> lock(mutex);
    EXPECT_TRUE(changed.wait_for(lock, kWaitLimit, [&] { return !received.empty(); }));
  }
  EXPECT_EQ(SendControlRequest(runtime, "stop"), "ok");
  dispatcher.join();
  EXPECT_EQ(received, (std::vector<Event>{{13, 4}, {1, 0}}));
  std::filesystem::remove_all(runtime);
}

}  // namespace
}  // namespace platform::posix
