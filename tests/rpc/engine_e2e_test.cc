// End to end: a real keystone-engine on the simulated applet, in temporary directories, driven
// through the client library the way applications drive it (and through keystonectl for events).

#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/hex.h"
#include "platform/accounts.h"
#include "platform/power_capabilities.h"
#include "platform/unix_socket.h"
#include "rpc/client/client.h"
#include "rpc/marshal.h"
#include "tests/fakes/engine_process.h"
#include "tests/fakes/program_paths.h"
#include "tlv/message.h"

namespace rpc {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// Sanitized engines run several times slower; the load test keeps its shape with fewer messages.
constexpr int kMessagesPerThread = 60;
#else
constexpr int kMessagesPerThread = 400;
#endif
constexpr auto kWaitLimit = 30s;
constexpr uint32_t kNoSession = 0xFFFFFFFF;

Bytes Request(uint32_t type, uint32_t session, Bytes payload = {}, uint32_t moduleId = 5) {
  mfab::Message message;
  message.moduleId = moduleId;
  message.messageType = type;
  message.category = 1;
  message.payload = std::move(payload);
  message.sessionId = session;
  return message.Serialize();
}
Bytes PolicyGet(uint32_t session, uint32_t moduleId = 5) {
  return Request(0xABBA0065, session, {}, moduleId);
}

constexpr uint32_t kNobody = 65534;

// Connects as another user while keeping the means to become root again, becomes root, and
// sends a policy set on the connection it opened: the engine must judge the caller by who
// connected. Exits with the call's status.
[[maybe_unused]] const bool kElevateAfterConnectRole =
    keystone::testing::HelperRole("elevate-after-connect", [](const std::string& socket) {
      if (::setresgid(kNobody, kNobody, 0) != 0 || ::setresuid(kNobody, kNobody, 0) != 0) {
        return 90;
      }
      Client client(socket);
      client.GetSessionIdRpc();  // the connection is made now, as the other user
      if (::setresuid(0, 0, 0) != 0 || ::setresgid(0, 0, 0) != 0) return 91;
      const Bytes request = Request(0xABBA000D, kNoSession);
      Bytes out(4096);
      int32_t size = 4096;
      return static_cast<int>(client.SendMessageToAppletRpc(
          0, static_cast<int32_t>(request.size()), request.data(), &size, out.data()));
    });

// Every test starts the engine, with data migration allowed.
class EngineE2eTest : public ::testing::Test {
 protected:
  explicit EngineE2eTest(bool standby = false) : connectedStandby(standby) {}
  void SetUp() override {
    using namespace keystone::testing;
    if (!*kEngineBinary || !*kKeystonectlBinary || !*kKilnSimLibrary) {
      GTEST_SKIP() << "keystone-engine, keystonectl or the simulated applet was not built";
    }
    // Traversable, so a client that dropped its privileges reaches the socket.
    std::filesystem::permissions(engine.Root(), std::filesystem::perms(0755));
    engine.SetEngineDword("DataMigrationOptIn", 1);
    if (connectedStandby) engine.SetEngineDword(platform::kConnectedStandbyValue, 1);
    started = true;
    ASSERT_TRUE(engine.Start());
    client = std::make_unique<Client>(socketPath);
  }
  void TearDown() override {
    if (started) {
      EXPECT_EQ(engine.Stop(), 0) << "the engine did not stop cleanly";
    }
  }

  // Sends with an output buffer of capacity bytes (-1: none); reply gets the returned size's bytes.
  AppletCallStatus Send(Client& to, const Bytes& request, Bytes* reply = nullptr,
                        int32_t capacity = 32768) {
    Bytes out(static_cast<size_t>(std::max(capacity, 0)));
    int32_t size = capacity;
    const AppletCallStatus status = to.SendMessageToAppletRpc(
        0, static_cast<int32_t>(request.size()), request.data(), capacity < 0 ? nullptr : &size,
        capacity < 0 ? nullptr : out.data());
    out.resize(static_cast<size_t>(std::max(size, 0)));
    if (reply) *reply = std::move(out);
    return status;
  }
  AppletCallStatus Send(const Bytes& request, Bytes* reply = nullptr) {
    return Send(*client, request, reply);
  }
  void Release(uint32_t session) { client->ReleaseSessionIdRpc(static_cast<int32_t>(session)); }

  // The last status of the call, repeated until it is (equal false: is not) expected or time is up.
  AppletCallStatus Until(const std::function<AppletCallStatus()>& call, AppletCallStatus expected,
                         bool equal = true, std::chrono::milliseconds limit = kWaitLimit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    AppletCallStatus status = call();
    while ((status == expected) != equal && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(50ms);
      status = call();
    }
    return status;
  }
  keystone::testing::ProgramResult SetPolicy(std::optional<uint32_t> uid = std::nullopt) {
    return engine.Ctl({"applet", "policy", "set", "--socket", socketPath, "--factor", "pin:1"},
                      uid);
  }
  bool Logged(const std::string& text) { return engine.Log().find(text) != std::string::npos; }

  keystone::testing::EngineProcess engine{keystone::testing::kEngineBinary,
                                          keystone::testing::kKeystonectlBinary, kWaitLimit};
  const std::string socketPath = engine.RuntimeDir() + "/IVoxWithMfa";
  const bool connectedStandby;
  bool started = false;
  std::unique_ptr<Client> client;
};

TEST_F(EngineE2eTest, StatusesOfOrdinaryRequests) {
  const uint32_t a = static_cast<uint32_t>(client->GetSessionIdRpc());
  const uint32_t b = static_cast<uint32_t>(client->GetSessionIdRpc());
  // 0: the reply echoes the request's module and session.
  Bytes reply;
  ASSERT_EQ(Send(PolicyGet(a, 77), &reply), AppletCallStatus::kSuccess);
  const mfab::Message answer = mfab::Message::Parse(reply);
  EXPECT_EQ(answer.moduleId, 77u);
  EXPECT_EQ(answer.sessionId, a);

  // 1: too small; the size stays as the client gave it.
  EXPECT_EQ(Send(*client, PolicyGet(a), &reply, 8), AppletCallStatus::kBufferTooSmall);
  EXPECT_EQ(reply.size(), 8u);
  EXPECT_TRUE(Logged("insufficient buffer size"));
  // 2: bytes that are no message at all.
  EXPECT_EQ(Send(Bytes{0x01, 0x02, 0x03}), AppletCallStatus::kGeneralFailure);

  // 3: session a holds the applet, b is refused until a releases it.
  EXPECT_EQ(Send(PolicyGet(b)), AppletCallStatus::kAppletBusy);
  Release(a);
  EXPECT_EQ(Send(PolicyGet(b)), AppletCallStatus::kSuccess);
  Release(b);

  // 5: an in-authentication call without an authentication.
  Bytes setFactor;
  mfab::AppendTlvInt(setFactor, 0x7B47, 1);
  mfab::AppendTlv(setFactor, 0x7B14, "pin");
  EXPECT_EQ(Send(Request(0xABBA0054, a, setFactor)), AppletCallStatus::kInvalidApi);
  Release(a);
  // 5: no output buffer, and the request claimed the applet for its session all the same.
  EXPECT_EQ(Send(*client, PolicyGet(a), nullptr, -1), AppletCallStatus::kInvalidApi);
  EXPECT_TRUE(Logged("outBufferSize or outBuffer is null"));
  EXPECT_EQ(Send(PolicyGet(b)), AppletCallStatus::kAppletBusy);
  Release(a);

  // 9: attestation requested, no attestation client configured.
  EXPECT_EQ(Send(Request(0xABBA0026, b)), AppletCallStatus::kAttestationFailure);
  Release(b);

  // 6: setting the policy needs an elevated client.
  const auto run = SetPolicy(::geteuid() == 0 ? std::optional<uint32_t>(65534) : std::nullopt);
  EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
  EXPECT_NE((run.out + run.err).find("status=6"), std::string::npos) << run.out << run.err;
}

// Elevation is decided when the client connects: a process that connected as another user and
// became root afterwards (a setuid program it ran, or one it handed its connection to) is not
// elevated.
TEST_F(EngineE2eTest, ElevationIsWhoConnectedNotWhoSends) {
  if (::geteuid() != 0) GTEST_SKIP() << "changing users needs root";
  EXPECT_EQ(keystone::testing::RunHelper("elevate-after-connect", socketPath),
            static_cast<int>(AppletCallStatus::kNotElevated));
  EXPECT_TRUE(Logged("Client is running with insufficient privileges"));
}

// A user-scoped request of a client that is not root may name only its own user.
TEST_F(EngineE2eTest, AnotherUsersDataIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "acting as another user needs root";
  const auto machine = platform::posix::ThisMachineSidAuthorities();
  auto saveFor = [&](uint32_t uid) {
    Bytes payload;
    mfab::AppendTlv(payload, 0x7B01, platform::LocalAccountSid(machine, uid));
    mfab::AppendTlv(payload, 0x7B14, "pin");
    return engine.Ctl({"applet", "send", "--socket", socketPath, "--type", "0xABBA0019",
                       "--payload", keystone::ToHex(payload)},
                      kNobody);
  };
  const auto others = saveFor(0);
  EXPECT_NE((others.out + others.err).find("status=5"), std::string::npos) << others.out
                                                                           << others.err;
  EXPECT_TRUE(Logged("of uid 65534 names user " + platform::LocalAccountSid(machine, 0)));
  const auto own = saveFor(kNobody);
  EXPECT_EQ((own.out + own.err).find("status=5"), std::string::npos) << own.out << own.err;
}

// The engine's factor registry holds no production factor yet, so every factor is unknown to the
// flows: an enrollment is an invalid parameter, and the applet's factor request is answered "no".
TEST_F(EngineE2eTest, EveryFlowRefusesAnUnknownFactor) {
  const auto enrolled =
      engine.Ctl({"enroll", "S-1-5-21-1-2-3-1000", "PhysicalSmartcard", "--socket", socketPath});
  EXPECT_EQ(enrolled.exitCode, 1);
  EXPECT_NE(enrolled.out.find("result=0xA0000035 (invalid parameter)"), std::string::npos)
      << enrolled.out << enrolled.err;
  EXPECT_TRUE(Logged("Run flow: AuthenticateFlows::EnrollmentFlow MfaException Invalid factor"));
  const auto checked = engine.Ctl({"applet", "factor-check", "S-1-5-21-1-2-3-1000",
                                   "PhysicalSmartcard", "--socket", socketPath});
  EXPECT_EQ(checked.exitCode, 1);
  // The applet's final reply carries the BooleanResponse the engine answered with.
  for (const char* line : {"messageType = 0xabba00f3", "result (0x7b08) = 1",
                           "the host did not authenticate S-1-5-21-1-2-3-1000"}) {
    EXPECT_NE(checked.out.find(line), std::string::npos) << line << "\n" << checked.out;
  }
  EXPECT_TRUE(
      Logged("Run flow: AuthenticateFlows::AuthenticateFactorFlow MfaException Invalid factor"));
}

TEST_F(EngineE2eTest, EnrollmentIsOnlyForTheCallersOwnUser) {
  if (::geteuid() != 0) GTEST_SKIP() << "acting as another user needs root";
  const auto machine = platform::posix::ThisMachineSidAuthorities();
  const std::string rootSid = platform::LocalAccountSid(machine, 0);
  const auto others = engine.Ctl({"enroll", rootSid, "Card", "--socket", socketPath}, kNobody);
  EXPECT_NE(others.out.find("result=0xA0000031"), std::string::npos) << others.out << others.err;
  EXPECT_TRUE(Logged("Client of uid 65534 may not enroll user " + rootSid));
  const auto own = engine.Ctl(
      {"enroll", platform::LocalAccountSid(machine, kNobody), "Card", "--socket", socketPath},
      kNobody);
  EXPECT_NE(own.out.find("result=0xA0000035"), std::string::npos) << own.out << own.err;
}

// A client that asks for a large reply and never reads it does not hold the engine's exit.
TEST_F(EngineE2eTest, AClientThatDoesNotReadDoesNotDelayTheStop) {
  platform::UnixStream stalled = platform::UnixStream::Connect(socketPath);
  // SendMessageToBtDeviceRpc without a Bluetooth manager answers with its whole 2 MiB buffer.
  const uint8_t id = 9;
  int32_t capacity = 2 << 20;
  uint8_t unused = 0;
  const Bytes frame = EncodeRequestFrame<7>(1, 1, &id, 0, nullptr, 0, &capacity, &unused);
  stalled.SendAll(frame);
  ASSERT_TRUE(engine.WaitForLog("SendMessageToBtDeviceRpc"));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(engine.Stop(), 0);
  started = false;
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

// A security-version rise: the request that meets it gets 7 once the data is migrated; while the
// upgrade runs every other request gets 4.
TEST_F(EngineE2eTest, SecurityVersionUpgradeAndApiBusy) {
  if (::geteuid() != 0) GTEST_SKIP() << "stored data (a policy) needs an elevated client";
  ASSERT_EQ(SetPolicy().exitCode, 0);

  // Each exchange of the upgrade takes a while, so the busy window is wide.
  engine.WriteKilnFaults("svn 2\nhang SendAndRecv2 600ms*4\n");
  std::atomic<int> upgraded{-1};
  std::thread first([&] {
    Client own(socketPath);
    upgraded = static_cast<int>(Send(own, PolicyGet(2)));
  });
  // Session 2 holds the applet first; once its request met the rise, the others wait.
  ASSERT_TRUE(engine.WaitForLog("SVN UPGRADE ERROR recived from the applet"));
  bool sawApiBusy = false;
  while (upgraded < 0) {
    sawApiBusy = Send(PolicyGet(3)) == AppletCallStatus::kApiBusy || sawApiBusy;
    std::this_thread::sleep_for(50ms);
  }
  first.join();
  EXPECT_EQ(upgraded, static_cast<int>(AppletCallStatus::kSvnUpgrade));
  EXPECT_TRUE(sawApiBusy);

  // The migrated policy is in force under the new version.
  Release(kNoSession);
  Bytes reply;
  ASSERT_EQ(Send(PolicyGet(4), &reply), AppletCallStatus::kSuccess);
  EXPECT_EQ(mfab::Message::Parse(reply).messageType, 0xABBA0066u);
}

// A machine with connected standby.
class ConnectedStandbyE2eTest : public EngineE2eTest {
 protected:
  ConnectedStandbyE2eTest() : EngineE2eTest(true) {}
};

TEST_F(ConnectedStandbyE2eTest, BlocksEnrollmentFlows) {
  Bytes enrollment;
  mfab::AppendTlv(enrollment, 0x7B01, "S-1-5-21-1-2-3-1000");
  mfab::AppendTlv(enrollment, 0x7B14, "pin");
  mfab::AppendTlv(enrollment, 0x7B05, "");
  const auto save = [&] {
    const AppletCallStatus status = Send(Request(0xABBA0019, 9, enrollment, 13));
    Release(9);
    return status;
  };
  const AppletCallStatus standby = AppletCallStatus::kConnectedStandby;
  ASSERT_NE(save(), standby);

  // The engine enters connected standby after its entry delay (4 s).
  ASSERT_EQ(engine.Ctl({"event", "standby-enter"}).exitCode, 0);
  EXPECT_EQ(Until(save, standby), standby);
  // Other flows go on.
  EXPECT_EQ(Send(PolicyGet(10)), AppletCallStatus::kSuccess);
  Release(10);

  ASSERT_EQ(engine.Ctl({"event", "standby-exit"}).exitCode, 0);
  EXPECT_NE(Until(save, standby, false), standby);
}

TEST_F(EngineE2eTest, StatusLongPollAdmitsOneAtATimeAndIsCancelled) {
  CancelToken cancel;
  std::atomic<int32_t> result{-1}, state{-1};
  std::thread poll([&] {
    Bytes out(1024);
    int32_t size = 1024, dataState = 0;
    result = client->NotifyAuthenticateStatusAsyncRpc(&size, out.data(), dataState, &cancel);
    state = dataState;
  });
  // A second waiter meanwhile is turned away at once.
  EXPECT_TRUE(engine.WaitForLog("RPC Async call - start running"));
  Client second(socketPath);
  Bytes out(1024);
  int32_t size = 1024, dataState = 0;
  EXPECT_EQ(second.NotifyAuthenticateStatusAsyncRpc(&size, out.data(), dataState),
            kNotifyAlreadyWithinCall);
  EXPECT_EQ(dataState, kDataStateNone);
  EXPECT_EQ(result, -1);

  const auto cancelled = std::chrono::steady_clock::now();
  cancel.Cancel();
  poll.join();
  EXPECT_LT(std::chrono::steady_clock::now() - cancelled, 2s);
  EXPECT_EQ(result, kNotifyCancelled);
  EXPECT_EQ(state, kDataStateNone);
}

TEST_F(EngineE2eTest, SleepRefusesRequestsUntilResume) {
  const auto get = [&] { return Send(PolicyGet(kNoSession)); };
  ASSERT_EQ(get(), AppletCallStatus::kSuccess);

  // A request in flight when the sleep comes still gets an answer.
  engine.WriteKilnFaults("hang SendAndRecv2 800ms*1\n");
  std::atomic<int> inFlight{-1};
  std::thread request([&] {
    Client own(socketPath);
    inFlight = static_cast<int>(Send(own, PolicyGet(kNoSession)));
  });
  std::this_thread::sleep_for(200ms);
  ASSERT_EQ(engine.Ctl({"event", "sleep"}).exitCode, 0);
  // The engine takes the event in a task of its own; the applet manager hears of it last.
  ASSERT_TRUE(engine.WaitForLog("HandlePowerSleepEvent"));

  // During the first seconds of a sleep the applet is busy for everyone.
  EXPECT_EQ(Until(get, AppletCallStatus::kAppletBusy, true, 3s), AppletCallStatus::kAppletBusy);
  request.join();
  EXPECT_EQ(inFlight, static_cast<int>(AppletCallStatus::kSuccess));

  ASSERT_EQ(engine.Ctl({"event", "resume"}).exitCode, 0);
  EXPECT_EQ(Until(get, AppletCallStatus::kSuccess), AppletCallStatus::kSuccess);
}

// 64 clients, each shared by two threads: every reply is the answer to its own request (the
// applet echoes the module id, which numbers the requests), none is lost.
TEST_F(EngineE2eTest, ManyClientsEachGetTheirOwnReplies) {
  std::vector<std::unique_ptr<Client>> clients;
  for (int c = 0; c < 64; ++c) clients.push_back(std::make_unique<Client>(socketPath));
  std::atomic<int> wrong{0}, failed{0}, answered{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 128; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kMessagesPerThread; ++i) {
        const uint32_t tag = static_cast<uint32_t>(t * kMessagesPerThread + i);
        Bytes reply;
        try {
          if (Send(*clients[t % 64], PolicyGet(kNoSession, tag), &reply) !=
              AppletCallStatus::kSuccess) {
            ++failed;
            continue;
          }
          ++answered;
          const mfab::Message answer = mfab::Message::Parse(reply);
          if (answer.moduleId != tag || answer.sessionId != kNoSession) ++wrong;
        } catch (const TransportError&) {
          ++failed;
        } catch (const mfab::TlvException&) {
          ++wrong;
        }
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(failed, 0);
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(answered, 128 * kMessagesPerThread);
}

// A client sending garbage meanwhile, and one that leaves while its request waits on a slow
// applet, harm nobody else: the next caller is answered once the abandoned exchange is over.
TEST_F(EngineE2eTest, GarbageSendingAndVanishingClientsHarmNobodyElse) {
  std::jthread noise([&](std::stop_token stop) {
    std::mt19937 random(42);
    while (!stop.stop_requested()) {
      try {
        Bytes bytes(1 + random() % 200);
        for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
        // Half of it starts like a frame.
        if (random() % 2 == 0) {
          std::copy_n("KSRP\x01", std::min<size_t>(5, bytes.size()), bytes.begin());
        }
        platform::UnixStream::Connect(socketPath).SendAll(bytes, platform::DeadlineAfter(2s));
      } catch (const std::exception&) {
        // The server may close before all the garbage is in.
      }
    }
  });
  for (uint32_t i = 0; i < 200; ++i) {
    Bytes reply;
    ASSERT_EQ(Send(PolicyGet(kNoSession, i), &reply), AppletCallStatus::kSuccess);
    ASSERT_EQ(mfab::Message::Parse(reply).moduleId, i);
  }
  noise.request_stop();
  noise.join();

  engine.WriteKilnFaults("hang SendAndRecv2 1s*1\n");
  ClientOptions impatient;
  impatient.callTimeout = 200ms;
  auto leaving = std::make_unique<Client>(socketPath, impatient);
  EXPECT_THROW(Send(*leaving, PolicyGet(kNoSession)), TransportError);
  leaving.reset();
  EXPECT_EQ(Send(PolicyGet(kNoSession)), AppletCallStatus::kSuccess);
}

}  // namespace
}  // namespace rpc
