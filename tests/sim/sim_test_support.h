#pragma once

// Helpers of the simulated applet's tests: the nine functions of the real libkiln-sim.so, a
// temporary state directory, a small stand-in for the engine's host side (a store of named blobs,
// stored-data blocks built from it, and the answers to the applet's storage requests), and the
// requests the tests send.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "applet/kiln.h"
#include "sim/applet/records.h"
#include "tlv/message.h"

namespace kilnsim::testing {

using Bytes = std::vector<uint8_t>;
inline constexpr char kSid[] = "S-1-5-21-11-22-33-1001";

// The functions of libkiln-sim.so, loaded once per process with dlopen.
struct KilnFunctions {
  decltype(&KILN_Initialize) initialize;
  decltype(&KILN_Deinit) deinit;
  decltype(&KILN_GetVersionInfo) getVersionInfo;
  decltype(&KILN_Install2) install2;
  decltype(&KILN_Uninstall) uninstall;
  decltype(&KILN_CreateSession) createSession;
  decltype(&KILN_CloseSession) closeSession;
  decltype(&KILN_ForceCloseSession) forceCloseSession;
  decltype(&KILN_SendAndRecv2) sendAndRecv2;
  void* library;
};
const KilnFunctions& Kiln();

// A fresh directory, removed with its content on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return path; }
  void WriteFile(const std::string& name, const std::string& content) const;
  std::string ReadFile(const std::string& name) const;

 private:
  std::string path;
};

// The engine's storage side: keeps blobs by logical name and answers the applet's requests.
class HostDouble {
 public:
  std::map<std::string, Bytes> store;

  // The 0x0006 item with these stored files (those that exist) and categories (0x0002 and 0x0101
  // only when their files exist, as the engine's loader does).
  Bytes Block(const std::vector<std::string>& names, const std::vector<uint32_t>& categories,
              const std::string& user = {}) const;
  // The block a session opens with: the policy category when the policy is stored.
  Bytes InitBlock() const;
  // The answer to a reply that is a request for host work; nullopt when the reply is final.
  std::optional<mfab::Message> Answer(const mfab::Message& reply);
};

mfab::Message MakeRequest(uint32_t type, Bytes payload = {}, uint32_t sessionId = 7);
// The host's answer to an applet request: its module and session, flagged as a response.
mfab::Message AnswerTo(const mfab::Message& request, uint32_t type, const Bytes& payload);
Bytes BooleanPayload(int32_t value);
// A session's opening data: generation 3, then the stored-data block if any.
Bytes InitData(const Bytes& block = {});
mfab::Message EnrollRequest(const std::string& sid, const std::string& factorId);
mfab::Message RemoveUserRequest(const std::string& sid);
mfab::Message UserDataRequest(const std::string& sid, uint32_t sessionId = 7);

uint16_t ErrorCodeOf(const mfab::Message& reply);
std::string ErrorTextOf(const mfab::Message& reply);
int32_t BooleanOf(const mfab::Message& reply);
// The users of a GetUserData reply.
std::vector<UserData> UsersOf(const mfab::Message& reply);

// A policy with factors "SmartCard" and "Phone", actions "OSLogin" (either factor) and "VPN"
// (both), and one system setting.
Bytes SamplePolicy(const std::string& firstFactorName = "Smart card");

// One handle and one session on the library, opened with the host's init block.
class SimClient {
 public:
  explicit SimClient(HostDouble& host, bool install = true);
  ~SimClient();
  SimClient(const SimClient&) = delete;
  SimClient& operator=(const SimClient&) = delete;

  KILN_HANDLE Handle() const { return handle; }
  KILN_SESSION_HANDLE Session() const { return session; }
  // Opens the session now (done by the constructor); returns the library status.
  KILN_STATUS Open(const Bytes& initData);
  // One exchange; reply receives the bytes written.
  KILN_STATUS Exchange(uint32_t commandId, const Bytes& request, Bytes& reply,
                       uint32_t capacity = 32768);
  // One exchange of a request (with an optional stored-data block appended); the reply parsed.
  mfab::Message Send(uint32_t commandId, const mfab::Message& request, const Bytes& block = {});
  // A request and every host answer it leads to, until the final reply.
  mfab::Message Run(const mfab::Message& request, const Bytes& block = {});

  mfab::Message GetPolicy(const Bytes& block = {});
  // The user's data, with the user's stored files delivered.
  mfab::Message GetUserData(const std::string& sid);
  // Complete changes through the host; they throw unless the applet accepts.
  void SetPolicy(const Bytes& policy = SamplePolicy());
  void Enroll(const std::string& sid, const std::string& factorId);

 private:
  HostDouble& host;
  KILN_HANDLE handle = nullptr;
  KILN_SESSION_HANDLE session = nullptr;
};

// A state directory of the test's own (KILN_SIM_STATE_DIR points at it) and an empty host.
class SimTest : public ::testing::Test {
 protected:
  SimTest();
  ~SimTest() override;

  TempDir state;
  HostDouble host;
};

}  // namespace kilnsim::testing
