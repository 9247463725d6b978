#pragma once

// Helpers of the simulated applet's tests: the real libkiln-sim.so, a temporary state directory,
// a client of the library and the requests the tests send. What the engine stores for the applet
// is tested through the engine (sim_engine_test).

#include <stdlib.h>

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "applet/kiln.h"
#include "applet/kiln_library.h"
#include "sim/applet/records.h"
#include "tests/fakes/program_runner.h"
#include "tlv/message.h"

namespace kilnsim::testing {

using Bytes = std::vector<uint8_t>;
inline constexpr char kSid[] = "S-1-5-21-11-22-33-1001";

// libkiln-sim.so through the engine's loader, loaded once per process.
mfab::SharedKilnLibrary& Kiln();

// A fresh directory, removed with its content on destruction; files named relative to it.
class TempDir : public keystone::testing::TempDirectory {
 public:
  // Replaces the file at once (by renaming), as a reader in another thread must see it; makes
  // the directories on the way.
  void WriteFile(const std::string& name, const std::string& content) const;
  std::string ReadFile(const std::string& name) const {
    return keystone::testing::ReadFileText(File(name));
  }
};

mfab::Message MakeRequest(uint32_t type, Bytes payload = {}, uint32_t sessionId = 7);
// A session's opening data: generation 3, no stored data.
Bytes InitData();
mfab::Message EnrollRequest(const std::string& sid, const std::string& factorId);

uint16_t ErrorCodeOf(const mfab::Message& reply);
std::string ErrorTextOf(const mfab::Message& reply);

// A policy with factors "SmartCard" and "Phone", actions "OSLogin" (either factor) and "VPN"
// (both), and one system setting.
Bytes SamplePolicy(const std::string& firstFactorName = "Smart card");

// One handle and, when installed, one session on the library.
class SimClient {
 public:
  explicit SimClient(bool install = true);
  ~SimClient();
  SimClient(const SimClient&) = delete;
  SimClient& operator=(const SimClient&) = delete;

  KILN_HANDLE Handle() const { return handle; }
  KILN_SESSION_HANDLE Session() const { return session; }
  // Opens the session now (done by the constructor); returns the library status.
  KILN_STATUS Open(const Bytes& initData);
  // One exchange; reply receives the bytes written (for a too small buffer, as many as needed).
  KILN_STATUS Exchange(uint32_t commandId, const Bytes& request, Bytes& reply,
                       uint32_t capacity = 32768);
  // One exchange of a request; the reply parsed.
  mfab::Message Send(uint32_t commandId, const mfab::Message& request);
  // A request, every save it asks for answered as done, until the final reply.
  mfab::Message Run(const mfab::Message& request);

 private:
  KILN_HANDLE handle = nullptr;
  KILN_SESSION_HANDLE session = nullptr;
};

// A state directory of the test's own (KILN_SIM_STATE_DIR points at it).
class SimTest : public ::testing::Test {
 protected:
  SimTest() { ::setenv("KILN_SIM_STATE_DIR", state.Path().c_str(), 1); }
  ~SimTest() override { ::unsetenv("KILN_SIM_STATE_DIR"); }

  TempDir state;
};

}  // namespace kilnsim::testing
