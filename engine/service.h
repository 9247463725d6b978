#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/mutex.h"
#include "common/task_group.h"
#include "engine/service_components.h"
#include "platform/power_capabilities.h"
#include "platform/service_host.h"

namespace mfab {

inline constexpr const char* kServiceName = "OstraKeystoneEngine";

// The program file's version: A.B in the high and low halves of versionMs, C.D in versionLs.
struct FileVersion {
  uint32_t versionMs = 0;
  uint32_t versionLs = 0;
};
// Reads the program's file version; nullopt when it cannot be read.
using FileVersionReader = std::function<std::optional<FileVersion>()>;

// The version this build carries (the project version).
std::optional<FileVersion> BuildFileVersion();

// "A.B.C.D" in decimal, or "**error return version**" when the reader has nothing.
std::string GetServiceFileVersion(const FileVersionReader& reader = BuildFileVersion);

struct ServiceOptions {
  // How long the stop sequence waits for the trace-log clean-up before leaving it behind.
  std::chrono::milliseconds traceLogCleanupWait{3000};
  // Wait hints of the pending reports.
  uint32_t startPendingWaitHint = 3000;
  uint32_t stopPendingWaitHint = 3000;
  FileVersionReader versionReader = BuildFileVersion;
};

// The service: its main function, start-up and stop sequence, status reports and control
// handler. One per process; it lives until the process exits. The host calls SvcMain on the
// service thread and SvcCtrlHandler on its dispatcher thread (serially); event tasks run on their
// own threads. The destructor waits for event tasks still running, so the components must
// outlive this object.
class Service {
 public:
  Service(platform::ServiceHost& serviceHost, platform::PowerCapabilities& powerCapabilities,
          ServiceComponents& serviceComponents, ServiceOptions serviceOptions = {});
  ~Service();
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // The service main function: registers the handler (and, with connected standby, the
  // monitor-power notification), reports start-pending and runs SvcInit. Arguments are ignored.
  void SvcMain(uint32_t argc, char** argv);
  // Starts the components, reports running, waits for the stop event and stops them again.
  // Returns after SERVICE_STOPPED has been reported.
  void SvcInit();
  void ReportSvcStatus(uint32_t currentState, uint32_t win32ExitCode, uint32_t waitHint);
  // Returns 0 or 120 (not implemented, or a failure while handling); never blocks on a task.
  uint32_t SvcCtrlHandler(uint32_t control, uint32_t eventType, const void* eventData,
                          void* context);

  platform::ServiceStatus CurrentStatus();
  bool StopEventSet();
  size_t EventTaskCountForTesting() { return eventTasks.Running(); }
  size_t DetachedTaskCountForTesting() { return startupTasks.Running(); }

 private:
  using EventOperation = void (ServiceComponents::*)();
  void LaunchEventTask(const char* message, EventOperation operation);
  // As LaunchEventTask for the sleep event; tells the host when the sleep work is over.
  void LaunchSleepTask();
  void SetStopEvent();
  void WaitForStopEvent();

  platform::ServiceHost& host;
  platform::PowerCapabilities& power;
  ServiceComponents& components;
  const ServiceOptions options;

  keystone::Mutex statusMutex;  // Guards the members below.
  platform::ServiceStatus status GUARDED_BY(statusMutex);
  uint32_t checkPoint GUARDED_BY(statusMutex) = 1;

  // The stop event: manual reset, never reset. It exists from construction so a stop that comes
  // before SvcInit reaches its wait is never lost.
  keystone::Mutex stopMutex;
  std::condition_variable stopSignal;
  bool stopSet GUARDED_BY(stopMutex) = false;

  // The event tasks and the start-up's trace-log clean-up (which the stop sequence waits for
  // only so long); last, so their tasks end before anything they use goes.
  keystone::TaskGroup eventTasks;
  keystone::TaskGroup startupTasks;
};

}  // namespace mfab
