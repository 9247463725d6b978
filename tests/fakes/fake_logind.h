#pragma once

// A system bus of the test's own and a systemd-logind stand-in on it. The bus is a dbus-daemon
// in a temporary directory; DBUS_SYSTEM_BUS_ADDRESS names it while the object lives. The
// stand-in owns org.freedesktop.login1 and answers, from a thread of its own, the property reads
// the console-session lookup makes: seat0's ActiveSession, a session's User, Class, Type, State,
// Display and Leader, and its user's RuntimePath. Thread-safe.

#include <cstdint>
#include <future>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>

#include <systemd/sd-bus.h>

#include "tests/fakes/locked.h"
#include "tests/fakes/program_runner.h"

namespace keystone::testing {

// A dbus-daemon with a permissive policy as the system bus.
class PrivateSystemBus {
 public:
  PrivateSystemBus();
  ~PrivateSystemBus();
  PrivateSystemBus(const PrivateSystemBus&) = delete;
  PrivateSystemBus& operator=(const PrivateSystemBus&) = delete;

  // False when no dbus-daemon could be started (the test should skip).
  bool Ready() const { return ready; }
  // "unix:path=..."
  const std::string& Address() const { return address; }

 private:
  TempDirectory dir;
  std::string address;
  std::optional<std::string> savedAddress;
  pid_t daemon = -1;
  bool ready = false;
};

class FakeLogind {
 public:
  struct Session {
    std::string id = "2";
    uint32_t uid = 0;
    std::string kind = "user";  // Class
    std::string type = "x11";   // Type
    std::string state = "active";
    std::string display = ":0";
    uint32_t leader = 0;
    std::string runtimePath;  // the user's RuntimePath
  };

  FakeLogind();
  FakeLogind(const FakeLogind&) = delete;
  FakeLogind& operator=(const FakeLogind&) = delete;

  // False when the bus or the stand-in could not be started (the test should skip).
  bool Ready() const { return serving; }
  const std::string& Address() const { return bus.Address(); }

  // seat0's active session; nullopt: nobody is active.
  void SetActive(std::optional<Session> session) { LockedSet(mutex, active, std::move(session)); }
  // Whether seat0 exists at all.
  void SetSeatPresent(bool present) { LockedSet(mutex, seatPresent, present); }

 private:
  int Answer(sd_bus_message* message);
  void Serve(std::stop_token stop, std::promise<bool>& started);

  PrivateSystemBus bus;
  std::mutex mutex;  // Guards the members below.
  std::optional<Session> active;
  bool seatPresent = true;

  bool serving = false;
  std::jthread server;  // last: stopped and joined first
};

}  // namespace keystone::testing
