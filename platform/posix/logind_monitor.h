#pragma once

// Listens on the system bus for systemd-logind's signals and turns them into service controls:
//   Manager.PrepareForSleep(true)   power event PBT_APMSUSPEND
//   Manager.PrepareForSleep(false)  power event PBT_APMRESUMEAUTOMATIC
//   Session.Lock / Session.Unlock   session change WTS_SESSION_LOCK / WTS_SESSION_UNLOCK
//   Manager.SessionRemoved          session change WTS_SESSION_LOGOFF
// The bus daemon delivers only signals sent by the owner of org.freedesktop.login1.
//
// It also holds a sleep delay inhibitor (Manager.Inhibit("sleep", ..., "delay"), a descriptor
// logind watches): taken at Start, kept through PrepareForSleep(true) until the owner says the
// service's sleep work is over (SleepHandled), so logind suspends only after it; taken again on
// PrepareForSleep(false).

#include <cstdint>
#include <functional>

#include <systemd/sd-bus.h>

namespace platform::posix {

// Not thread-safe: owned and driven by one thread (the service host's event loop).
class LogindMonitor {
 public:
  // Called from Process() for each signal; what names the signal for logging. Returns whether the
  // service took the control; a sleep it did not take releases the inhibitor at once.
  using EventCallback = std::function<bool(uint32_t control, uint32_t eventType, const char* what)>;

  explicit LogindMonitor(EventCallback callback);
  ~LogindMonitor();
  LogindMonitor(const LogindMonitor&) = delete;
  LogindMonitor& operator=(const LogindMonitor&) = delete;

  // Connects to the system bus (DBUS_SYSTEM_BUS_ADDRESS when set) and subscribes. Returns false
  // after logging why when there is no bus; logs when logind is not on it but still returns
  // true, so its signals arrive once it starts. Asks for the sleep inhibitor (the answer comes
  // through Process(); a refusal is logged). Never throws.
  bool Start();
  bool Connected() const { return bus != nullptr; }
  // The service's work for the sleep logind announced is over: the inhibitor is released. Does
  // nothing when no announced sleep waits for it (a sleep from the control socket).
  void SleepHandled();
  bool HoldsSleepInhibitor() const { return inhibitor >= 0; }

  // For the owner's poll loop: the descriptor, the events to wait for and the time-out (ms, -1
  // for none). Valid only when connected.
  int Fd() const;
  short Events() const;
  int TimeoutMs() const;
  // Handles whatever the bus has for us and calls the callback; drops the connection (logged)
  // when the bus goes away. Never throws.
  void Process();

 private:
  static int OnPrepareForSleep(sd_bus_message* message, void* self, sd_bus_error* error);
  static int OnSessionSignal(sd_bus_message* message, void* self, sd_bus_error* error);
  static int OnSessionRemoved(sd_bus_message* message, void* self, sd_bus_error* error);
  static int OnInhibitReply(sd_bus_message* reply, void* self, sd_bus_error* error);
  bool Deliver(uint32_t control, uint32_t eventType, const char* what) noexcept;
  void TakeSleepInhibitor();
  void ReleaseSleepInhibitor();
  void Disconnect();

  EventCallback callback;
  sd_bus* bus = nullptr;
  sd_bus_slot* slots[4] = {};
  // The inhibitor's descriptor, -1 when none is held; the pending Inhibit call.
  int inhibitor = -1;
  sd_bus_slot* inhibitCall = nullptr;
  // Whether an inhibitor is wanted (an answer that comes after a release is closed at once).
  bool inhibitorWanted = false;
  // logind announced a sleep whose work has not been reported over yet.
  bool sleepPending = false;
  // A refused Inhibit is logged once per connection.
  bool inhibitRefusalLogged = false;
};

}  // namespace platform::posix
