#include "engine/service.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/version.h"
#include "tests/applet/applet_test_support.h"
#include "tests/fakes/locked.h"
#include "tests/fakes/log_capture.h"

namespace mfab {
namespace {

using keystone::testing::Eventually;
using keystone::testing::LockedAppend;
using keystone::testing::LockedCopy;
using ::testing::ElementsAre;
using namespace std::chrono_literals;
using States = std::vector<std::pair<uint32_t, uint32_t>>;  // state and wait hint

// Records what the service hands the host; failure codes and throws are set per test.
class FakeHost final : public platform::ServiceHost {
 public:
  int StartServiceCtrlDispatcher(std::string_view, platform::ServiceMainFunction) override {
    return 0;
  }
  int RegisterServiceCtrlHandler(std::string_view name,
                                 platform::ServiceControlHandler h) override {
    std::lock_guard<std::mutex> lock(mutex);
    registeredName = std::string(name);
    handler = std::move(h);
    return registerError;
  }
  int RegisterPowerSettingNotification(const platform::Guid& setting) override {
    LockedAppend(mutex, powerSettings, setting);
    return powerSettingError;
  }
  int SetServiceStatus(const platform::ServiceStatus& status) override {
    std::lock_guard<std::mutex> lock(mutex);
    if (throwStd) throw std::runtime_error("status sink broke");
    if (throwOther) throw 42;
    statuses.push_back(status);
    return statusError;
  }
  void PowerEventHandled(uint32_t eventType) override {
    if (onPowerEventHandled) onPowerEventHandled(eventType);
  }
  std::vector<platform::ServiceStatus> Statuses() { return LockedCopy(mutex, statuses); }
  States StatesAndHints() {
    States out;
    for (const auto& status : Statuses()) out.emplace_back(status.currentState, status.waitHint);
    return out;
  }

  std::mutex mutex;
  std::string registeredName;
  platform::ServiceControlHandler handler;
  std::vector<platform::Guid> powerSettings;
  std::vector<platform::ServiceStatus> statuses;
  int registerError = 0, powerSettingError = 0, statusError = 0;
  bool throwStd = false, throwOther = false;
  std::function<void(uint32_t)> onPowerEventHandled;
};

class FakePower final : public platform::PowerCapabilities {
 public:
  bool Query(platform::SystemPowerCapabilities& caps) override {
    caps.aoAc = aoAc;
    return succeeds;
  }
  bool succeeds = true;
  bool aoAc = false;
};

// Records the calls in order; the trace-log clean-up future is completed by the test.
class FakeComponents final : public ServiceComponents {
 public:
  bool StartRpcServer() override { return Record("StartRpcServer", rpcStarts); }
  void StopRpcServer() override { Record("StopRpcServer"); }
  void MirrorDataIfEmpty() override { Record("MirrorDataIfEmpty"); }
  bool FirmwareChanged() override { return Record("FirmwareChanged", firmwareChanged); }
  void PolicyUpdated() override { Record("PolicyUpdated"); }
  bool RunTraceLogCleanup() override {
    Record("RunTraceLogCleanup");
    return cleanupResult.get();
  }
  void HandleOsUpgrade() override { Record("HandleOsUpgrade"); }
  void StartUserRecordTask() override { Record("StartUserRecordTask"); }
  void DestroyResourceManager() override { Record("DestroyResourceManager"); }
  void HandlePowerSleepEvent() override {
    Record("Sleep");
    if (sleepThrows) throw std::runtime_error("sleep work broke");
  }
  void HandlePowerResumeEvent() override { Record("Resume"); }
  void HandleConnectedStandbyEnterEvent() override { Record("StandbyEnter"); }
  void HandleConnectedStandbyExitEvent() override { Record("StandbyExit"); }
  void HandleLogoffEvent() override { Record("Logoff"); }
  void HandleSessionLockEvent() override { Record("Lock"); }
  void HandleSessionUnlockEvent() override {
    Record("Unlock");
    throw std::runtime_error("stays in the task");
  }

  std::vector<std::string> Calls() { return LockedCopy(mutex, calls); }
  bool WaitForCall(const std::string& name) {
    return Eventually([&] {
      const auto all = Calls();
      return std::find(all.begin(), all.end(), name) != all.end();
    });
  }

  bool rpcStarts = true;
  bool firmwareChanged = false;
  bool sleepThrows = false;
  std::promise<bool> cleanup;
  std::shared_future<bool> cleanupResult = cleanup.get_future().share();

 private:
  bool Record(const std::string& name, bool result = true) {
    std::lock_guard<std::mutex> lock(mutex);
    calls.push_back(name);
    return result;
  }
  std::mutex mutex;
  std::vector<std::string> calls;
};

class ServiceTest : public ::testing::Test {
 protected:
  void TearDown() override {
    service.reset();
    capture->Uninstall();
  }
  Service& Make(ServiceOptions options = {}) {
    service = std::make_unique<Service>(host, power, components, std::move(options));
    return *service;
  }
  uint32_t Handle(uint32_t control, uint32_t eventType, const void* data = nullptr) {
    return service->SvcCtrlHandler(control, eventType, data, nullptr);
  }

  std::shared_ptr<keystone::testing::LogCapture> capture = keystone::testing::LogCapture::Install();
  FakeHost host;
  FakePower power;
  FakeComponents components;
  std::unique_ptr<Service> service;
};

TEST_F(ServiceTest, DispatchTableLaunchesTheMatchingEventTask) {
  const struct {
    uint32_t control, eventType, result;
    const char* launched;  // the component event called, or nullptr
    const char* logged;    // the task's message, or nullptr
  } rows[] = {
      {13, 4, 0, "Sleep", "PBT_APMSUSPEND (System is suspending operation)"},
      {13, 18, 0, "Resume",
       "PBT_APMRESUMEAUTOMATIC (Operation is resuming from sleep or hibernate)"},
      {14, 6, 0, "Logoff", "SERVICE_CONTROL_SESSIONCHANGE LOGOFF"},
      {14, 7, 0, "Lock", "SERVICE_SESSION  WTS_SESSION_LOCK"},
      {14, 8, 0, "Unlock", "SERVICE_SESSION  WTS_SESSION_UNLOCK"},
      {13, 7, 0, nullptr, nullptr},   // PBT_APMRESUMESUSPEND
      {14, 1, 0, nullptr, nullptr},   // another session change
      {4, 0, 0, nullptr, nullptr},    // interrogate
      {5, 0, 120, nullptr, nullptr},  // shutdown, like every control not handled
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::to_string(row.control) + "/" + std::to_string(row.eventType));
    Make();
    EXPECT_EQ(Handle(row.control, row.eventType), row.result);
    if (row.launched) {
      EXPECT_TRUE(components.WaitForCall(row.launched));
      EXPECT_TRUE(capture->Has(row.logged));
    } else {
      EXPECT_EQ(service->EventTaskCountForTesting(), 0u);
    }
    service.reset();  // waits for the task
  }
  // The unlock task threw: that ends in its task, logged, while the handler answered 0.
  EXPECT_TRUE(capture->Has("Event task failed (stays in the task)"));
  EXPECT_TRUE(host.Statuses().empty());
}

TEST_F(ServiceTest, PowerSettingChangeLaunchesOnlyForMonitorPowerOnWithData) {
  Make();
  const uint8_t off = 0, on = 1, other = 2;
  const platform::Guid otherGuid{0x12345678, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
  const platform::PowerBroadcastSetting wrongGuid{otherGuid, 1, &off},
      noData{platform::kGuidMonitorPowerOn, 0, &off},
      otherValue{platform::kGuidMonitorPowerOn, 1, &other};
  for (const platform::PowerBroadcastSetting* setting :
       {&wrongGuid, &noData, &otherValue,
        static_cast<const platform::PowerBroadcastSetting*>(nullptr)}) {
    EXPECT_EQ(Handle(13, 0x8013, setting), 0u);
    EXPECT_EQ(service->EventTaskCountForTesting(), 0u);
  }
  EXPECT_EQ(capture->Count("PBT_POWERSETTINGCHANGE "), 4u);

  const platform::PowerBroadcastSetting enter{platform::kGuidMonitorPowerOn, 1, &off};
  const platform::PowerBroadcastSetting exit{platform::kGuidMonitorPowerOn, 1, &on};
  EXPECT_EQ(Handle(13, 0x8013, &enter), 0u);
  EXPECT_TRUE(components.WaitForCall("StandbyEnter"));
  EXPECT_EQ(Handle(13, 0x8013, &exit), 0u);
  EXPECT_TRUE(components.WaitForCall("StandbyExit"));
}

TEST_F(ServiceTest, SleepEventTellsTheHostOnceItsWorkIsOver) {
  for (const bool throws : {false, true}) {
    SCOPED_TRACE(throws);
    FakeComponents work;
    work.sleepThrows = throws;
    std::mutex mutex;
    std::vector<std::vector<std::string>> callsWhenHandled;
    host.onPowerEventHandled = [&](uint32_t eventType) {
      EXPECT_EQ(eventType, platform::kPbtApmSuspend);
      LockedAppend(mutex, callsWhenHandled, work.Calls());
    };
    Service sleeper(host, power, work);
    EXPECT_EQ(sleeper.SvcCtrlHandler(13, 4, nullptr, nullptr), 0u);
    ASSERT_TRUE(Eventually([&] { return !LockedCopy(mutex, callsWhenHandled).empty(); }));
    // Other events do not count as the sleep's end.
    EXPECT_EQ(sleeper.SvcCtrlHandler(13, 18, nullptr, nullptr), 0u);
    ASSERT_TRUE(work.WaitForCall("Resume"));
    EXPECT_THAT(LockedCopy(mutex, callsWhenHandled), ElementsAre(ElementsAre("Sleep")));
  }
  host.onPowerEventHandled = nullptr;
}

TEST_F(ServiceTest, ExceptionGuardTurnsFailuresIntoResult120) {
  Make();
  host.throwStd = true;
  EXPECT_EQ(Handle(1, 0), 120u);
  EXPECT_TRUE(capture->Has("Failed handling service event (status sink broke)"));
  host.throwStd = false;
  host.throwOther = true;
  EXPECT_EQ(Handle(1, 0), 120u);
  EXPECT_TRUE(capture->Has("Failed handling service event (Unknown exception)"));
  host.throwOther = false;
  host.statusError = 0x1f;
  service->ReportSvcStatus(platform::kServiceRunning, 5, 0);
  EXPECT_EQ(host.Statuses().back().win32ExitCode, 0u);  // always 0
  EXPECT_TRUE(capture->Has("SetServiceStatus Failed (0x1f)"));
}

TEST_F(ServiceTest, OnlyTheStopControlReportsTheStop) {
  Service& s = Make();
  s.ReportSvcStatus(platform::kServiceRunning, 0, 0);
  EXPECT_EQ(Handle(1, 0), 0u);
  EXPECT_TRUE(s.StopEventSet());
  const auto statuses = host.Statuses();
  ASSERT_EQ(statuses.size(), 3u);
  EXPECT_EQ(host.StatesAndHints(), (States{{4, 0}, {3, 0}, {3, 0}}));
  EXPECT_EQ(statuses[2].checkPoint, statuses[1].checkPoint + 1);

  EXPECT_FALSE(Make().StopEventSet());
  EXPECT_EQ(Handle(15, 0), 0u);
  EXPECT_TRUE(service->StopEventSet());
  EXPECT_EQ(host.Statuses().size(), 3u);
}

TEST_F(ServiceTest, FullRunCallsTheComponentsInOrder) {
  components.firmwareChanged = true;
  components.cleanup.set_value(true);
  Service& s = Make();
  std::thread main([&] { s.SvcMain(0, nullptr); });
  ASSERT_TRUE(Eventually(
      [&] { return !host.Statuses().empty() && host.Statuses().back().currentState == 4; }));
  EXPECT_EQ(host.registeredName, "OstraKeystoneEngine");
  EXPECT_EQ(s.CurrentStatus().serviceType, 0x10u);
  EXPECT_EQ(host.handler(1, 0, nullptr), 0u);
  main.join();

  // The trace-log clean-up runs on a task of its own, in no particular order with the rest.
  ASSERT_TRUE(components.WaitForCall("RunTraceLogCleanup"));
  std::vector<std::string> calls = components.Calls();
  EXPECT_EQ(std::erase(calls, "RunTraceLogCleanup"), 1u);
  EXPECT_EQ(calls, (std::vector<std::string>{"StartRpcServer", "MirrorDataIfEmpty",
                                             "FirmwareChanged", "PolicyUpdated", "HandleOsUpgrade",
                                             "StartUserRecordTask", "StopRpcServer",
                                             "DestroyResourceManager"}));
  // The stop handler echoes the state it finds after signalling the stop while the main thread
  // goes on, so that echo may come anywhere after the handler's first report.
  States states = host.StatesAndHints();
  ASSERT_EQ(states.size(), 6u);
  auto echo = std::find(states.begin() + 3, states.end(), States::value_type{3, 0});
  if (echo == states.end()) echo = std::find(states.begin() + 3, states.end(), States::value_type{1, 0});
  ASSERT_NE(echo, states.end());
  states.erase(echo);
  EXPECT_EQ(states, (States{{2, 3000}, {4, 0}, {3, 0}, {3, 3000}, {1, 0}}));
  // Pending reports count their checkpoints, the others carry none; only a started service
  // accepts controls.
  const auto statuses = host.Statuses();
  uint32_t lastCheckPoint = 0;
  for (const platform::ServiceStatus& status : statuses) {
    if (status.currentState == platform::kServiceRunning ||
        status.currentState == platform::kServiceStopped) {
      EXPECT_EQ(status.checkPoint, 0u);
      continue;
    }
    EXPECT_GT(status.checkPoint, lastCheckPoint);
    lastCheckPoint = status.checkPoint;
  }
  EXPECT_EQ(statuses[0].controlsAccepted, 0u);
  EXPECT_EQ(statuses[1].controlsAccepted, 0x1C1u);
  EXPECT_TRUE(capture->Has("Initialize Ostra Keystone Engine Service Version " +
                           std::string(keystone::kVersionText)));
  EXPECT_EQ(s.DetachedTaskCountForTesting(), 0u);
}

// A stop answered before SvcInit waits lets the run go straight through.
TEST_F(ServiceTest, StopLeavesBehindACleanupStillRunningAfterItsWait) {
  ServiceOptions options;
  options.traceLogCleanupWait = 20ms;
  Service& s = Make(options);
  EXPECT_EQ(Handle(1, 0), 0u);
  s.SvcMain(0, nullptr);
  EXPECT_EQ(host.Statuses().back().currentState, platform::kServiceStopped);
  std::vector<std::string> calls = components.Calls();
  std::erase(calls, "RunTraceLogCleanup");
  EXPECT_EQ(calls.back(), "DestroyResourceManager");
  EXPECT_EQ(s.DetachedTaskCountForTesting(), 1u);
  components.cleanup.set_value(false);  // lets the destructor's wait end
}

TEST_F(ServiceTest, FailedRpcStartGoesStraightToStopped) {
  components.rpcStarts = false;
  Make().SvcMain(0, nullptr);
  EXPECT_EQ(components.Calls(), std::vector<std::string>{"StartRpcServer"});
  EXPECT_EQ(host.StatesAndHints(), (States{{2, 3000}, {1, 0}}));
  EXPECT_TRUE(capture->Has("RpcStartListening failed"));
}

TEST_F(ServiceTest, FailedPowerQueryMeansNoConnectedStandby) {
  components.rpcStarts = false;  // ends the run at once
  power.succeeds = false;
  power.aoAc = true;
  Make().SvcMain(0, nullptr);
  EXPECT_TRUE(host.powerSettings.empty());
}

TEST_F(ServiceTest, FailedRegistrationsEndSvcMainWithoutAnyReport) {
  host.registerError = 1063;
  Make().SvcMain(0, nullptr);
  EXPECT_TRUE(capture->Has("RegisterServiceCtrlHandler failed (1063)"));
  host.registerError = 0;
  host.powerSettingError = 87;
  power.aoAc = true;
  Make().SvcMain(0, nullptr);
  EXPECT_TRUE(capture->Has("RegisterPowerSettingNotification failed (87)"));
  ASSERT_EQ(host.powerSettings.size(), 1u);
  EXPECT_EQ(host.powerSettings[0], platform::kGuidMonitorPowerOn);
  EXPECT_TRUE(host.Statuses().empty());
  EXPECT_TRUE(components.Calls().empty());
}

TEST(ServiceFileVersionTest, FormatsWhatTheReaderReturns) {
  EXPECT_EQ(GetServiceFileVersion(), keystone::kVersionText);
  EXPECT_EQ(GetServiceFileVersion([] {
              return std::optional<FileVersion>({0x0001000A, 0x00FFFFFF});
            }),
            "1.10.255.65535");
  EXPECT_EQ(GetServiceFileVersion([] { return std::optional<FileVersion>(); }),
            "**error return version**");
  EXPECT_EQ(GetServiceFileVersion(nullptr), "**error return version**");
}

}  // namespace
}  // namespace mfab
