// The Linux service host with a test service, its control socket, systemd-logind's signals and
// the power capabilities it reports. The engine's own run under the host is covered by the engine's
// integration tests; how a connection's bytes split into requests, and other spellings of accepted
// requests, by the control socket's fuzz target.

#include "platform/service_host.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include <systemd/sd-bus.h>

#include "common/config_keys.h"
#include "log/logger.h"
#include "platform/control_client.h"
#include "platform/posix/control_socket.h"
#include "platform/posix/logind_monitor.h"
#include "platform/power_capabilities.h"
#include "platform/registry.h"
#include "platform/unix_socket.h"
#include "tests/fakes/fake_logind.h"
#include "tests/platform/platform_test_support.h"

namespace platform {
namespace {

namespace stdfs = std::filesystem;
using platform_test::kWaitLimit;
using posix::ControlProtocolError;
using ::testing::ElementsAre;
using namespace std::chrono_literals;

// A helper of PeersOfOtherUsersAreRefused: asks for a stop as "nobody". Exits 0 when refused
// with the documented reply, 2 when the connect itself was refused, 1 otherwise.
[[maybe_unused]] const bool kNobodyRole =
    platform_test::HelperRole("control-as-nobody", [](const std::string& runtimeDirectory) {
      try {
        const std::string reply = SendControlRequest(runtimeDirectory, "stop");
        return reply == "error permission denied: uid 65534 may not use the control socket" ? 0 : 1;
      } catch (const std::system_error& e) {
        return e.code().value() == EACCES ? 2 : 1;
      }
    });

TEST(ControlRequestTest, RefusesMalformedRequestsWithAReason) {
  const std::pair<std::string, std::string> cases[] = {
      {"   ", "empty request"},
      {"reboot", "unknown command 'reboot'"},
      {"sleep now", "'sleep' takes no arguments"},
      {"status --json", "'status' takes no arguments"},
      {"log-level Engine", "usage: log-level <sink> <0-4>"},
      {"log-level Engine 5", "log level must be 0 to 4"},
      {"log-level Engine 01", "log level must be 0 to 4"},
      {"log-level Disk 2", "unknown log sink 'Disk'"},
      {std::string("sl\0ep", 5), "malformed request: not printable text"},
      {"\xc3\xa9t\xc3\xa9", "malformed request: not printable text"},
      {std::string(100, 'z'), "unknown command '" + std::string(32, 'z') + "...'"},
  };
  for (const auto& testCase : cases) {
    EXPECT_THAT([&] { posix::ParseControlRequest(testCase.first); },
                ::testing::ThrowsMessage<ControlProtocolError>(
                    ::testing::StartsWith(testCase.second)));
  }
}

class ServiceHostTest : public platform_test::ServiceHostFixture {
 protected:
  ServiceHostTest() { options.useSystemBus = false; }
  std::string Send(const std::string& line) {
    return SendControlRequest(options.runtimeDirectory, line);
  }

  const std::string path = options.runtimeDirectory + "/control";
};

TEST_F(ServiceHostTest, SocketRequestsReachTheHandlerUntilStop) {
  const int result = Run(kServiceRunning, [&] {
    // The host made the runtime directory and a socket for its owner only.
    EXPECT_EQ(stdfs::status(options.runtimeDirectory).permissions(), stdfs::perms(0755));
    EXPECT_EQ(stdfs::status(path).permissions(), stdfs::perms(0600));

    for (const char* event : {"sleep", "unlock", "preshutdown"}) EXPECT_EQ(Send(event), "ok");
    EXPECT_EQ(Send("log-level classicbluetooth 3"), "ok");
    EXPECT_EQ(mfab::LogThreshold(mfab::LogSink::kMsftBt), 3u);
    mfab::SetLogThreshold(mfab::LogSink::kMsftBt, 4);
    // Only the monitor-power setting is known; a second dispatcher and another service's handler
    // are refused.
    EXPECT_EQ(host->RegisterPowerSettingNotification(Guid{1, 2, 3, {}}), EINVAL);
    EXPECT_EQ(host->StartServiceCtrlDispatcher("KeystoneTest", [] {}), EBUSY);
    auto other = [](uint32_t, uint32_t, const void*) { return 0u; };
    EXPECT_EQ(host->RegisterServiceCtrlHandler("Other", other), 1060);
    EXPECT_EQ(Send("stop"), "ok");
  });
  EXPECT_EQ(result, 0);
  EXPECT_FALSE(stdfs::exists(path));
  EXPECT_THAT(log.Get(), ElementsAre("13/4", "14/8", "15/0", "1/0"));
}

TEST_F(ServiceHostTest, StatusCarriesTheLastPowerEventTheServiceTook) {
  EXPECT_EQ(Run(kServiceRunning, [&] { EXPECT_EQ(Send("status"), "error status is not available"); }),
            0);
  options.statusProvider = [](const HostStatus& status) {
    return status.lastPowerEvent + "@" + std::to_string(status.lastPowerEventTime > 0);
  };
  EXPECT_EQ(Run(kServiceRunning,
                [&] {
                  EXPECT_EQ(Send("status"), "ok @0");
                  EXPECT_EQ(Send("resume"), "ok");
                  EXPECT_EQ(Send("lock"), "ok");  // not a power event
                  EXPECT_EQ(Send("status"), "ok resume@1");
                }),
            0);
  // A power event the service refused leaves the last one as it was.
  EXPECT_EQ(Run(kServiceStartPending,
                [&] {
                  EXPECT_EQ(Send("sleep").rfind("error", 0), 0u);
                  EXPECT_EQ(Send("status"), "ok @0");
                }),
            0);
}

TEST_F(ServiceHostTest, StopSignalsStopTheServiceEvenBeforeItAcceptsControls) {
  const pthread_t dispatcher = ::pthread_self();
  // Sent to the dispatcher thread, which has the stop signals blocked by now.
  auto early = [&] {
    ::pthread_kill(dispatcher, SIGTERM);
    std::this_thread::sleep_for(50ms);
  };
  const int result = Run(
      kServiceRunning, [&] { EXPECT_TRUE(log.WaitFor(1)); }, early);
  EXPECT_EQ(result, 0);
  EXPECT_THAT(log.Get(), ElementsAre("1/0"));
  // Before the service accepts controls only a stop is delivered.
  Run(kServiceStartPending, [&] {
    EXPECT_EQ(Send("sleep"), "error the service does not accept 'sleep' now (state start-pending)");
    EXPECT_THAT(Send("preshutdown"), ::testing::StartsWith("error the service does not accept"));
    ::pthread_kill(dispatcher, SIGINT);
    EXPECT_TRUE(log.WaitFor(2));
  });
  EXPECT_THAT(log.Get(), ElementsAre("1/0", "1/0"));
}

TEST_F(ServiceHostTest, ControlSocketIsTakenOverOnlyWhenNobodyServesIt) {
  EXPECT_EQ(platform_test::ErrorOf([&] { Send("sleep"); }), std::errc::no_such_file_or_directory);
  EXPECT_THROW(SendControlRequest(options.runtimeDirectory, "two\nlines"), std::invalid_argument);
  Run(kServiceRunning, [&] {
    // Another engine while the first one answers is refused.
    bool ran = false;
    EXPECT_EQ(CreateServiceHost(options)->StartServiceCtrlDispatcher("Other", [&] { ran = true; }),
              EADDRINUSE);
    EXPECT_FALSE(ran);
  });
  EXPECT_FALSE(stdfs::exists(path));  // removed by the host that made it

  // A listener that never answers makes the client give up; a socket file nobody serves (a
  // crashed engine's) is taken over.
  UnixListener silent = UnixListener::Bind(path, 0600);
  silent.Listen(1);
  EXPECT_THROW(SendControlRequest(options.runtimeDirectory, "sleep", 20ms), std::runtime_error);
  silent.Close();
  ASSERT_TRUE(stdfs::is_socket(path));
  EXPECT_EQ(Run(kServiceRunning, [&] { EXPECT_EQ(Send("lock"), "ok"); }), 0);

  // Anything else in its place is left alone; a set-up failure runs nothing and leaves the stop
  // signals as they were (earlier runs left them blocked).
  std::ofstream(path) << "not a socket";
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGTERM);
  ::pthread_sigmask(SIG_UNBLOCK, &mask, nullptr);
  bool ran = false;
  EXPECT_NE(Run(kServiceRunning, [&] { ran = true; }), 0);
  EXPECT_FALSE(ran);
  EXPECT_TRUE(stdfs::is_regular_file(path));
  ::pthread_sigmask(SIG_SETMASK, nullptr, &mask);
  EXPECT_FALSE(::sigismember(&mask, SIGTERM));
}

TEST_F(ServiceHostTest, ControlConnectionsAreBounded) {
  options.controlSocket.clientIdleLimit = 50ms;
  options.controlSocket.maxClients = 2;
  Run(kServiceRunning, [&] {
    UnixStream idle = UnixStream::Connect(path);
    uint8_t buffer[8];
    // Closed by the host, not by our own time limit.
    EXPECT_EQ(idle.ReceiveSome(buffer, DeadlineAfter(kWaitLimit)), 0u);
    EXPECT_TRUE(capture->Contains("idle for 50 ms"));

    // A line past 256 bytes is refused and its connection closed; the host goes on serving.
    UnixStream flood = UnixStream::Connect(path);
    const std::string line(300, 'x');
    flood.SendAll({reinterpret_cast<const uint8_t*>(line.data()), line.size()});
    std::string reply;
    uint8_t chunk[128];
    while (size_t n = flood.ReceiveSome(chunk, DeadlineAfter(kWaitLimit))) {
      reply.append(reinterpret_cast<const char*>(chunk), n);
    }
    EXPECT_EQ(reply, "error request line too long (limit 256 bytes)\n");
    EXPECT_TRUE(capture->Contains("longer than 256 bytes"));
    EXPECT_EQ(Send("lock"), "ok");

    UnixStream held[2];
    for (UnixStream& stream : held) {
      stream = UnixStream::Connect(path);
      stream.SendAll({reinterpret_cast<const uint8_t*>("lock\n"), 5});
      ASSERT_EQ(stream.ReceiveSome(buffer, DeadlineAfter(kWaitLimit)), 3u);  // "ok\n": served
    }
    EXPECT_EQ(Send("lock"), "error too many connections");
  });
  EXPECT_THAT(log.Get(), ElementsAre("14/7", "14/7", "14/7"));
}

TEST_F(ServiceHostTest, PeersOfOtherUsersAreRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to connect as another user";
  Run(kServiceRunning, [&] {
    // The file mode alone keeps others out.
    EXPECT_EQ(platform_test::RunHelper("control-as-nobody", options.runtimeDirectory, 65534), 2);
    // With a mode opened too wide, the credential check still refuses them.
    ASSERT_EQ(::chmod(path.c_str(), 0666), 0);
    EXPECT_EQ(platform_test::RunHelper("control-as-nobody", options.runtimeDirectory, 65534), 0);
  });
  EXPECT_TRUE(capture->Contains("refused a connection of uid 65534"));
  EXPECT_THAT(log.Get(), ::testing::IsEmpty());
}

// Connected standby follows the kernel's selected suspend state unless the registry says
// otherwise; a registry value of another type is ignored.
TEST(PowerCapabilitiesTest, ConnectedStandbyFollowsS2idleUnlessOverridden) {
  struct Case {
    const char* name;
    std::optional<std::string> memSleep;  // nullopt: no such file
    std::optional<RegValue> override;
    std::optional<bool> aoAc;  // nullopt: the query fails
  };
  const Case cases[] = {
      {"s2idle selected", "[s2idle] deep\n", std::nullopt, true},
      {"deep selected", "s2idle [deep]\n", std::nullopt, false},
      {"nothing selected", "s2idle deep\n", std::nullopt, std::nullopt},
      {"override on", "s2idle [deep]\n", RegValue::Dword(1), true},
      {"override off, no kernel facts", std::nullopt, RegValue::Dword(0), false},
      {"override of another type", "[s2idle]\n", RegValue::String("0"), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform_test::TempDir dir;
    const std::string memSleep = dir.path + "/mem_sleep";
    if (c.memSleep) std::ofstream(memSleep) << *c.memSleep;
    // Without an override there is no registry at all.
    std::unique_ptr<Registry> registry;
    if (c.override) {
      registry = OpenRegistry(dir.path + "/registry.db");
      WriteRegistryValue(*registry, keystone::kEngineKey, kConnectedStandbyValue, *c.override);
    }
    for (bool before : {false, true}) {  // the answer is written whatever was there
      SystemPowerCapabilities caps;
      caps.aoAc = before;
      const bool ok = CreatePowerCapabilities(registry.get(), memSleep)->Query(caps);
      EXPECT_EQ(ok ? std::optional(caps.aoAc) : std::nullopt, c.aoAc);
    }
  }
}

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
  posix::LogindMonitor monitor([](uint32_t, uint32_t, const char*) { return true; });
  EXPECT_TRUE(monitor.Start());  // subscribed for when logind appears
  EXPECT_TRUE(capture->Contains("systemd-logind is not on the system bus"));

  ::setenv(kBusVariable, ("unix:path=" + runtime.path + "/nothing-here").c_str(), 1);
  EXPECT_EQ(Run(kServiceRunning, [] {}), 0);
  EXPECT_THAT(log.Get(), ::testing::IsEmpty());
  EXPECT_TRUE(capture->Contains("No system bus"));
}

}  // namespace
}  // namespace platform
