#pragma once

// A systemd-logind stand-in that hands out sleep inhibitors, on a system bus of the test's own.
// It owns org.freedesktop.login1, answers Manager.Inhibit with the write end of a fresh pipe,
// notices when every copy of that end is closed (the inhibitor's release) and emits
// PrepareForSleep on request. Everything it sees goes, in order, into one event list that the
// test may add its own entries to. Thread-safe; it serves from a thread of its own.

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include <systemd/sd-bus.h>

#include "tests/fakes/fake_logind.h"

namespace platform_test {

class InhibitingLogind {
 public:
  InhibitingLogind();
  ~InhibitingLogind();
  InhibitingLogind(const InhibitingLogind&) = delete;
  InhibitingLogind& operator=(const InhibitingLogind&) = delete;

  // False when no bus could be started or the name not taken (the test should skip).
  bool Ready() const { return serving; }

  // Emits Manager.PrepareForSleep(start) from logind's connection; records "PrepareForSleep(<b>)".
  void PrepareForSleep(bool start);
  // Adds an entry of the test's own to the event list.
  void Record(const std::string& event);
  // The events so far: "Inhibit <what> <mode> #<n>", "released #<n>", "PrepareForSleep(...)"
  // and the test's own.
  std::vector<std::string> Events();
  // Whether the event list reached count entries within the platform tests' wait limit.
  bool WaitForEvents(size_t count);
  // Inhibitors handed out and not released.
  size_t Held();

 private:
  struct Inhibitor {
    int readEnd = -1;
    int number = 0;
  };
  static int OnCall(sd_bus_message* message, void* self, sd_bus_error* error);
  int Answer(sd_bus_message* message);
  void Serve(std::stop_token stop);
  void CheckReleases();
  void EmitPending();
  void RecordLocked(const std::string& event);

  keystone::testing::PrivateSystemBus bus;
  int wakeFd = -1;

  std::mutex mutex;  // Guards the members below.
  std::condition_variable changed;
  std::vector<std::string> events;
  std::vector<Inhibitor> held;
  int handedOut = 0;
  std::vector<bool> pendingSignals;  // PrepareForSleep arguments not emitted yet

  bool serving = false;
  sd_bus* connection = nullptr;  // used by the serving thread only once it runs
  sd_bus_slot* slot = nullptr;
  std::jthread server;           // last: stopped and joined first
};

}  // namespace platform_test
