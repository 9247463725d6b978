#include "platform/posix/logind_monitor.h"

#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include <systemd/sd-bus.h>

#include "log/logger.h"
#include "platform/service_host.h"

namespace platform::posix {
namespace {

mfab::AuthenticateLogger& Log() { return mfab::AuthenticateLoggerService::Instance(); }

constexpr const char* kLogindName = "org.freedesktop.login1";

constexpr const char* kPrepareForSleepMatch =
    "type='signal',sender='org.freedesktop.login1',path='/org/freedesktop/login1',"
    "interface='org.freedesktop.login1.Manager',member='PrepareForSleep'";
constexpr const char* kSessionRemovedMatch =
    "type='signal',sender='org.freedesktop.login1',path='/org/freedesktop/login1',"
    "interface='org.freedesktop.login1.Manager',member='SessionRemoved'";
constexpr const char* kLockMatch =
    "type='signal',sender='org.freedesktop.login1',"
    "path_namespace='/org/freedesktop/login1/session',"
    "interface='org.freedesktop.login1.Session',member='Lock'";
constexpr const char* kUnlockMatch =
    "type='signal',sender='org.freedesktop.login1',"
    "path_namespace='/org/freedesktop/login1/session',"
    "interface='org.freedesktop.login1.Session',member='Unlock'";

constexpr const char* kInhibitWho = "Keystone Engine";
constexpr const char* kInhibitWhy =
    "Ending the applet session and any running authentication before the machine sleeps";

}  // namespace

LogindMonitor::LogindMonitor(EventCallback eventCallback) : callback(std::move(eventCallback)) {}

LogindMonitor::~LogindMonitor() { Disconnect(); }

bool LogindMonitor::Start() {
  if (bus) return true;
  int r = sd_bus_open_system(&bus);
  if (r < 0) {
    bus = nullptr;
    KS_LOG(Log(), mfab::kLogWarning, "FLOW",
           "No system bus (%s): power and session events come from the control socket only",
           std::strerror(-r));
    return false;
  }
  struct Subscription {
    const char* match;
    sd_bus_message_handler_t handler;
  };
  const Subscription subscriptions[] = {
      {kPrepareForSleepMatch, &LogindMonitor::OnPrepareForSleep},
      {kSessionRemovedMatch, &LogindMonitor::OnSessionRemoved},
      {kLockMatch, &LogindMonitor::OnSessionSignal},
      {kUnlockMatch, &LogindMonitor::OnSessionSignal},
  };
  for (size_t i = 0; i < std::size(subscriptions); ++i) {
    r = sd_bus_add_match(bus, &slots[i], subscriptions[i].match, subscriptions[i].handler, this);
    if (r < 0) {
      KS_LOG(Log(), mfab::kLogWarning, "FLOW",
             "Cannot subscribe to systemd-logind's signals (%s): power and session events come "
             "from the control socket only",
             std::strerror(-r));
      Disconnect();
      return false;
    }
  }
  sd_bus_error error{};  // the zeroed SD_BUS_ERROR_NULL
  sd_bus_message* reply = nullptr;
  int hasOwner = 0;
  r = sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                         "org.freedesktop.DBus", "NameHasOwner", &error, &reply, "s", kLogindName);
  if (r >= 0) r = sd_bus_message_read(reply, "b", &hasOwner);
  sd_bus_message_unref(reply);
  sd_bus_error_free(&error);
  if (r < 0 || !hasOwner) {
    KS_LOG(Log(), mfab::kLogWarning, "FLOW",
           "systemd-logind is not on the system bus; its power and session signals will be "
           "handled once it appears");
  } else {
    KS_LOG(Log(), mfab::kLogInfo, "FLOW", "Listening to systemd-logind's power and session signals");
  }
  TakeSleepInhibitor();
  return true;
}

void LogindMonitor::TakeSleepInhibitor() {
  inhibitorWanted = true;
  if (!bus || inhibitor >= 0 || inhibitCall) return;
  const int r = sd_bus_call_method_async(
      bus, &inhibitCall, kLogindName, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
      "Inhibit", &LogindMonitor::OnInhibitReply, this, "ssss", "sleep", kInhibitWho, kInhibitWhy,
      "delay");
  if (r < 0) {
    inhibitCall = nullptr;
    KS_LOG(Log(), mfab::kLogWarning, "FLOW",
           "Cannot ask systemd-logind for a sleep inhibitor (%s): the machine may sleep before "
           "the engine has handled it",
           std::strerror(-r));
  }
}

int LogindMonitor::OnInhibitReply(sd_bus_message* reply, void* self, sd_bus_error*) {
  auto* monitor = static_cast<LogindMonitor*>(self);
  monitor->inhibitCall = sd_bus_slot_unref(monitor->inhibitCall);
  if (sd_bus_message_is_method_error(reply, nullptr)) {
    if (!monitor->inhibitRefusalLogged) {
      monitor->inhibitRefusalLogged = true;
      const sd_bus_error* error = sd_bus_message_get_error(reply);
      KS_LOG(Log(), mfab::kLogWarning, "FLOW",
             "systemd-logind refused a sleep inhibitor (%s): the machine may sleep before the "
             "engine has handled it",
             error && error->message ? error->message : "no reason given");
    }
    return 0;
  }
  int fd = -1;
  if (sd_bus_message_read(reply, "h", &fd) < 0 || fd < 0) {
    KS_LOG(Log(), mfab::kLogWarning, "FLOW", "Ignoring a malformed answer to Inhibit");
    return 0;
  }
  // The message closes its descriptor when it goes; the inhibitor lives on in a copy.
  const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  if (copy < 0) {
    KS_LOG(Log(), mfab::kLogWarning, "FLOW", "Cannot keep the sleep inhibitor (%s)",
           std::strerror(errno));
    return 0;
  }
  if (!monitor->inhibitorWanted || monitor->inhibitor >= 0) {
    ::close(copy);
    return 0;
  }
  monitor->inhibitor = copy;
  KS_LOG(Log(), mfab::kLogInfo, "FLOW", "Holding a sleep delay inhibitor of systemd-logind");
  return 0;
}

void LogindMonitor::ReleaseSleepInhibitor() {
  inhibitorWanted = false;
  inhibitCall = sd_bus_slot_unref(inhibitCall);
  if (inhibitor >= 0) {
    ::close(inhibitor);
    inhibitor = -1;
    KS_LOG(Log(), mfab::kLogInfo, "FLOW", "Released the sleep inhibitor");
  }
}

void LogindMonitor::SleepHandled() {
  if (!sleepPending) return;
  sleepPending = false;
  ReleaseSleepInhibitor();
}

int LogindMonitor::Fd() const { return bus ? sd_bus_get_fd(bus) : -1; }

short LogindMonitor::Events() const {
  if (!bus) return 0;
  const int events = sd_bus_get_events(bus);
  return static_cast<short>(events < 0 ? POLLIN : events);
}

int LogindMonitor::TimeoutMs() const {
  if (!bus) return -1;
  uint64_t until = 0;
  if (sd_bus_get_timeout(bus, &until) < 0 || until == UINT64_MAX) return -1;
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  const uint64_t nowUsec =
      static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
  if (until <= nowUsec) return 0;
  const uint64_t ms = (until - nowUsec + 999) / 1000;
  return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

void LogindMonitor::Process() {
  if (!bus) return;
  for (;;) {
    const int r = sd_bus_process(bus, nullptr);
    if (r == 0) return;
    if (r < 0) {
      KS_LOG(Log(), mfab::kLogWarning, "FLOW",
             "Lost the system bus (%s): power and session events come from the control socket "
             "only",
             std::strerror(-r));
      Disconnect();
      return;
    }
  }
}

bool LogindMonitor::Deliver(uint32_t control, uint32_t eventType, const char* what) noexcept {
  // Runs inside sd-bus's C callback: nothing may escape, not even from the logging.
  try {
    try {
      return callback(control, eventType, what);
    } catch (const std::exception& e) {
      KS_LOG(Log(), mfab::kLogError, "FLOW", "Handling %s failed (%s)", what, e.what());
    } catch (...) {
      KS_LOG(Log(), mfab::kLogError, "FLOW", "Handling %s failed (Unknown exception)", what);
    }
  } catch (...) {
  }
  return false;
}

int LogindMonitor::OnPrepareForSleep(sd_bus_message* message, void* self, sd_bus_error*) {
  int start = 0;
  if (sd_bus_message_read(message, "b", &start) < 0) {
    KS_LOG(Log(), mfab::kLogWarning, "FLOW", "Ignoring a malformed PrepareForSleep signal");
    return 0;
  }
  auto* monitor = static_cast<LogindMonitor*>(self);
  if (start) {
    monitor->sleepPending = true;
    if (!monitor->Deliver(kServiceControlPowerEvent, kPbtApmSuspend, "PrepareForSleep(true)")) {
      // Nobody will report this sleep's work over: hold the machine no longer.
      monitor->SleepHandled();
    }
  } else {
    // A sleep that went ahead without the report (logind's own limit) leaves the old one held.
    monitor->sleepPending = false;
    monitor->ReleaseSleepInhibitor();
    monitor->TakeSleepInhibitor();
    monitor->Deliver(kServiceControlPowerEvent, kPbtApmResumeAutomatic, "PrepareForSleep(false)");
  }
  return 0;
}

int LogindMonitor::OnSessionSignal(sd_bus_message* message, void* self, sd_bus_error*) {
  auto* monitor = static_cast<LogindMonitor*>(self);
  if (sd_bus_message_is_signal(message, "org.freedesktop.login1.Session", "Lock")) {
    monitor->Deliver(kServiceControlSessionChange, kWtsSessionLock, "Session.Lock");
  } else if (sd_bus_message_is_signal(message, "org.freedesktop.login1.Session", "Unlock")) {
    monitor->Deliver(kServiceControlSessionChange, kWtsSessionUnlock, "Session.Unlock");
  }
  return 0;
}

int LogindMonitor::OnSessionRemoved(sd_bus_message*, void* self, sd_bus_error*) {
  // The session id and path are not looked at.
  static_cast<LogindMonitor*>(self)->Deliver(kServiceControlSessionChange, kWtsSessionLogoff,
                                             "SessionRemoved");
  return 0;
}

void LogindMonitor::Disconnect() {
  ReleaseSleepInhibitor();
  sleepPending = false;
  for (sd_bus_slot*& slot : slots) slot = sd_bus_slot_unref(slot);
  if (bus) bus = sd_bus_flush_close_unref(bus);
}

}  // namespace platform::posix
