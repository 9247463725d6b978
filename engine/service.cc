#include "engine/service.h"

#include <exception>
#include <utility>

#include "common/version.h"
#include "log/logger.h"

namespace mfab {
namespace {

AuthenticateLogger& Log() { return AuthenticateLoggerService::Instance(); }

constexpr uint32_t kControlsAcceptedRunning =
    platform::kServiceAcceptStop | platform::kServiceAcceptPowerEvent |
    platform::kServiceAcceptSessionChange | platform::kServiceAcceptPreshutdown;

// The stop wait has no limit; it wakes now and then only to re-check its predicate.
constexpr std::chrono::seconds kStopRecheckInterval{60};

// What escaped an event task ends there, logged.
void LogEventTaskFailure(std::exception_ptr failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& e) {
    KS_LOG(Log(), kLogWarning, "FLOW", "Event task failed (%s)", e.what());
  } catch (...) {
    KS_LOG(Log(), kLogWarning, "FLOW", "Event task failed (Unknown exception)");
  }
}

}  // namespace

std::optional<FileVersion> BuildFileVersion() {
  FileVersion version;
  version.versionMs = (keystone::kVersionMajor << 16) | (keystone::kVersionMinor & 0xFFFF);
  version.versionLs = (keystone::kVersionPatch << 16) | (keystone::kVersionTweak & 0xFFFF);
  return version;
}

std::string GetServiceFileVersion(const FileVersionReader& reader) {
  static const std::string fallback = "**error return version**";
  std::optional<FileVersion> version = reader ? reader() : std::nullopt;
  if (!version) return fallback;
  return std::to_string(version->versionMs >> 16) + "." +
         std::to_string(version->versionMs & 0xFFFF) + "." +
         std::to_string(version->versionLs >> 16) + "." +
         std::to_string(version->versionLs & 0xFFFF);
}

Service::Service(platform::ServiceHost& serviceHost, platform::PowerCapabilities& powerCapabilities,
                 ServiceComponents& serviceComponents, ServiceOptions serviceOptions)
    : host(serviceHost),
      power(powerCapabilities),
      components(serviceComponents),
      options(std::move(serviceOptions)),
      eventTasks(LogEventTaskFailure) {}

Service::~Service() {
  // Event tasks call the components; none may outlive this object.
  eventTasks.Close();
  startupTasks.Close();
  eventTasks.WaitIdle();
  startupTasks.WaitIdle();
}

void Service::SvcMain(uint32_t, char**) {
  int error = host.RegisterServiceCtrlHandler(
      kServiceName, [this](uint32_t control, uint32_t eventType, const void* eventData) {
        return SvcCtrlHandler(control, eventType, eventData, nullptr);
      });
  if (error != 0) {
    KS_LOG(Log(), kLogError, "FLOW", "RegisterServiceCtrlHandler failed (%d)", error);
    return;
  }

  platform::SystemPowerCapabilities capabilities;
  if (power.Query(capabilities) && capabilities.aoAc) {
    KS_LOG(Log(), kLogInfo, "FLOW", "Register to PowerSettingNotification doto connected standby mode");
    error = host.RegisterPowerSettingNotification(platform::kGuidMonitorPowerOn);
    if (error != 0) {
      KS_LOG(Log(), kLogError, "FLOW", "RegisterPowerSettingNotification failed (%d)", error);
      return;
    }
  } else {
    KS_LOG(Log(), kLogInfo, "FLOW", "the system is not configer to connected standby");
  }

  {
    keystone::MutexLock lock(statusMutex);
    status.serviceType = platform::kServiceWin32OwnProcess;
    status.serviceSpecificExitCode = 0;
  }
  KS_LOG(Log(), kLogInfo, "FLOW", "Initialize Ostra Keystone Engine Service Version %s",
         GetServiceFileVersion(options.versionReader).c_str());
  ReportSvcStatus(platform::kServiceStartPending, 0, options.startPendingWaitHint);
  SvcInit();
}

void Service::SvcInit() {
  KS_LOG(Log(), kLogInfo, "FLOW", "SvcInit Start");
  // The stop event already exists (see the class); creating it cannot fail here.
  if (!components.StartRpcServer()) {
    KS_LOG(Log(), kLogInfo, "FLOW", "RpcStartListening failed");
    ReportSvcStatus(platform::kServiceStopped, 0, 0);
    return;
  }
  components.MirrorDataIfEmpty();
  if (components.FirmwareChanged()) components.PolicyUpdated();
  startupTasks.Launch([this](std::stop_token) { components.RunTraceLogCleanup(); });
  components.HandleOsUpgrade();
  components.StartUserRecordTask();
  ReportSvcStatus(platform::kServiceRunning, 0, 0);

  WaitForStopEvent();

  ReportSvcStatus(platform::kServiceStopPending, 0, options.stopPendingWaitHint);
  components.StopRpcServer();
  components.DestroyResourceManager();
  // A clean-up still running is left to finish on its own.
  startupTasks.WaitIdle(std::chrono::steady_clock::now() + options.traceLogCleanupWait);
  ReportSvcStatus(platform::kServiceStopped, 0, 0);
  KS_LOG(Log(), kLogInfo, "SVC-END", "%s", "");
}

void Service::ReportSvcStatus(uint32_t currentState, uint32_t win32ExitCode, uint32_t waitHint) {
  KS_LOG(Log(), kLogInfo, "FLOW",
         "ReportSvcStatus (dwCurrentState = %d, dwWin32ExitCode = %d, dwWaitHint = %d)",
         static_cast<int>(currentState), static_cast<int>(win32ExitCode),
         static_cast<int>(waitHint));
  platform::ServiceStatus report;
  {
    keystone::MutexLock lock(statusMutex);
    status.currentState = currentState;
    status.win32ExitCode = 0;
    status.waitHint = waitHint;
    status.controlsAccepted =
        currentState == platform::kServiceStartPending ? 0 : kControlsAcceptedRunning;
    if (currentState == platform::kServiceRunning || currentState == platform::kServiceStopped) {
      status.checkPoint = 0;
    } else {
      status.checkPoint = checkPoint++;
    }
    report = status;
  }
  const int error = host.SetServiceStatus(report);
  if (error != 0) {
    KS_LOG(Log(), kLogError, "FLOW", "SetServiceStatus Failed (%#x)", static_cast<unsigned>(error));
  }
  KS_LOG(Log(), kLogInfo, "FLOW", "ReportSvcStatus End");
}

uint32_t Service::SvcCtrlHandler(uint32_t control, uint32_t eventType, const void* eventData,
                                 void*) {
  try {
    KS_LOG(Log(), kLogInfo, "FLOW", "SvcCtrlHandler (dwControl = %#x, dwEventType = %#x)",
           control, eventType);
    switch (control) {
      case platform::kServiceControlStop: {
        ReportSvcStatus(platform::kServiceStopPending, 0, 0);
        SetStopEvent();
        uint32_t current = 0;
        {
          keystone::MutexLock lock(statusMutex);
          current = status.currentState;
        }
        ReportSvcStatus(current, 0, 0);
        return platform::kErrorSuccess;
      }
      case platform::kServiceControlInterrogate:
        return platform::kErrorSuccess;
      case platform::kServiceControlPowerEvent:
        KS_LOG(Log(), kLogInfo, "FLOW", "SERVICE_ACCEPT_POWEREVENT");
        switch (eventType) {
          case platform::kPbtApmSuspend:
            LaunchSleepTask();
            break;
          case platform::kPbtApmResumeAutomatic:
            LaunchEventTask(
                "PBT_APMRESUMEAUTOMATIC (Operation is resuming from sleep or hibernate)",
                &ServiceComponents::HandlePowerResumeEvent);
            break;
          case platform::kPbtPowerSettingChange: {
            KS_LOG(Log(), kLogInfo, "FLOW", "PBT_POWERSETTINGCHANGE ");
            const auto* setting = static_cast<const platform::PowerBroadcastSetting*>(eventData);
            if (setting && setting->powerSetting == platform::kGuidMonitorPowerOn &&
                setting->dataLength != 0 && setting->data) {
              if (setting->data[0] == 0) {
                LaunchEventTask("PBT_POWERSETTINGCHANGE  - enter connected standby state",
                                &ServiceComponents::HandleConnectedStandbyEnterEvent);
              } else if (setting->data[0] == 1) {
                LaunchEventTask("PBT_POWERSETTINGCHANGE  - exit connected standby state",
                                &ServiceComponents::HandleConnectedStandbyExitEvent);
              }
            }
            break;
          }
          default:
            break;
        }
        return platform::kErrorSuccess;
      case platform::kServiceControlSessionChange:
        // The session id that comes with the event is not looked at.
        switch (eventType) {
          case platform::kWtsSessionLogoff:
            LaunchEventTask("SERVICE_CONTROL_SESSIONCHANGE LOGOFF",
                            &ServiceComponents::HandleLogoffEvent);
            break;
          case platform::kWtsSessionLock:
            LaunchEventTask("SERVICE_SESSION  WTS_SESSION_LOCK",
                            &ServiceComponents::HandleSessionLockEvent);
            break;
          case platform::kWtsSessionUnlock:
            LaunchEventTask("SERVICE_SESSION  WTS_SESSION_UNLOCK",
                            &ServiceComponents::HandleSessionUnlockEvent);
            break;
          default:
            break;
        }
        return platform::kErrorSuccess;
      case platform::kServiceControlPreshutdown:
        KS_LOG(Log(), kLogInfo, "FLOW", "SERVICE_ACCEPT_PRESHUTDOWN");
        SetStopEvent();
        return platform::kErrorSuccess;
      default:
        return platform::kErrorCallNotImplemented;
    }
  } catch (const std::exception& e) {
    KS_LOG(Log(), kLogError, "FLOW", "Failed handling service event (%s)", e.what());
  } catch (...) {
    KS_LOG(Log(), kLogError, "FLOW", "Failed handling service event (Unknown exception)");
  }
  return platform::kErrorCallNotImplemented;
}

void Service::LaunchEventTask(const char* message, EventOperation operation) {
  eventTasks.Launch([this, message, operation](std::stop_token) {
    KS_LOG(Log(), kLogInfo, "FLOW", "%s", message);
    (components.*operation)();
  });
}

void Service::LaunchSleepTask() {
  // The host holds the machine awake until it hears that the sleep work is over, whatever
  // became of it.
  bool launched = false;
  try {
    launched = eventTasks.Launch([this](std::stop_token) {
      KS_LOG(Log(), kLogInfo, "FLOW", "%s", "PBT_APMSUSPEND (System is suspending operation)");
      try {
        components.HandlePowerSleepEvent();
      } catch (...) {
        host.PowerEventHandled(platform::kPbtApmSuspend);
        throw;
      }
      host.PowerEventHandled(platform::kPbtApmSuspend);
    });
  } catch (...) {
    host.PowerEventHandled(platform::kPbtApmSuspend);
    throw;
  }
  if (!launched) host.PowerEventHandled(platform::kPbtApmSuspend);
}

void Service::SetStopEvent() {
  {
    keystone::MutexLock lock(stopMutex);
    stopSet = true;
  }
  stopSignal.notify_all();
}

void Service::WaitForStopEvent() {
  keystone::MutexLock lock(stopMutex);
  while (!stopSet) {
    stopSignal.wait_for(lock.Native(), kStopRecheckInterval);
  }
}

bool Service::StopEventSet() {
  keystone::MutexLock lock(stopMutex);
  return stopSet;
}

platform::ServiceStatus Service::CurrentStatus() {
  keystone::MutexLock lock(statusMutex);
  return status;
}

}  // namespace mfab
