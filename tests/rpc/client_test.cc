#include "rpc/client/client.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "rpc/marshal.h"
#include "rpc/operation_table.h"
#include "rpc/server.h"
#include "tests/rpc/fake_engine.h"

namespace rpc {
namespace {

using namespace std::chrono_literals;
using testing::FakeEngine;

constexpr uint32_t kNobody = 65534;

// Binds the endpoint in the directory as root, then listens as another user: the kernel then
// names that user as the server, whatever owns the socket file.
[[maybe_unused]] const bool kImpostorRole =
    keystone::testing::HelperRole("impostor", [](const std::string& directory) {
      platform::UnixListener listener =
          platform::UnixListener::Bind(directory + "/IVoxWithMfa", 0666);
      if (::setresgid(kNobody, kNobody, kNobody) != 0 ||
          ::setresuid(kNobody, kNobody, kNobody) != 0) {
        return 2;
      }
      listener.Listen(8);
      ::pause();
      return 0;
    });

class ClientTest : public testing::ServerFixture {
 protected:
  void SetUp() override { Start(); }

  // The size and buffer as "size=n out=hex".
  std::string Output() {
    return "size=" + std::to_string(size) + " out=" + testing::Hex(out, size);
  }

  Client client{options.socketPath};
  uint8_t out[16] = {};
  int32_t size = 16;
};

uint32_t StatusOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const TransportError& e) {
    return e.Status();
  }
  return 0;
}

// Each proxy reaches the engine's method of its own name with its arguments in order, and the
// results and outputs travel back; the edge values of each kind are in the keystonectl tests,
// which marshal through the same calls.
TEST_F(ClientTest, EveryProxyRoundTripsItsCall) {
  const uint8_t id[] = {1, 2, 3};
  int32_t value = 0;
  int16_t rssi = -40;
  engine.PublishStatus({5, 5});
  client.ResetServiceRpc();
  EXPECT_EQ(client.GetSessionIdRpc(), 1);
  client.ReleaseSessionIdRpc(-77);
  EXPECT_EQ(client.NotifyAuthenticateStatusAsyncRpc(&size, out, value), kNotifyStatusDelivered);
  EXPECT_EQ(Output(), "size=2 out=0505");
  EXPECT_EQ(value, kDataStateWritten);
  client.UpdateAuthenticationErrorStateRpc(3, -4);
  EXPECT_EQ(client.SendMessageToAppletRpc(7, 3, id, &(size = 16), out), AppletCallStatus::kSuccess);
  EXPECT_EQ(Output(), "size=3 out=010203");
  client.SetBTMockModeRpc();
  EXPECT_EQ(client.SendMessageToBtDeviceRpc(2, id, 1, id + 2, 1, &(size = 16), out),
            BtCallStatus::kSuccess);
  EXPECT_EQ(Output(), "size=1 out=03");
  EXPECT_EQ(client.EstablishConnectionWithBtDeviceRpc(3, id), BtCallStatus::kNotResponsive);
  EXPECT_EQ(client.IsRSSISupportedRpc(int16_t{-2}, value = 5), BtCallStatus::kSuccess);
  EXPECT_EQ(value, 3);
  // Every 16 bits of an enum16 result travel.
  EXPECT_EQ(client.GetRSSIRpc(3, id, 1, rssi), static_cast<BtCallStatus>(0xFFFF));
  EXPECT_EQ(rssi, -50);
  EXPECT_EQ(client.CalibrateRSSIRpc(1, id), BtCallStatus::kUnsupportedFactor);
  EXPECT_EQ(client.GetDeviceStatusRpc(1, id, 4, value = 100), BtCallStatus::kSuccess);
  EXPECT_EQ(value, 104);
  EXPECT_EQ(client.ScanRpc(int16_t{2}, &(size = 16), out), BtCallStatus::kSuccess);
  EXPECT_EQ(Output(), "size=4 out=7363616e");
  client.UpdateProximityStateRpc(2, id, 101);
  EXPECT_EQ(client.AuthenticationOnDesktopRpc("S-1-5-21-1-2-3-1000", ""), 1900);
  EXPECT_EQ(client.TriggerDataBackupRpc(int16_t{0}, "alice", 1, id + 2),
            static_cast<int32_t>(keystone::kStatusGeneralFailure));
  EXPECT_EQ(client.GetDiscoveryInfoRpc(int16_t{1}, 2, id, "p", "q", &(size = 16), out), 0);
  EXPECT_EQ(Output(), "size=2 out=0102");
  EXPECT_EQ(client.MirrorFactorSupportedStatusRpc(0, nullptr),
            static_cast<int32_t>(keystone::kStatusPolicyNotSet));
  EXPECT_EQ(client.GetUserRecordsRpc("sid", &(size = 16), out), 0);
  EXPECT_EQ(Output(), "size=3 out=736964");
  EXPECT_EQ(client.IsPhonePresentRpc(0, nullptr, value = 9), BtCallStatus::kSuccess);
  EXPECT_EQ(value, 0);
  EXPECT_EQ(client.SetUserPresenceRpc(2, id), -2);
  client.InitializeSessionRpc();
  EXPECT_EQ(client.RunEnrollmentFlowRpc(5, "a", "b", 1, id + 2), 10);

  const char* const args[] = {
      "",
      "",
      "sessionId=-77",
      "outSize=16 outBuffer=buf dataState=0",
      "first=3 second=-4",
      "reserved=7 inSize=3 inBytes=010203 outSize=16 outBuffer=buf",
      "",
      "idSize=2 deviceId=0102 inSize=1 inBytes=03 interactive=1 outSize=16 outBuffer=buf",
      "idSize=3 deviceId=010203",
      "providerType=-2 supported=5",
      "idSize=3 deviceId=010203 mustExist=1 rssi=-40",
      "idSize=1 deviceId=01",
      "idSize=1 deviceId=01 flag=4 status=100",
      "scanType=2 outSize=16 outBuffer=buf",
      "idSize=2 deviceId=0102 state=101",
      "userSid=S-1-5-21-1-2-3-1000 second=",
      "mode=0 user=alice dataSize=1 data=03",
      "kind=1 dataSize=2 data=0102 first=p second=q outSize=16 outBuffer=buf",
      "dataSize=0 data=null",
      "userSid=sid outSize=16 outBuffer=buf",
      "idSize=0 deviceId=null present=9",
      "dataSize=2 data=0102",
      "",
      "value=5 first=a second=b dataSize=1 data=03",
  };
  const std::vector<FakeEngine::Call> calls = engine.Calls();
  ASSERT_EQ(calls.size(), kOperationCount);
  for (size_t n = 0; n < kOperationCount; ++n) {
    EXPECT_EQ(calls[n].name, kOperations[n].name);
    EXPECT_EQ(calls[n].args, args[n]) << kOperations[n].name;
  }
  // One thread calling one after another needs one connection.
  EXPECT_EQ(client.IdleConnections(), 1u);
}

// A failed call costs nothing else: the connection stays usable, and a client outlives its server.
TEST_F(ClientTest, FailuresAreTransportErrors) {
  const uint8_t data[] = {1};
  const struct {
    std::function<void()> call;
    uint32_t status;
  } cases[] = {
      {[&] { Client(dir.File("nobody")).GetSessionIdRpc(); }, kStatusServerUnavailable},
      {[&] { client.ReleaseSessionIdRpc(FakeEngine::kThrowingSession); }, kStatusCallFailed},
      {[&] { client.AuthenticationOnDesktopRpc(nullptr, "x"); }, kStatusNullReference},
      {[&] { client.SetUserPresenceRpc(-1, data); }, kStatusBadStubData},
      {[&] { client.SendMessageToAppletRpc(0, 1, data, &(size = -1), out); }, kStatusBadStubData},
      {[&] { client.SendMessageToAppletRpc(0, 1, data, &(size = kMaxOutputCapacity + 1), out); },
       kStatusBadStubData},
      // The server refuses to send a size beyond the capacity.
      {[&] { client.GetUserRecordsRpc("overflow", &(size = 4), out); }, kStatusBadStubData},
  };
  for (const auto& c : cases) EXPECT_EQ(StatusOf(c.call), c.status);
  EXPECT_EQ(engine.Calls().size(), 2u);  // the throwing and the overflowing call
  // The faults left the connection usable.
  EXPECT_EQ(client.GetSessionIdRpc(), 1);
  EXPECT_EQ(client.IdleConnections(), 1u);

  server.reset();
  EXPECT_EQ(StatusOf([&] { client.GetSessionIdRpc(); }), kStatusServerUnavailable);
  Start();
  EXPECT_EQ(client.GetSessionIdRpc(), 2);
  // A pooled connection to the old server is not reused.
  server.reset();
  Start();
  EXPECT_EQ(client.GetSessionIdRpc(), 3);
}

// Its end by the engine's news is in EveryProxyRoundTripsItsCall.
TEST_F(ClientTest, TheClientEndsTheAsyncCallItGaveUpOn) {
  int32_t dataState = 0;
  ClientOptions clientOptions;
  clientOptions.asyncCallTimeout = 100ms;
  Client limited(options.socketPath, clientOptions);
  EXPECT_EQ(StatusOf([&] { limited.NotifyAuthenticateStatusAsyncRpc(&size, out, dataState); }),
            kStatusTimeout);
  EXPECT_EQ(engine.WaitAsyncEnded(), kNotifyCancelled);

  // A token cancelled before the call cancels it at once (during the call: end to end); Reset
  // makes it usable again.
  CancelToken token;
  token.Cancel();
  EXPECT_EQ(client.NotifyAuthenticateStatusAsyncRpc(&size, out, dataState, &token),
            kNotifyCancelled);
  EXPECT_EQ(size, 0);
  EXPECT_EQ(engine.WaitAsyncEnded(), kNotifyCancelled);
  token.Reset();
  engine.PublishStatus({1});
  EXPECT_EQ(client.NotifyAuthenticateStatusAsyncRpc(&(size = 16), out, dataState, &token),
            kNotifyStatusDelivered);
}

// Clients of every user look for the system engine in one place, and trust only what root, they
// themselves or a user they name run there.
TEST_F(ClientTest, AnEndpointOthersControlIsRefusedBeforeAnythingIsSent) {
  ::unsetenv("KEYSTONE_RUNTIME_DIR");
  EXPECT_EQ(ClientEndpointPath(), "/run/ostra-keystone/IVoxWithMfa");

  const std::string runtime = std::filesystem::path(options.socketPath).parent_path();
  ASSERT_EQ(client.GetSessionIdRpc(), 1);
  ::chmod(runtime.c_str(), 0777);
  Client fresh(options.socketPath);
  EXPECT_EQ(StatusOf([&] { fresh.GetSessionIdRpc(); }), kStatusUntrustedServer);
  ::chmod(runtime.c_str(), 0755);
  std::filesystem::create_directory_symlink(runtime, dir.File("link"));
  EXPECT_EQ(StatusOf([&] { Client(dir.File("link/IVoxWithMfa")).GetSessionIdRpc(); }),
            kStatusUntrustedServer);
  EXPECT_EQ(engine.Calls().size(), 1u);
}

TEST_F(ClientTest, AServerOfAnotherUserIsRefusedUnlessNamed) {
  if (::geteuid() != 0) GTEST_SKIP() << "starting a server as another user needs root";
  keystone::testing::TempDirectory other;
  ::chmod(other.Path().c_str(), 0755);
  const pid_t impostor = keystone::testing::SpawnProgram(
      std::filesystem::read_symlink("/proc/self/exe"), {},
      keystone::testing::HelperEnv("impostor", other.Path()), other.File("log"));
  const std::string path = other.File("IVoxWithMfa");
  uint32_t status = kStatusServerUnavailable;
  testing::Eventually([&] {
    return (status = StatusOf([&] { Client(path).GetSessionIdRpc(); })) != kStatusServerUnavailable;
  });
  EXPECT_EQ(status, kStatusUntrustedServer);
  ClientOptions named;
  named.engineUid = kNobody;
  named.callTimeout = 100ms;
  // Trusted now; the impostor never answers.
  EXPECT_EQ(StatusOf([&] { Client(path, named).GetSessionIdRpc(); }), kStatusTimeout);
  ::kill(impostor, SIGKILL);
  keystone::testing::WaitForExit(impostor, 5s);
}

// Bytes no server of ours would send.
TEST(ProxyCallTest, ClientRejectsRepliesThatDoNotMatchTheCall) {
  int32_t size = 4;
  uint8_t out[4] = {};
  ProxyCall<19> call({"sid", &size, out});
  std::vector<uint8_t> request;
  call.EncodeRequest(request);
  // Each: result 0, size, buffer.
  const std::vector<uint8_t> bad[] = {
      {0, 0, 0, 0, 1, 5, 0, 0, 0, 1, 5, 0, 0, 0, 1, 2, 3, 4, 5},  // 5 bytes above capacity 4
      {0, 0, 0, 0, 1, 2, 0, 0, 0, 1, 3, 0, 0, 0, 1, 2, 3},        // size 2, 3 bytes
      {0, 0, 0, 0, 1, 0, 0, 0, 0, 0},  // buffer absent although the client passed one
  };
  for (const std::vector<uint8_t>& reply : bad) {
    size = 4;
    EXPECT_THROW(call.DecodeReply(reply), MarshalError);
  }
  size = 4;
  EXPECT_EQ(call.DecodeReply(std::vector<uint8_t>{1, 0, 0, 0, 1, 2, 0, 0, 0, 1, 2, 0, 0, 0, 7, 8}),
            1);
  EXPECT_EQ(size, 2);
  EXPECT_EQ(out[1], 8);
}

}  // namespace
}  // namespace rpc
