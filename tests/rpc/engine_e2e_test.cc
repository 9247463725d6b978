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
#include <string>
#include <thread>
#include <vector>

#include "platform/power_capabilities.h"
#include "rpc/client/client.h"
#include "tests/fakes/engine_process.h"
#include "tests/fakes/program_paths.h"
#include "tlv/message.h"

namespace rpc {
namespace {

using namespace std::chrono_literals;
using keystone::testing::EngineProcess;
using Bytes = std::vector<uint8_t>;

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
Bytes PolicySet(uint32_t session) {
  Bytes factor, factors, payload;
  mfab::AppendTlv(factor, 0x7B14, "pin");
  mfab::AppendTlv(factor, 0x7C03, "PIN");
  mfab::AppendTlvInt(factor, 0x7C04, 1);
  mfab::AppendTlv(factors, 0x7C02, factor);
  mfab::AppendTlv(payload, 0x7C01, factors);
  return Request(0xABBA000D, session, payload);
}

class EngineE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    using namespace keystone::testing;
    if (!*kEngineBinary || !*kKeystonectlBinary || !*kKilnSimLibrary) {
      GTEST_SKIP() << "keystone-engine, keystonectl or the simulated applet was not built";
    }
    // Traversable, so a client that dropped its privileges reaches the socket.
    std::filesystem::permissions(engine.Root(), std::filesystem::perms(0755));
  }
  void TearDown() override {
    if (started) {
      EXPECT_EQ(engine.Stop(), 0) << "the engine did not stop cleanly";
    }
  }

  void StartEngine() {
    started = true;
    ASSERT_TRUE(engine.Start());
  }

  std::unique_ptr<Client> NewClient(ClientOptions options = {}) {
    return std::make_unique<Client>(socketPath, options);
  }

  AppletCallStatus Send(Client& client, const Bytes& request, Bytes* reply = nullptr) {
    Bytes out(32768);
    int32_t size = static_cast<int32_t>(out.size());
    const AppletCallStatus status = client.SendMessageToAppletRpc(
        0, static_cast<int32_t>(request.size()), request.data(), &size, out.data());
    out.resize(static_cast<size_t>(std::max(size, 0)));
    if (reply) *reply = out;
    return status;
  }
  AppletCallStatus SendWithoutOutput(Client& client, const Bytes& request) {
    return client.SendMessageToAppletRpc(0, static_cast<int32_t>(request.size()), request.data(),
                                         nullptr, nullptr);
  }

  // Repeats the call until done holds for its status or the limit passes; the last status.
  AppletCallStatus Until(const std::function<AppletCallStatus()>& call,
                         const std::function<bool(AppletCallStatus)>& done,
                         std::chrono::milliseconds limit = kWaitLimit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    AppletCallStatus status = call();
    while (!done(status) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(50ms);
      status = call();
    }
    return status;
  }

  EngineProcess engine{keystone::testing::kEngineBinary, keystone::testing::kKeystonectlBinary,
                       kWaitLimit};
  const std::string socketPath = engine.RuntimeDir() + "/IVoxWithMfa";
  bool started = false;
};

TEST_F(EngineE2eTest, StatusesOfOrdinaryRequests) {
  ASSERT_NO_FATAL_FAILURE(StartEngine());
  auto client = NewClient();
  const uint32_t a = static_cast<uint32_t>(client->GetSessionIdRpc());
  const uint32_t b = static_cast<uint32_t>(client->GetSessionIdRpc());
  const bool elevated = ::geteuid() == 0;

  // 5: no output buffer; the request still runs (here it sets the policy, in force below).
  if (elevated) {
    EXPECT_EQ(SendWithoutOutput(*client, PolicySet(a)), AppletCallStatus::kInvalidApi);
    client->ReleaseSessionIdRpc(static_cast<int32_t>(a));  // set-policy claimed another flow
    EXPECT_TRUE(std::filesystem::exists(engine.StateDir() + "/Data/_Sys$Policy.SDS"));
  }
  // 0: the reply in the buffer, echoing the request's module and session.
  Bytes reply;
  ASSERT_EQ(Send(*client, PolicyGet(a, 77), &reply), AppletCallStatus::kSuccess);
  const mfab::Message answer = mfab::Message::Parse(reply);
  EXPECT_EQ(answer.moduleId, 77u);
  EXPECT_EQ(answer.sessionId, a);
  EXPECT_EQ(answer.messageType, elevated ? 0xABBA0066u : 0xABBAAAAAu);

  // 1: too small; the size stays as the client gave it.
  Bytes small(8);
  int32_t size = 8;
  const Bytes get = PolicyGet(a);
  EXPECT_EQ(client->SendMessageToAppletRpc(0, static_cast<int32_t>(get.size()), get.data(), &size,
                                           small.data()),
            AppletCallStatus::kBufferTooSmall);
  EXPECT_EQ(size, 8);

  // 2: bytes that are no message at all.
  EXPECT_EQ(Send(*client, Bytes{0x01, 0x02, 0x03}), AppletCallStatus::kGeneralFailure);

  // 3: session a holds the applet, b is refused until a releases it.
  EXPECT_EQ(Send(*client, PolicyGet(b)), AppletCallStatus::kAppletBusy);
  client->ReleaseSessionIdRpc(static_cast<int32_t>(a));
  EXPECT_EQ(Send(*client, PolicyGet(b)), AppletCallStatus::kSuccess);
  client->ReleaseSessionIdRpc(static_cast<int32_t>(b));

  // 5: an in-authentication call without an authentication.
  Bytes setFactor;
  mfab::AppendTlvInt(setFactor, 0x7B47, 1);
  mfab::AppendTlv(setFactor, 0x7B14, "pin");
  EXPECT_EQ(Send(*client, Request(0xABBA0054, a, setFactor)), AppletCallStatus::kInvalidApi);
  client->ReleaseSessionIdRpc(static_cast<int32_t>(a));

  // 5: no output buffer, and the request claimed the applet for its session all the same.
  EXPECT_EQ(SendWithoutOutput(*client, PolicyGet(a)), AppletCallStatus::kInvalidApi);
  EXPECT_EQ(Send(*client, PolicyGet(b)), AppletCallStatus::kAppletBusy);
  client->ReleaseSessionIdRpc(static_cast<int32_t>(a));

  // 9: attestation requested, no attestation client configured.
  EXPECT_EQ(Send(*client, Request(0xABBA0026, b)), AppletCallStatus::kAttestationFailure);
  client->ReleaseSessionIdRpc(static_cast<int32_t>(b));

  // 6: setting the policy needs an elevated client.
  if (elevated) {
    const auto run = engine.Ctl(
        {"applet", "policy", "set", "--socket", socketPath, "--factor", "pin:1"}, kUnprivilegedId);
    EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
    EXPECT_NE((run.out + run.err).find("status=6"), std::string::npos) << run.out << run.err;
  } else {
    EXPECT_EQ(Send(*client, PolicySet(a)), AppletCallStatus::kNotElevated);
  }
  EXPECT_NE(engine.Log().find("Insufficient privileges"), std::string::npos);
}

// A security-version rise: the request that meets it gets 7 once the data is migrated; while the
// upgrade runs every other request gets 4.
TEST_F(EngineE2eTest, SecurityVersionUpgradeAndApiBusy) {
  if (::geteuid() != 0) GTEST_SKIP() << "stored data (a policy) needs an elevated client";
  engine.SetEngineDword("DataMigrationOptIn", 1);
  ASSERT_NO_FATAL_FAILURE(StartEngine());
  auto client = NewClient();
  ASSERT_EQ(Send(*client, PolicySet(1)), AppletCallStatus::kSuccess);
  client->ReleaseSessionIdRpc(1);

  // Each exchange of the upgrade takes a while, so the busy window is wide.
  engine.WriteKilnFaults("svn 2\nhang SendAndRecv2 600ms*4\n");
  std::atomic<int> upgraded{-1};
  std::thread first([&] {
    auto own = NewClient();
    upgraded = static_cast<int>(Send(*own, PolicyGet(2)));
  });
  // Session 2 holds the applet first; until the upgrade starts the others get 3.
  std::this_thread::sleep_for(200ms);
  bool sawApiBusy = false;
  while (upgraded < 0) {
    sawApiBusy = Send(*client, PolicyGet(3)) == AppletCallStatus::kApiBusy || sawApiBusy;
    std::this_thread::sleep_for(50ms);
  }
  first.join();
  EXPECT_EQ(upgraded, static_cast<int>(AppletCallStatus::kSvnUpgrade));
  EXPECT_TRUE(sawApiBusy);
  EXPECT_NE(engine.Log().find("FSVN version upgrade was identify"), std::string::npos);

  // The migrated policy is in force under the new version.
  client->ReleaseSessionIdRpc(static_cast<int32_t>(kNoSession));
  Bytes reply;
  ASSERT_EQ(Send(*client, PolicyGet(4), &reply), AppletCallStatus::kSuccess);
  EXPECT_EQ(mfab::Message::Parse(reply).messageType, 0xABBA0066u);
}

TEST_F(EngineE2eTest, ConnectedStandbyBlocksEnrollmentFlows) {
  engine.SetEngineDword(platform::kConnectedStandbyValue, 1);
  ASSERT_NO_FATAL_FAILURE(StartEngine());
  auto client = NewClient();
  Bytes enrollment;
  mfab::AppendTlv(enrollment, 0x7B01, "S-1-5-21-1-2-3-1000");
  mfab::AppendTlv(enrollment, 0x7B14, "pin");
  mfab::AppendTlv(enrollment, 0x7B05, "");
  const auto save = [&] {
    const AppletCallStatus status = Send(*client, Request(0xABBA0019, 9, enrollment, 13));
    client->ReleaseSessionIdRpc(9);
    return status;
  };
  const auto isStandby = [](AppletCallStatus s) {
    return s == AppletCallStatus::kConnectedStandby;
  };
  ASSERT_NE(save(), AppletCallStatus::kConnectedStandby);

  // The engine enters connected standby after its entry delay (4 s).
  ASSERT_EQ(engine.Ctl({"event", "standby-enter"}).exitCode, 0);
  EXPECT_EQ(Until(save, isStandby), AppletCallStatus::kConnectedStandby);
  EXPECT_NE(engine.Log().find("Connected Stand By state"), std::string::npos);
  // Other flows go on.
  EXPECT_EQ(Send(*client, PolicyGet(10)), AppletCallStatus::kSuccess);
  client->ReleaseSessionIdRpc(10);

  ASSERT_EQ(engine.Ctl({"event", "standby-exit"}).exitCode, 0);
  EXPECT_NE(Until(save, [&](AppletCallStatus s) { return !isStandby(s); }),
            AppletCallStatus::kConnectedStandby);
}

TEST_F(EngineE2eTest, StatusLongPollAdmitsOneAtATimeAndIsCancelled) {
  ASSERT_NO_FATAL_FAILURE(StartEngine());
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

  EXPECT_NE(engine.Log().find("RPC-END - AsyncFunc - Call cancelled by Client"), std::string::npos);
}

TEST_F(EngineE2eTest, SleepRefusesRequestsUntilResume) {
  ASSERT_NO_FATAL_FAILURE(StartEngine());
  auto client = NewClient();
  const auto get = [&] { return Send(*client, PolicyGet(kNoSession)); };
  ASSERT_EQ(get(), AppletCallStatus::kSuccess);

  // A request in flight when the sleep comes still gets an answer.
  engine.WriteKilnFaults("hang SendAndRecv2 800ms*1\n");
  std::atomic<int> inFlight{-1};
  std::thread request([&] {
    auto own = NewClient();
    inFlight = static_cast<int>(Send(*own, PolicyGet(kNoSession)));
  });
  std::this_thread::sleep_for(200ms);
  ASSERT_EQ(engine.Ctl({"event", "sleep"}).exitCode, 0);

  // During the first seconds of a sleep the applet is busy for everyone.
  EXPECT_EQ(Until(
                get, [](AppletCallStatus s) { return s == AppletCallStatus::kAppletBusy; }, 3s),
            AppletCallStatus::kAppletBusy);
  request.join();
  EXPECT_GE(inFlight, 0);

  ASSERT_EQ(engine.Ctl({"event", "resume"}).exitCode, 0);
  EXPECT_EQ(Until(get, [](AppletCallStatus s) { return s == AppletCallStatus::kSuccess; }),
            AppletCallStatus::kSuccess);
}

// Many clients at once: every reply is the answer to its own request (the applet echoes the
// module id, which numbers the requests), none is lost.
TEST_F(EngineE2eTest, ManyClientsEachGetTheirOwnReplies) {
  ASSERT_NO_FATAL_FAILURE(StartEngine());
  std::atomic<int> wrong{0}, failed{0}, answered{0};
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
        try {
          const mfab::Message answer = mfab::Message::Parse(reply);
          if (answer.moduleId != tag || answer.sessionId != kNoSession) ++wrong;
        } catch (const mfab::TlvException&) {
          ++wrong;
        }
      }
    });
  }
  for (std::thread& t : clients) t.join();
  EXPECT_EQ(failed, 0);
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(answered, kClients * kMessagesPerClient);
}

// A client that leaves while its request waits on a slow applet harms nobody else: the next
// caller is answered once the abandoned exchange is over.
TEST_F(EngineE2eTest, ClientLeavingMidCallHarmsNobodyElse) {
  ASSERT_NO_FATAL_FAILURE(StartEngine());
  engine.WriteKilnFaults("hang SendAndRecv2 1s*1\n");
  ClientOptions impatient;
  impatient.callTimeout = 200ms;
  auto leaving = NewClient(impatient);
  EXPECT_THROW(Send(*leaving, PolicyGet(kNoSession)), TransportError);
  leaving.reset();
  auto after = NewClient();
  EXPECT_EQ(Send(*after, PolicyGet(kNoSession)), AppletCallStatus::kSuccess);
}

}  // namespace
}  // namespace rpc
