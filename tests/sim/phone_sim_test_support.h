#pragma once

// The real keystone-phone-sim program for a test: started in a temporary directory with a short
// radio time unit, answered once it answers PING, shut down (and waited for) when the object goes.

#include <sys/types.h>

#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "sim/phones/control_channel.h"
#include "tests/fakes/eventually.h"
#include "tests/fakes/program_runner.h"

namespace keystone::testing {

class PhoneSimProcess {
 public:
  PhoneSimProcess() {
    // A 10 ms radio unit: an inquiry or a phone out of reach costs tens of milliseconds.
    pid = SpawnProgram(KEYSTONE_PHONE_SIM_BINARY, {"--time-unit", "10", directory.Path()}, {},
                       directory.File("sim.log"));
    ready = Eventually([this] {
      try {
        return phonesim::Call(ControlPath(), "PING", std::chrono::seconds(1)).ok;
      } catch (const std::exception&) {
        return false;
      }
    });
  }
  ~PhoneSimProcess() { Stop(); }

  // Asks the simulator to end and waits for it: its exit code (0 when it joined every thread
  // and ended cleanly; a sanitizer's report makes it fail).
  int Stop() {
    if (pid < 0) return exitCode;
    try {
      phonesim::Call(ControlPath(), "SHUTDOWN", std::chrono::seconds(2));
    } catch (const std::exception&) {
      // WaitForExit kills it at its limit.
    }
    exitCode = WaitForExit(pid, std::chrono::seconds(10));
    pid = -1;
    return exitCode;
  }
  PhoneSimProcess(const PhoneSimProcess&) = delete;
  PhoneSimProcess& operator=(const PhoneSimProcess&) = delete;

  bool Ready() const { return ready; }
  std::string ControlPath() const { return directory.File("control.sock"); }
  const std::string& Directory() const { return directory.Path(); }

  // Sends one control line; the reply (the test checks ok itself).
  phonesim::Reply Do(const std::string& line) {
    return phonesim::Call(ControlPath(), line, std::chrono::seconds(5));
  }
  // Sends one control line that must succeed.
  void Must(const std::string& line) {
    const phonesim::Reply reply = Do(line);
    ASSERT_TRUE(reply.ok) << line << ": " << reply.errorText;
  }

 private:
  TempDirectory directory;
  pid_t pid = -1;
  bool ready = false;
  int exitCode = -1;
};

}  // namespace keystone::testing
