// End to end: a real keystone-engine on the simulated applet, in temporary directories, driven
// through the client library the way applications drive it (and through keystonectl for events).

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/config_keys.h"
#include "platform/power_capabilities.h"
#include "platform/registry.h"
#include "rpc/client/client.h"

extern char** environ;

namespace rpc {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

#if defined(KEYSTONE_ENGINE_BINARY) && defined(KEYSTONECTL_BINARY) && defined(KILN_SIM_LIBRARY)
constexpr const char* kEngine = KEYSTONE_ENGINE_BINARY;
constexpr const char* kCtl = KEYSTONECTL_BINARY;
#else
constexpr const char* kEngine = nullptr;
constexpr const char* kCtl = nullptr;
#endif

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// Sanitized engines run several times slower; the load test keeps its shape with fewer messages.
constexpr int kMessagesPerClient = 150;
#else
constexpr int kMessagesPerClient = 1000;
#endif
constexpr int kClients = 64;
constexpr auto kWaitLimit = 30s;
constexpr uint32_t kNoSession = 0xFFFFFFFF;
constexpr uint32_t kUnprivilegedId = 65534;  // nobody

// Envelopes written and read by hand, so the test checks the wire format the engine speaks.
void AppendItem(Bytes& out, uint16_t tag, const Bytes& value) {
  out.push_back(static_cast<uint8_t>(tag >> 8));
  out.push_back(static_cast<uint8_t>(tag));
  out.push_back(static_cast<uint8_t>(value.size() >> 8));
  out.push_back(static_cast<uint8_t>(value.size()));
  out.insert(out.end(), value.begin(), value.end());
}
Bytes IntValue(uint32_t v) {
  return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}
Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes Envelope(uint32_t moduleId, uint32_t type, uint32_t session, const Bytes& payload = {}) {
  Bytes out;
  AppendItem(out, 0x0000, IntValue(moduleId));
  AppendItem(out, 0x0001, IntValue(type));
  AppendItem(out, 0x0003, IntValue(1));
  AppendItem(out, 0x0002, payload);
  AppendItem(out, 0x0007, IntValue(0));
  AppendItem(out, 0x0008, IntValue(session));
  return out;
}

// The integer value of a top-level item; nullopt when absent or the buffer is malformed.
std::optional<uint32_t> IntItem(const Bytes& buffer, uint16_t tag) {
  size_t at = 0;
  while (at + 4 <= buffer.size()) {
    const uint16_t itemTag = static_cast<uint16_t>(buffer[at] << 8 | buffer[at + 1]);
    const size_t length = static_cast<size_t>(buffer[at + 2] << 8 | buffer[at + 3]);
    if (at + 4 + length > buffer.size()) return std::nullopt;
    if (itemTag == tag) {
      if (length > 4) return std::nullopt;
      uint32_t value = 0;
      for (size_t i = 0; i < length; ++i) value = value << 8 | buffer[at + 4 + i];
      return value;
    }
    at += 4 + length;
  }
  return std::nullopt;
}

Bytes PolicyGet(uint32_t session, uint32_t moduleId = 5) {
  return Envelope(moduleId, 0xABBA0065, session);
}

Bytes PolicySet(uint32_t session) {
  Bytes factor;
  AppendItem(factor, 0x7B14, Text("pin"));
  AppendItem(factor, 0x7C03, Text("PIN"));
  AppendItem(factor, 0x7C04, IntValue(1));
  Bytes factors;
  AppendItem(factors, 0x7C02, factor);
  Bytes payload;
  AppendItem(payload, 0x7C01, factors);
  return Envelope(5, 0xABBA000D, session, payload);
}

std::vector<std::string> Environment(const std::vector<std::pair<std::string, std::string>>& set) {
  std::vector<std::string> result;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    bool replaced = false;
    for (const auto& [name, value] : set) replaced = replaced || entry.rfind(name + "=", 0) == 0;
    if (!replaced) result.push_back(entry);
  }
  // An empty value removes the variable.
  for (const auto& [name, value] : set) {
    if (!value.empty()) result.push_back(name + "=" + value);
  }
  return result;
}

// Runs a program with its output in files; with uid set, as that user (and group) instead.
pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
            const std::string& outPath, const std::string& errPath,
            std::optional<uint32_t> uid = std::nullopt) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666);
    const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666);
    ::dup2(out, STDOUT_FILENO);
    ::dup2(err, STDERR_FILENO);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    if (uid && (::setgroups(0, nullptr) != 0 || ::setgid(*uid) != 0 || ::setuid(*uid) != 0)) {
      ::_exit(126);
    }
    ::execve(args[0], args.data(), envp.data());
    ::_exit(127);
  }
  return pid;
}

int WaitExit(pid_t pid, std::chrono::milliseconds limit = kWaitLimit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(5ms);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class EngineE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!kEngine || !kCtl) GTEST_SKIP() << "keystone-engine, keystonectl or the simulated applet was not built";
    std::string pattern = (std::filesystem::temp_directory_path() / "ks-e2e-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root = pattern;
    // Traversable, so a client that dropped its privileges reaches the socket.
    ::chmod(root.c_str(), 0755);
    stateDir = root + "/state";
    runtimeDir = root + "/run";
    socketPath = runtimeDir + "/IVoxWithMfa";
    std::filesystem::create_directories(stateDir);
    env = Environment({{"KEYSTONE_STATE_DIR", stateDir},
                       {"KEYSTONE_RUNTIME_DIR", runtimeDir},
                       {"KEYSTONE_LOG", "stderr"},
                       {"KILN_SIM_STATE_DIR", root + "/kiln"},
                       {"NOTIFY_SOCKET", ""},
                       {"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + root + "/no-bus"}});
  }

  void TearDown() override {
    if (enginePid > 0) {
      ::kill(enginePid, SIGTERM);
      EXPECT_EQ(WaitExit(enginePid), 0) << "the engine did not stop cleanly";
    }
    if (!root.empty()) std::filesystem::remove_all(root);
  }

  void SetDword(const char* name, uint32_t value) {
    auto registry = platform::OpenRegistry(stateDir + "/registry.db");
    platform::WriteRegistryValue(*registry, keystone::kEngineKey, name,
                                 platform::RegValue::Dword(value));
  }

  void WriteFaults(const std::string& text) {
    std::filesystem::create_directories(root + "/kiln");
    std::ofstream(root + "/kiln/faults.tmp") << text;
    std::filesystem::rename(root + "/kiln/faults.tmp", root + "/kiln/faults");
  }

  // Starts the engine and waits until it answers a call. Skips the test when this engine has no
  // RPC server; the caller returns when IsSkipped().
  void StartEngine() {
    enginePid = Spawn({kEngine}, env, root + "/engine.out", root + "/engine.log");
    ASSERT_GT(enginePid, 0);
    const auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
    for (;;) {
      int status = 0;
      ASSERT_EQ(::waitpid(enginePid, &status, WNOHANG), 0) << ReadFile(root + "/engine.log");
      const std::string log = ReadFile(root + "/engine.log");
      if (log.find("RPC server is not present") != std::string::npos ||
          log.find("RPC server: component not present") != std::string::npos) {
        GTEST_SKIP() << "this keystone-engine runs without its RPC server";
      }
      if (std::filesystem::exists(socketPath)) {
        try {
          Client probe(socketPath);
          probe.GetSessionIdRpc();
          return;
        } catch (const TransportError&) {
          // Listening but not ready yet.
        }
      }
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << ReadFile(root + "/engine.log");
      std::this_thread::sleep_for(20ms);
    }
  }

  std::unique_ptr<Client> NewClient(ClientOptions options = {}) {
    return std::make_unique<Client>(socketPath, options);
  }

  AppletCallStatus Send(Client& client, const Bytes& request, Bytes* reply = nullptr,
                        int32_t capacity = 32768) {
    Bytes out(static_cast<size_t>(capacity));
    int32_t size = capacity;
    const AppletCallStatus status = client.SendMessageToAppletRpc(
        0, static_cast<int32_t>(request.size()), request.data(), &size, out.data());
    out.resize(static_cast<size_t>(std::max(size, 0)));
    if (reply) *reply = out;
    return status;
  }

  // keystonectl with args; its exit code, with its standard output in out.
  int Ctl(const std::vector<std::string>& args, std::string* out = nullptr,
          std::optional<uint32_t> uid = std::nullopt) {
    const std::string base = root + "/ctl" + std::to_string(++ctlRuns);
    std::vector<std::string> argv{kCtl};
    argv.insert(argv.end(), args.begin(), args.end());
    const int code = WaitExit(Spawn(argv, env, base + ".out", base + ".err", uid));
    if (out) *out = ReadFile(base + ".out") + ReadFile(base + ".err");
    return code;
  }

  std::string EngineLog() { return ReadFile(root + "/engine.log"); }

  std::string root;
  std::string stateDir;
  std::string runtimeDir;
  std::string socketPath;
  std::vector<std::string> env;
  pid_t enginePid = -1;
  int ctlRuns = 0;
};

TEST_F(EngineE2eTest, StatusesOfOrdinaryRequests) {
  StartEngine();
  if (IsSkipped() || HasFatalFailure()) return;
  auto client = NewClient();
  const uint32_t a = static_cast<uint32_t>(client->GetSessionIdRpc());
  const uint32_t b = static_cast<uint32_t>(client->GetSessionIdRpc());
  const bool elevated = ::geteuid() == 0;

  // 0: the reply in the buffer, echoing the request's module and session.
  Bytes reply;
  if (elevated) {
    ASSERT_EQ(Send(*client, PolicySet(a)), AppletCallStatus::kSuccess);
    client->ReleaseSessionIdRpc(static_cast<int32_t>(a));  // set-policy claimed another flow
  }
  ASSERT_EQ(Send(*client, PolicyGet(a, 77), &reply), AppletCallStatus::kSuccess);
  EXPECT_EQ(IntItem(reply, 0x0000), 77u);
  EXPECT_EQ(IntItem(reply, 0x0008), a);
  EXPECT_EQ(IntItem(reply, 0x0001), elevated ? 0xABBA0066u : 0xABBAAAAAu);

  // 1: too small; the size stays as the client gave it.
  Bytes small(8);
  int32_t size = 8;
  const Bytes get = PolicyGet(a);
  EXPECT_EQ(client->SendMessageToAppletRpc(0, static_cast<int32_t>(get.size()), get.data(), &size,
                                           small.data()),
            AppletCallStatus::kBufferTooSmall);
  EXPECT_EQ(size, 8);

  // 2: bytes that are no message at all.
  const Bytes garbage{0x01, 0x02, 0x03};
  EXPECT_EQ(Send(*client, garbage), AppletCallStatus::kGeneralFailure);

  // 3: session a holds the applet, b is refused until a releases it.
  EXPECT_EQ(Send(*client, PolicyGet(b)), AppletCallStatus::kAppletBusy);
  client->ReleaseSessionIdRpc(static_cast<int32_t>(a));
  EXPECT_EQ(Send(*client, PolicyGet(b)), AppletCallStatus::kSuccess);
  client->ReleaseSessionIdRpc(static_cast<int32_t>(b));

  // 5: an in-authentication call without an authentication.
  Bytes setFactor;
  AppendItem(setFactor, 0x7B47, IntValue(1));
  AppendItem(setFactor, 0x7B14, Text("pin"));
  EXPECT_EQ(Send(*client, Envelope(5, 0xABBA0054, a, setFactor)), AppletCallStatus::kInvalidApi);
  client->ReleaseSessionIdRpc(static_cast<int32_t>(a));

  // 5: no output buffer; the request still runs (it claims the applet for its session).
  const Bytes claim = PolicyGet(a);
  EXPECT_EQ(client->SendMessageToAppletRpc(0, static_cast<int32_t>(claim.size()), claim.data(),
                                           nullptr, nullptr),
            AppletCallStatus::kInvalidApi);
  EXPECT_EQ(Send(*client, PolicyGet(b)), AppletCallStatus::kAppletBusy);
  client->ReleaseSessionIdRpc(static_cast<int32_t>(a));

  // 9: attestation requested, no attestation client configured.
  EXPECT_EQ(Send(*client, Envelope(5, 0xABBA0026, b)), AppletCallStatus::kAttestationFailure);
  client->ReleaseSessionIdRpc(static_cast<int32_t>(b));

  // 6: setting the policy needs an elevated client.
  if (elevated) {
    std::string out;
    EXPECT_EQ(Ctl({"applet", "policy", "set", "--socket", socketPath, "--factor", "pin:1"}, &out,
                  kUnprivilegedId),
              1)
        << out;
    EXPECT_NE(out.find("status=6"), std::string::npos) << out;
  } else {
    EXPECT_EQ(Send(*client, PolicySet(a)), AppletCallStatus::kNotElevated);
  }
  EXPECT_NE(EngineLog().find("Insufficient privileges"), std::string::npos);
}

TEST_F(EngineE2eTest, NullOutputBufferStillSetsThePolicy) {
  if (::geteuid() != 0) GTEST_SKIP() << "setting the policy needs root";
  StartEngine();
  if (IsSkipped() || HasFatalFailure()) return;
  auto client = NewClient();
  const Bytes set = PolicySet(1);
  EXPECT_EQ(client->SendMessageToAppletRpc(0, static_cast<int32_t>(set.size()), set.data(),
                                           nullptr, nullptr),
            AppletCallStatus::kInvalidApi);
  client->ReleaseSessionIdRpc(1);
  Bytes reply;
  ASSERT_EQ(Send(*client, PolicyGet(1), &reply), AppletCallStatus::kSuccess);
  EXPECT_EQ(IntItem(reply, 0x0001), 0xABBA0066u);
  EXPECT_TRUE(std::filesystem::exists(stateDir + "/Data/_Sys$Policy.SDS"));
}

// A security-version rise: the request that meets it gets 7 once the data is migrated; while the
// upgrade runs every other request gets 4.
TEST_F(EngineE2eTest, SecurityVersionUpgradeAndApiBusy) {
  if (::geteuid() != 0) GTEST_SKIP() << "stored data (a policy) needs an elevated client";
  SetDword("DataMigrationOptIn", 1);
  StartEngine();
  if (IsSkipped() || HasFatalFailure()) return;
  auto client = NewClient();
  ASSERT_EQ(Send(*client, PolicySet(1)), AppletCallStatus::kSuccess);
  client->ReleaseSessionIdRpc(1);

  // Each exchange of the upgrade takes a while, so the busy window is wide.
  WriteFaults("svn 2\nhang SendAndRecv2 600ms*4\n");
  std::atomic<int> upgraded{-1};
  std::thread first([&] {
    auto own = NewClient();
    upgraded = static_cast<int>(Send(*own, PolicyGet(2)));
  });
  // Session 2 holds the applet first; until the upgrade starts the others get 3.
  std::this_thread::sleep_for(200ms);
  bool sawApiBusy = false;
  while (upgraded < 0) {
    const AppletCallStatus status = Send(*client, PolicyGet(3));
    sawApiBusy = sawApiBusy || status == AppletCallStatus::kApiBusy;
    std::this_thread::sleep_for(50ms);
  }
  first.join();
  EXPECT_EQ(upgraded, static_cast<int>(AppletCallStatus::kSvnUpgrade));
  EXPECT_TRUE(sawApiBusy);
  EXPECT_NE(EngineLog().find("FSVN version upgrade was identify"), std::string::npos);

  // The migrated policy is in force under the new version.
  client->ReleaseSessionIdRpc(static_cast<int32_t>(kNoSession));
  Bytes reply;
  ASSERT_EQ(Send(*client, PolicyGet(4), &reply), AppletCallStatus::kSuccess);
  EXPECT_EQ(IntItem(reply, 0x0001), 0xABBA0066u);
}

TEST_F(EngineE2eTest, ConnectedStandbyBlocksEnrollmentFlows) {
  SetDword(platform::kConnectedStandbyValue, 1);
  StartEngine();
  if (IsSkipped() || HasFatalFailure()) return;
  auto client = NewClient();
  Bytes enrollment;
  AppendItem(enrollment, 0x7B01, Text("S-1-5-21-1-2-3-1000"));
  AppendItem(enrollment, 0x7B14, Text("pin"));
  AppendItem(enrollment, 0x7B05, Bytes{});
  const Bytes save = Envelope(13, 0xABBA0019, 9, enrollment);
  ASSERT_NE(Send(*client, save), AppletCallStatus::kConnectedStandby);
  client->ReleaseSessionIdRpc(9);

  ASSERT_EQ(Ctl({"event", "standby-enter"}), 0);
  // The engine enters connected standby after its entry delay (4 s).
  const auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
  AppletCallStatus status = AppletCallStatus::kSuccess;
  while ((status = Send(*client, save)) != AppletCallStatus::kConnectedStandby &&
         std::chrono::steady_clock::now() < deadline) {
    client->ReleaseSessionIdRpc(9);
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_EQ(status, AppletCallStatus::kConnectedStandby);
  EXPECT_NE(EngineLog().find("Connected Stand By state"), std::string::npos);
  // Other flows go on.
  EXPECT_EQ(Send(*client, PolicyGet(10)), AppletCallStatus::kSuccess);
  client->ReleaseSessionIdRpc(10);

  ASSERT_EQ(Ctl({"event", "standby-exit"}), 0);
  const auto exited = std::chrono::steady_clock::now() + kWaitLimit;
  while ((status = Send(*client, save)) == AppletCallStatus::kConnectedStandby &&
         std::chrono::steady_clock::now() < exited) {
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_NE(status, AppletCallStatus::kConnectedStandby);
}

TEST_F(EngineE2eTest, StatusLongPollIsCancelledAndAdmitsOneAtATime) {
  StartEngine();
  if (IsSkipped() || HasFatalFailure()) return;
  auto waiting = NewClient();
  CancelToken cancel;
  std::atomic<int32_t> result{-1};
  std::atomic<int32_t> state{-1};
  std::thread poll([&] {
    Bytes out(1024);
    int32_t size = 1024;
    int32_t dataState = 0;
    result = waiting->NotifyAuthenticateStatusAsyncRpc(&size, out.data(), dataState, &cancel);
    state = dataState;
  });
  // A second waiter meanwhile is turned away at once.
  std::this_thread::sleep_for(300ms);
  auto second = NewClient();
  Bytes out(1024);
  int32_t size = 1024;
  int32_t dataState = 0;
  EXPECT_EQ(second->NotifyAuthenticateStatusAsyncRpc(&size, out.data(), dataState),
            kNotifyAlreadyWithinCall);
  EXPECT_EQ(dataState, kDataStateNone);
  EXPECT_EQ(result, -1);

  const auto cancelled = std::chrono::steady_clock::now();
  cancel.Cancel();
  poll.join();
  EXPECT_LT(std::chrono::steady_clock::now() - cancelled, 2s);
  EXPECT_EQ(result, kNotifyCancelled);
  EXPECT_EQ(state, kDataStateNone);

  // The flag was cleared: the next waiter is admitted (and times out through its own cancel).
  CancelToken again;
  std::thread canceller([&] {
    std::this_thread::sleep_for(200ms);
    again.Cancel();
  });
  EXPECT_EQ(second->NotifyAuthenticateStatusAsyncRpc(&size, out.data(), dataState, &again),
            kNotifyCancelled);
  canceller.join();
  EXPECT_NE(EngineLog().find("RPC-END - AsyncFunc - Call cancelled by Client"), std::string::npos);
}

TEST_F(EngineE2eTest, SleepRefusesRequestsUntilResume) {
  StartEngine();
  if (IsSkipped() || HasFatalFailure()) return;
  auto client = NewClient();
  ASSERT_EQ(Send(*client, PolicyGet(kNoSession)), AppletCallStatus::kSuccess);

  // A request in flight when the sleep comes still gets an answer.
  WriteFaults("hang SendAndRecv2 800ms*1\n");
  std::atomic<int> inFlight{-1};
  std::thread request([&] {
    auto own = NewClient();
    inFlight = static_cast<int>(Send(*own, PolicyGet(kNoSession)));
  });
  std::this_thread::sleep_for(200ms);
  ASSERT_EQ(Ctl({"event", "sleep"}), 0);

  // During the first seconds of a sleep the applet is busy for everyone.
  bool refused = false;
  const auto deadline = std::chrono::steady_clock::now() + 3s;
  while (!refused && std::chrono::steady_clock::now() < deadline) {
    refused = Send(*client, PolicyGet(kNoSession)) == AppletCallStatus::kAppletBusy;
  }
  EXPECT_TRUE(refused);
  request.join();
  EXPECT_GE(inFlight, 0);

  ASSERT_EQ(Ctl({"event", "resume"}), 0);
  const auto resumed = std::chrono::steady_clock::now() + kWaitLimit;
  AppletCallStatus status = AppletCallStatus::kAppletBusy;
  while ((status = Send(*client, PolicyGet(kNoSession))) != AppletCallStatus::kSuccess &&
         std::chrono::steady_clock::now() < resumed) {
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_EQ(status, AppletCallStatus::kSuccess);
}

// Many clients at once: every reply is the answer to its own request (the applet echoes the
// module id, which numbers the requests), none is lost.
TEST_F(EngineE2eTest, ManyClientsEachGetTheirOwnReplies) {
  StartEngine();
  if (IsSkipped() || HasFatalFailure()) return;
  std::atomic<int> wrong{0};
  std::atomic<int> failed{0};
  std::atomic<int> answered{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      auto client = NewClient();
      for (int i = 0; i < kMessagesPerClient; ++i) {
        const uint32_t tag = static_cast<uint32_t>(c * kMessagesPerClient + i);
        Bytes reply;
        try {
          if (Send(*client, PolicyGet(kNoSession, tag), &reply) != AppletCallStatus::kSuccess) {
            ++failed;
            continue;
          }
        } catch (const TransportError&) {
          ++failed;
          continue;
        }
        ++answered;
        if (IntItem(reply, 0x0000) != tag || IntItem(reply, 0x0008) != kNoSession) ++wrong;
      }
    });
  }
  for (std::thread& t : clients) t.join();
  EXPECT_EQ(failed, 0);
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(answered, kClients * kMessagesPerClient);
}

// Garbage, a torn frame and a client that leaves in the middle of its call harm nobody else.
TEST_F(EngineE2eTest, MisbehavingClientsHarmNobodyElse) {
  StartEngine();
  if (IsSkipped() || HasFatalFailure()) return;
  std::atomic<bool> stop{false};
  std::atomic<int> healthyFailures{0};
  std::atomic<int> healthyCalls{0};
  std::thread healthy([&] {
    auto client = NewClient();
    while (!stop) {
      try {
        if (Send(*client, PolicyGet(kNoSession)) != AppletCallStatus::kSuccess) ++healthyFailures;
      } catch (const TransportError&) {
        ++healthyFailures;
      }
      ++healthyCalls;
    }
  });

  auto rawConnection = [&](const Bytes& bytes) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof(address.sun_path) - 1);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    EXPECT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
    return fd;
  };
  // Garbage: the server answers with a fault or closes; either way the connection ends.
  const int garbage = rawConnection(Bytes(64, 0x5A));
  pollfd entry{garbage, POLLIN, 0};
  EXPECT_EQ(::poll(&entry, 1, 10'000), 1);
  ::close(garbage);
  // A torn header, then gone.
  ::close(rawConnection(Bytes{0x4B, 0x53, 0x52}));

  // A client that gives up while its request waits on a slow applet.
  WriteFaults("hang SendAndRecv2 1s*1\n");
  ClientOptions impatient;
  impatient.callTimeout = 200ms;
  auto leaving = NewClient(impatient);
  EXPECT_THROW(Send(*leaving, PolicyGet(kNoSession)), TransportError);
  leaving.reset();

  std::this_thread::sleep_for(1500ms);
  stop = true;
  healthy.join();
  EXPECT_EQ(healthyFailures, 0);
  EXPECT_GT(healthyCalls, 0);
  auto after = NewClient();
  EXPECT_EQ(Send(*after, PolicyGet(kNoSession)), AppletCallStatus::kSuccess);
}

}  // namespace
}  // namespace rpc
