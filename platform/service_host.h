#pragma once

// The service host: what a service control manager does for a service. It starts the service's
// main function, hands the service's control handler the stop, pre-shutdown, power and session
// controls (numbered as the Windows service control manager numbers them), and receives the
// service's status reports.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace platform {

// Controls.
inline constexpr uint32_t kServiceControlStop = 1;
inline constexpr uint32_t kServiceControlPause = 2;
inline constexpr uint32_t kServiceControlInterrogate = 4;
inline constexpr uint32_t kServiceControlShutdown = 5;
inline constexpr uint32_t kServiceControlPowerEvent = 13;
inline constexpr uint32_t kServiceControlSessionChange = 14;
inline constexpr uint32_t kServiceControlPreshutdown = 15;

// Event types of kServiceControlPowerEvent.
inline constexpr uint32_t kPbtApmSuspend = 4;
inline constexpr uint32_t kPbtApmResumeSuspend = 7;
inline constexpr uint32_t kPbtApmResumeAutomatic = 18;
inline constexpr uint32_t kPbtPowerSettingChange = 0x8013;

// Event types of kServiceControlSessionChange.
inline constexpr uint32_t kWtsSessionLogoff = 6;
inline constexpr uint32_t kWtsSessionLock = 7;
inline constexpr uint32_t kWtsSessionUnlock = 8;

// Service states.
inline constexpr uint32_t kServiceStopped = 1;
inline constexpr uint32_t kServiceStartPending = 2;
inline constexpr uint32_t kServiceStopPending = 3;
inline constexpr uint32_t kServiceRunning = 4;

// Controls a service accepts (ServiceStatus::controlsAccepted bits).
inline constexpr uint32_t kServiceAcceptStop = 0x1;
inline constexpr uint32_t kServiceAcceptShutdown = 0x4;
inline constexpr uint32_t kServiceAcceptPowerEvent = 0x40;
inline constexpr uint32_t kServiceAcceptSessionChange = 0x80;
inline constexpr uint32_t kServiceAcceptPreshutdown = 0x100;

inline constexpr uint32_t kServiceWin32OwnProcess = 0x10;

// Win32 results of a control handler.
inline constexpr uint32_t kErrorSuccess = 0;
inline constexpr uint32_t kErrorCallNotImplemented = 120;

struct Guid {
  uint32_t data1 = 0;
  uint16_t data2 = 0;
  uint16_t data3 = 0;
  uint8_t data4[8] = {};

  bool operator==(const Guid&) const = default;
};

// {02731015-4510-4526-99E6-E5A17EBD1AEA}: the display is on (1) or off (0).
inline constexpr Guid kGuidMonitorPowerOn = {
    0x02731015, 0x4510, 0x4526, {0x99, 0xE6, 0xE5, 0xA1, 0x7E, 0xBD, 0x1A, 0xEA}};

// The event data of kPbtPowerSettingChange: which setting changed and its new value (dataLength
// bytes at data, which stays valid for the duration of the handler call).
struct PowerBroadcastSetting {
  Guid powerSetting;
  uint32_t dataLength = 0;
  const uint8_t* data = nullptr;
};

struct ServiceStatus {
  uint32_t serviceType = 0;
  uint32_t currentState = 0;
  uint32_t controlsAccepted = 0;
  uint32_t win32ExitCode = 0;
  uint32_t serviceSpecificExitCode = 0;
  uint32_t checkPoint = 0;
  uint32_t waitHint = 0;
};

// "stopped", "start-pending", "stop-pending", "running" or "unknown".
inline const char* ServiceStateName(uint32_t state) {
  switch (state) {
    case kServiceStopped: return "stopped";
    case kServiceStartPending: return "start-pending";
    case kServiceStopPending: return "stop-pending";
    case kServiceRunning: return "running";
    default: return "unknown";
  }
}

// The service's main function; runs on a thread of the host's.
using ServiceMainFunction = std::function<void()>;
// The extended control handler: control, event type, event data (a PowerBroadcastSetting for
// kPbtPowerSettingChange, otherwise nullptr). Returns kErrorSuccess or another Win32 status.
using ServiceControlHandler =
    std::function<uint32_t(uint32_t control, uint32_t eventType, const void* eventData)>;

// Operations return 0 on success or an error code of the host (errno values on Linux).
// Thread-safe.
class ServiceHost {
 public:
  virtual ~ServiceHost() = default;

  // Runs the service: starts serviceMain on a thread of its own and hands controls to the
  // registered handler on the calling thread, one at a time, until serviceMain returns. Blocks
  // for the whole run. Returns 0 after serviceMain returned, or an error code when the host
  // could not be set up (then serviceMain is not run). Call before the process starts threads:
  // the stop signals are blocked in the calling thread and the threads it creates, and stay
  // blocked after a run (a late stop signal must not kill a process that is exiting).
  virtual int StartServiceCtrlDispatcher(std::string_view serviceName,
                                         ServiceMainFunction serviceMain) = 0;

  // Registers the service's handler; controls arrive only after this.
  virtual int RegisterServiceCtrlHandler(std::string_view serviceName,
                                         ServiceControlHandler handler) = 0;

  // Asks for kPbtPowerSettingChange events of one setting. Only kGuidMonitorPowerOn is known.
  virtual int RegisterPowerSettingNotification(const Guid& setting) = 0;

  // Records the service's status and tells the supervisor about it.
  virtual int SetServiceStatus(const ServiceStatus& status) = 0;

  // The service has finished its work for a power event whose control it accepted (called once
  // per kPbtApmSuspend, from any thread, also when the work failed). The host lets the machine
  // sleep only after this or its own limit; a host without such a hold ignores it.
  virtual void PowerEventHandled(uint32_t eventType) = 0;
};

// Limits of the host's control socket.
struct ControlSocketOptions {
  // Longest request line, newline included.
  size_t maxLineLength = 256;
  // Connections served at once; more are refused.
  size_t maxClients = 16;
  // A connection that sends nothing for this long is closed.
  std::chrono::milliseconds clientIdleLimit{10000};
};

// What the host knows for the health view.
struct HostStatus {
  // The last power event handed to the service ("sleep", "PrepareForSleep(true)", ...) and when
  // (seconds since 1970 UTC); empty and 0 before the first.
  std::string lastPowerEvent;
  int64_t lastPowerEventTime = 0;
  bool systemBus = false;
  bool sleepInhibitorHeld = false;
};

// Answers the control socket's "status" request with one line of JSON (no newline). Called on
// the host's event loop: it must be quick and must not throw.
using StatusProvider = std::function<std::string(const HostStatus& host)>;

struct ServiceHostOptions {
  // Where the control socket "control" is created (made 0755 when missing).
  std::string runtimeDirectory;
  // Listen for systemd-logind's sleep and session signals on the system bus.
  bool useSystemBus = true;
  ControlSocketOptions controlSocket;
  // None: "status" is answered with an error.
  StatusProvider statusProvider;
};

// Creates and removes a probe file in the directory; throws std::system_error saying why the
// directory cannot be written.
void CheckDirectoryWritable(const std::string& directory);

// The host of this platform: on Linux it runs in the foreground (under systemd or by hand),
// turns SIGTERM and SIGINT into the stop control, systemd-logind's signals into power and session
// events, serves the administrators' control socket, and reports status with sd_notify.
std::unique_ptr<ServiceHost> CreateServiceHost(ServiceHostOptions options);

}  // namespace platform
