#include "platform/service_host.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "log/logger.h"
#include "platform/control_client.h"
#include "tests/fakes/log_capture.h"

namespace platform {
namespace {

using namespace std::chrono_literals;

constexpr auto kWaitLimit = 10s;

struct Received {
  uint32_t control;
  uint32_t eventType;
  bool hasSetting;
  Guid setting;
  uint32_t dataLength;
  uint8_t firstByte;
};

// A service main function and control handler that record what the host hands them. The main
// function reports `initialState`, then waits for a stop control and reports stopped.
class TestService {
 public:
  TestService(ServiceHost& serviceHost, uint32_t startState) : host(serviceHost), initialState(startState) {}

  void Main() {
    if (beforeRegistration) beforeRegistration();
    host.RegisterServiceCtrlHandler("KeystoneTest", [this](uint32_t c, uint32_t e, const void* d) {
      return Handle(c, e, d);
    });
    if (registerMonitorPower) host.RegisterPowerSettingNotification(kGuidMonitorPowerOn);
    ServiceStatus status;
    status.currentState = initialState;
    status.controlsAccepted = initialState == kServiceStartPending ? 0 : 0x1C1;
    host.SetServiceStatus(status);
    {
      std::unique_lock<std::mutex> lock(mutex);
      started = true;
      changed.notify_all();
      changed.wait_for(lock, kWaitLimit, [&] { return stopped; });
    }
    status.currentState = kServiceStopped;
    host.SetServiceStatus(status);
  }

  uint32_t Handle(uint32_t control, uint32_t eventType, const void* data) {
    std::lock_guard<std::mutex> lock(mutex);
    Received r{control, eventType, data != nullptr, {}, 0, 0xFF};
    if (data) {
      const auto* setting = static_cast<const PowerBroadcastSetting*>(data);
      r.setting = setting->powerSetting;
      r.dataLength = setting->dataLength;
      if (setting->dataLength > 0) r.firstByte = setting->data[0];
    }
    received.push_back(r);
    if (control == kServiceControlStop) stopped = true;
    changed.notify_all();
    return kErrorSuccess;
  }

  bool WaitStarted() {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, kWaitLimit, [&] { return started; });
  }
  std::vector<Received> Calls() {
    std::lock_guard<std::mutex> lock(mutex);
    return received;
  }

  ServiceHost& host;
  uint32_t initialState;
  bool registerMonitorPower = false;
  std::function<void()> beforeRegistration;
  std::mutex mutex;
  std::condition_variable changed;
  bool started = false;
  bool stopped = false;
  std::vector<Received> received;
};

class ServiceHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    capture = keystone::testing::LogCapture::Install();
    std::string pattern = (std::filesystem::temp_directory_path() / "ks-host-XXXXXX").string();
    runtime = ::mkdtemp(pattern.data());
    ServiceHostOptions options;
    options.runtimeDirectory = runtime;
    options.useSystemBus = false;
    host = CreateServiceHost(options);
  }
  void TearDown() override {
    if (dispatcher.joinable()) dispatcher.join();
    std::filesystem::remove_all(runtime);
    capture->Uninstall();
  }

  void Run(TestService& service) {
    dispatcher = std::thread([&] {
      dispatcherThread = ::pthread_self();
      result = host->StartServiceCtrlDispatcher("KeystoneTest", [&] { service.Main(); });
    });
  }
  std::string Send(const std::string& line) { return SendControlRequest(runtime, line); }

  std::shared_ptr<keystone::testing::LogCapture> capture;
  std::string runtime;
  std::unique_ptr<ServiceHost> host;
  std::thread dispatcher;
  pthread_t dispatcherThread{};  // written before the service thread starts
  int result = -1;
};

TEST_F(ServiceHostTest, SocketRequestsReachTheHandlerUntilStop) {
  TestService service(*host, kServiceRunning);
  Run(service);
  ASSERT_TRUE(service.WaitStarted());
  for (const char* event : {"sleep", "resume", "lock", "unlock", "logoff", "preshutdown"}) {
    EXPECT_EQ(Send(event), "ok") << event;
  }
  EXPECT_EQ(Send("standby-enter").rfind("error connected standby notifications are not registered", 0), 0u);
  EXPECT_EQ(Send("reboot"), "error unknown command 'reboot'");
  EXPECT_EQ(Send("log-level Proximity 2"), "ok");
  EXPECT_EQ(mfab::LogThreshold(mfab::LogSink::kProx), 2u);
  mfab::SetLogThreshold(mfab::LogSink::kProx, 4);
  EXPECT_EQ(Send("stop"), "ok");
  dispatcher.join();
  EXPECT_EQ(result, 0);
  EXPECT_FALSE(std::filesystem::exists(runtime + "/control"));

  const std::vector<std::pair<uint32_t, uint32_t>> expected = {
      {13, 4}, {13, 18}, {14, 7}, {14, 8}, {14, 6}, {15, 0}, {1, 0}};
  const auto received = service.Calls();
  ASSERT_EQ(received.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(received[i].control, expected[i].first) << i;
    EXPECT_EQ(received[i].eventType, expected[i].second) << i;
    EXPECT_FALSE(received[i].hasSetting);
  }
}

TEST_F(ServiceHostTest, StandbyEventsCarryTheMonitorPowerRecordOnceRegistered) {
  TestService service(*host, kServiceRunning);
  service.registerMonitorPower = true;
  Run(service);
  ASSERT_TRUE(service.WaitStarted());
  EXPECT_EQ(Send("standby-enter"), "ok");
  EXPECT_EQ(Send("standby-exit"), "ok");
  EXPECT_EQ(host->RegisterPowerSettingNotification(Guid{1, 2, 3, {}}), EINVAL);
  Send("stop");
  dispatcher.join();
  const auto received = service.Calls();
  ASSERT_EQ(received.size(), 3u);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(received[i].control, kServiceControlPowerEvent);
    EXPECT_EQ(received[i].eventType, kPbtPowerSettingChange);
    ASSERT_TRUE(received[i].hasSetting);
    EXPECT_EQ(received[i].setting, kGuidMonitorPowerOn);
    EXPECT_EQ(received[i].dataLength, 1u);
    EXPECT_EQ(received[i].firstByte, i);  // 0 enter (display off), 1 exit
  }
}

TEST_F(ServiceHostTest, OnlyStopIsDeliveredBeforeTheServiceAcceptsControls) {
  TestService service(*host, kServiceStartPending);
  Run(service);
  ASSERT_TRUE(service.WaitStarted());
  EXPECT_EQ(Send("sleep"), "error the service does not accept 'sleep' now (state start-pending)");
  EXPECT_EQ(Send("preshutdown").rfind("error", 0), 0u);
  EXPECT_EQ(Send("stop"), "ok");
  dispatcher.join();
  ASSERT_EQ(service.Calls().size(), 1u);
  EXPECT_EQ(service.Calls()[0].control, kServiceControlStop);
}

TEST_F(ServiceHostTest, StopSignalBeforeRegistrationIsHandedOverAfterIt) {
  TestService service(*host, kServiceRunning);
  // Sent to the dispatcher thread, which has the stop signals blocked by now.
  service.beforeRegistration = [&] {
    ::pthread_kill(dispatcherThread, SIGTERM);
    std::this_thread::sleep_for(50ms);
  };
  Run(service);
  dispatcher.join();  // returns only because the stop arrived
  EXPECT_EQ(result, 0);
  ASSERT_EQ(service.Calls().size(), 1u);
  EXPECT_EQ(service.Calls()[0].control, kServiceControlStop);
}

TEST_F(ServiceHostTest, InterruptSignalStopsARunningService) {
  TestService service(*host, kServiceRunning);
  Run(service);
  ASSERT_TRUE(service.WaitStarted());
  ::pthread_kill(dispatcherThread, SIGINT);
  dispatcher.join();
  EXPECT_EQ(result, 0);
  EXPECT_EQ(service.Calls().back().control, kServiceControlStop);
}

TEST_F(ServiceHostTest, SetUpFailureRunsNothingAndASecondDispatcherIsRefused) {
  std::ofstream(runtime + "/file") << "x";
  ServiceHostOptions options;
  options.runtimeDirectory = runtime + "/file/sub";
  options.useSystemBus = false;
  auto broken = CreateServiceHost(options);
  bool ran = false;
  sigset_t before;
  ::pthread_sigmask(SIG_SETMASK, nullptr, &before);
  EXPECT_EQ(broken->StartServiceCtrlDispatcher("KeystoneTest", [&] { ran = true; }), ENOTDIR);
  EXPECT_FALSE(ran);
  // A failed set-up leaves the caller's signal mask as it was.
  sigset_t after;
  ::pthread_sigmask(SIG_SETMASK, nullptr, &after);
  EXPECT_EQ(::sigismember(&after, SIGTERM), ::sigismember(&before, SIGTERM));

  TestService service(*host, kServiceRunning);
  Run(service);
  ASSERT_TRUE(service.WaitStarted());
  EXPECT_EQ(host->StartServiceCtrlDispatcher("KeystoneTest", [] {}), EBUSY);
  EXPECT_EQ(host->RegisterServiceCtrlHandler("Other", [](uint32_t, uint32_t, const void*) { return 0u; }),
            1060);
  Send("stop");
}

TEST_F(ServiceHostTest, StatusReportsAreSentToTheSupervisor) {
  const std::string path = runtime + "/notify";
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  timeval limit{10, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
  ::setenv("NOTIFY_SOCKET", path.c_str(), 1);
  auto next = [&] {
    char buffer[256] = {};
    const ssize_t n = ::recv(fd, buffer, sizeof(buffer) - 1, 0);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
  };
  ServiceStatus status;
  for (uint32_t state : {kServiceStartPending, kServiceRunning, kServiceStopPending, kServiceStopped}) {
    status.currentState = state;
    EXPECT_EQ(host->SetServiceStatus(status), 0);
  }
  EXPECT_EQ(next(), "STATUS=start-pending");
  EXPECT_EQ(next(), "READY=1\nSTATUS=running");
  EXPECT_EQ(next(), "STOPPING=1\nSTATUS=stop-pending");
  EXPECT_EQ(next(), "STATUS=stopped");
  ::unsetenv("NOTIFY_SOCKET");
  ::close(fd);
  // Without a supervisor a report still succeeds.
  EXPECT_EQ(host->SetServiceStatus(status), 0);
}

}  // namespace
}  // namespace platform
