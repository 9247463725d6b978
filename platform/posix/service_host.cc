#include "platform/service_host.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#include <systemd/sd-daemon.h>

#include "common/mutex.h"
#include "platform/clock.h"
#include "log/logger.h"
#include "platform/posix/control_socket.h"
#include "platform/posix/logind_monitor.h"
#include "platform/posix/unique_fd.h"

namespace platform {
namespace {

mfab::AuthenticateLogger& Log() { return mfab::AuthenticateLoggerService::Instance(); }

// Win32 code of a handler registration with an unknown service name.
constexpr int kErrorServiceDoesNotExist = 1060;

// The accept bit a control needs; 0 for controls that are always delivered.
uint32_t RequiredAcceptBit(uint32_t control) {
  switch (control) {
    case kServiceControlPowerEvent: return kServiceAcceptPowerEvent;
    case kServiceControlSessionChange: return kServiceAcceptSessionChange;
    case kServiceControlPreshutdown: return kServiceAcceptPreshutdown;
    case kServiceControlShutdown: return kServiceAcceptShutdown;
    default: return 0;  // stop (a signal cannot be refused) and interrogate
  }
}

// Runs a service in the foreground: the calling thread is the dispatcher and the event loop.
class PosixServiceHost final : public ServiceHost {
 public:
  explicit PosixServiceHost(ServiceHostOptions hostOptions) : options(std::move(hostOptions)) {}

  int StartServiceCtrlDispatcher(std::string_view name, ServiceMainFunction serviceMain) override;
  int RegisterServiceCtrlHandler(std::string_view name, ServiceControlHandler handler) override;
  int RegisterPowerSettingNotification(const Guid& setting) override;
  int SetServiceStatus(const ServiceStatus& status) override;
  void PowerEventHandled(uint32_t eventType) override;

 private:
  // Event-loop thread only.
  std::string HandleRequest(std::string_view line);
  std::string Deliver(uint32_t control, uint32_t eventType, const void* eventData,
                      const std::string& what);
  void OnSignals(int signalFd);
  void Wake();

  const ServiceHostOptions options;
  bool stopRequested = false;  // a stop that arrived before the handler; loop thread only

  keystone::Mutex mutex;  // Guards the members below.
  std::string serviceName GUARDED_BY(mutex);
  bool dispatching GUARDED_BY(mutex) = false;
  int wakeFd GUARDED_BY(mutex) = -1;
  ServiceControlHandler controlHandler GUARDED_BY(mutex);
  bool monitorPowerRegistered GUARDED_BY(mutex) = false;
  ServiceStatus lastStatus GUARDED_BY(mutex);
  // The service reported a sleep's work over; the loop releases logind's inhibitor.
  bool sleepHandled GUARDED_BY(mutex) = false;
  // Loop thread only.
  HostStatus hostStatus;
};

int PosixServiceHost::StartServiceCtrlDispatcher(std::string_view name,
                                                 ServiceMainFunction serviceMain) {
  {
    keystone::MutexLock lock(mutex);
    if (dispatching) return EBUSY;
    dispatching = true;
    serviceName = std::string(name);
  }
  // Blocked here and so in every thread started from now on; read through the signalfd. They
  // stay blocked after the run, so a late stop signal cannot kill a process that is exiting.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  sigset_t previousMask;
  pthread_sigmask(SIG_BLOCK, &stopSignals, &previousMask);

  posix::UniqueFd signalFd(::signalfd(-1, &stopSignals, SFD_NONBLOCK | SFD_CLOEXEC));
  posix::UniqueFd eventFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  std::optional<posix::ControlSocketServer> controlSocket;
  int setupError = 0;
  if (signalFd.get() < 0 || eventFd.get() < 0) {
    setupError = errno;
    KS_LOG(Log(), mfab::kLogError, "FLOW", "Service host set-up failed (%s)",
           std::strerror(setupError));
  } else {
    try {
      controlSocket.emplace(options.runtimeDirectory, options.controlSocket,
                            [this](std::string_view line) { return HandleRequest(line); });
    } catch (const std::system_error& e) {
      setupError = e.code().value() != 0 ? e.code().value() : EIO;
      KS_LOG(Log(), mfab::kLogError, "FLOW", "Cannot open the control socket (%s)", e.what());
    }
  }
  if (setupError != 0) {
    // Nothing ran, so the caller gets its signals back as they were.
    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    keystone::MutexLock lock(mutex);
    dispatching = false;
    return setupError;
  }

  posix::LogindMonitor logind([this](uint32_t control, uint32_t eventType, const char* what) {
    const std::string reply = Deliver(control, eventType, nullptr, what);
    if (reply.rfind("error", 0) == 0) {
      KS_LOG(Log(), mfab::kLogInfo, "FLOW", "systemd-logind %s not delivered: %s", what,
             reply.c_str());
      return false;
    }
    return true;
  });
  if (options.useSystemBus) logind.Start();

  {
    keystone::MutexLock lock(mutex);
    wakeFd = eventFd.get();
  }
  std::atomic<bool> mainReturned{false};
  std::thread serviceThread([&] {
    try {
      serviceMain();
    } catch (const std::exception& e) {
      KS_LOG(Log(), mfab::kLogCritical, "FLOW", "The service main function failed (%s)",
             e.what());
    } catch (...) {
      KS_LOG(Log(), mfab::kLogCritical, "FLOW", "The service main function failed");
    }
    mainReturned = true;
    Wake();
  });

  std::vector<pollfd> fds;
  while (!mainReturned) {
    hostStatus.systemBus = logind.Connected();
    hostStatus.sleepInhibitorHeld = logind.HoldsSleepInhibitor();
    fds.clear();
    fds.push_back({signalFd.get(), POLLIN, 0});
    fds.push_back({eventFd.get(), POLLIN, 0});
    controlSocket->AppendPollFds(fds);
    const size_t socketEnd = fds.size();
    if (logind.Connected()) fds.push_back({logind.Fd(), logind.Events(), 0});
    int timeout = controlSocket->PollTimeoutMs();
    const int busTimeout = logind.TimeoutMs();
    if (busTimeout >= 0 && (timeout < 0 || busTimeout < timeout)) timeout = busTimeout;

    if (::poll(fds.data(), fds.size(), timeout) < 0) {
      if (errno == EINTR) continue;
      KS_LOG(Log(), mfab::kLogError, "FLOW", "Service host poll failed (%s)",
             std::strerror(errno));
      // Stop the service rather than spin; the loop ends when the main function returns.
      stopRequested = true;
    }
    if (fds[0].revents & POLLIN) OnSignals(signalFd.get());
    if (fds[1].revents & POLLIN) {
      uint64_t count = 0;
      [[maybe_unused]] const ssize_t n = ::read(eventFd.get(), &count, sizeof(count));
    }
    if (stopRequested) Deliver(kServiceControlStop, 0, nullptr, "stop");
    controlSocket->OnPoll(std::span<const pollfd>(fds.data() + 2, socketEnd - 2));
    controlSocket->ExpireIdle();
    bool releaseInhibitor = false;
    {
      keystone::MutexLock lock(mutex);
      releaseInhibitor = std::exchange(sleepHandled, false);
    }
    if (releaseInhibitor) logind.SleepHandled();
    if (logind.Connected()) logind.Process();
  }
  serviceThread.join();
  {
    keystone::MutexLock lock(mutex);
    wakeFd = -1;
    dispatching = false;
    controlHandler = nullptr;
  }
  return 0;
}

void PosixServiceHost::OnSignals(int signalFd) {
  signalfd_siginfo info{};
  while (::read(signalFd, &info, sizeof(info)) == static_cast<ssize_t>(sizeof(info))) {
    KS_LOG(Log(), mfab::kLogInfo, "FLOW", "Received %s: stopping the service",
           info.ssi_signo == SIGINT ? "SIGINT" : "SIGTERM");
    stopRequested = true;
  }
}

void PosixServiceHost::Wake() {
  keystone::MutexLock lock(mutex);
  if (wakeFd < 0) return;
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(wakeFd, &one, sizeof(one));
}

std::string PosixServiceHost::Deliver(uint32_t control, uint32_t eventType,
                                      const void* eventData, const std::string& what) {
  ServiceControlHandler handler;
  uint32_t accepted = 0;
  uint32_t state = 0;
  {
    keystone::MutexLock lock(mutex);
    handler = controlHandler;
    accepted = lastStatus.controlsAccepted;
    state = lastStatus.currentState;
  }
  if (!handler) {
    // A stop before the service registered its handler is kept and handed over later.
    if (control == kServiceControlStop) {
      stopRequested = true;
      return "ok stop pending";
    }
    return "error the service has not started yet";
  }
  if (control == kServiceControlStop) stopRequested = false;
  const uint32_t bit = RequiredAcceptBit(control);
  if (bit != 0 && (accepted & bit) == 0) {
    KS_LOG(Log(), mfab::kLogInfo, "FLOW", "Control '%s' not accepted in state %s", what.c_str(),
           ServiceStateName(state));
    return std::string("error the service does not accept '") + what + "' now (state " +
           ServiceStateName(state) + ")";
  }
  uint32_t result = kErrorCallNotImplemented;
  try {
    result = handler(control, eventType, eventData);
  } catch (const std::exception& e) {
    KS_LOG(Log(), mfab::kLogError, "FLOW", "Control '%s' failed (%s)", what.c_str(), e.what());
  }
  if (control == kServiceControlPowerEvent && result == kErrorSuccess) {
    hostStatus.lastPowerEvent = what;
    hostStatus.lastPowerEventTime = SystemClock().UnixSeconds();
  }
  if (result == kErrorSuccess) return "ok";
  return "error the service answered " + std::to_string(result);
}

std::string PosixServiceHost::HandleRequest(std::string_view line) {
  posix::ControlRequest request;
  try {
    request = posix::ParseControlRequest(line);
  } catch (const posix::ControlProtocolError& e) {
    KS_LOG(Log(), mfab::kLogWarning, "FLOW", "Control socket: refused a request (%s)", e.what());
    return std::string("error ") + e.what();
  }
  if (request.kind == posix::ControlRequest::Kind::kLogLevel) {
    mfab::SetLogThreshold(request.sink, request.threshold);
    KS_LOG(Log(), mfab::kLogInfo, "FLOW", "Control socket: log threshold of %s set to %u",
           mfab::LogSinkName(request.sink), request.threshold);
    return "ok";
  }
  if (request.kind == posix::ControlRequest::Kind::kStatus) {
    if (!options.statusProvider) return "error status is not available";
    return "ok " + options.statusProvider(hostStatus);
  }
  KS_LOG(Log(), mfab::kLogInfo, "FLOW", "Control socket: %s", request.command.c_str());
  if (request.eventType == kPbtPowerSettingChange &&
      request.control == kServiceControlPowerEvent) {
    bool registered = false;
    {
      keystone::MutexLock lock(mutex);
      registered = monitorPowerRegistered;
    }
    if (!registered) {
      return "error connected standby notifications are not registered (no connected standby "
             "on this machine)";
    }
    const uint8_t value = request.monitorPowerOn;
    PowerBroadcastSetting setting{kGuidMonitorPowerOn, 1, &value};
    return Deliver(request.control, request.eventType, &setting, request.command);
  }
  return Deliver(request.control, request.eventType, nullptr, request.command);
}

int PosixServiceHost::RegisterServiceCtrlHandler(std::string_view name,
                                                 ServiceControlHandler handler) {
  {
    keystone::MutexLock lock(mutex);
    if (dispatching && name != serviceName) return kErrorServiceDoesNotExist;
    controlHandler = std::move(handler);
  }
  // A stop that came early is delivered now.
  Wake();
  return 0;
}

int PosixServiceHost::RegisterPowerSettingNotification(const Guid& setting) {
  if (!(setting == kGuidMonitorPowerOn)) return EINVAL;
  keystone::MutexLock lock(mutex);
  monitorPowerRegistered = true;
  return 0;
}

void PosixServiceHost::PowerEventHandled(uint32_t eventType) {
  if (eventType != kPbtApmSuspend) return;
  {
    keystone::MutexLock lock(mutex);
    sleepHandled = true;
  }
  Wake();
}

int PosixServiceHost::SetServiceStatus(const ServiceStatus& status) {
  {
    keystone::MutexLock lock(mutex);
    lastStatus = status;
  }
  std::string message;
  if (status.currentState == kServiceRunning) message += "READY=1\n";
  if (status.currentState == kServiceStopPending) message += "STOPPING=1\n";
  message += "STATUS=";
  message += ServiceStateName(status.currentState);
  // Without NOTIFY_SOCKET this sends nothing and succeeds.
  const int r = sd_notify(0, message.c_str());
  return r < 0 ? -r : 0;
}

}  // namespace

std::unique_ptr<ServiceHost> CreateServiceHost(ServiceHostOptions options) {
  return std::make_unique<PosixServiceHost>(std::move(options));
}

}  // namespace platform
