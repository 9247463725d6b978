#include "rpc/client/client.h"

#include <gtest/gtest.h>

#include <functional>
#include <future>

#include "rpc/operation_table.h"
#include "rpc/server.h"
#include "tests/rpc/fake_engine.h"

namespace rpc {
namespace {

using namespace std::chrono_literals;
using testing::FakeEngine;

class ClientTest : public testing::ServerFixture {
 protected:
  void SetUp() override { Start(); }
  Client client{options.socketPath};
};

uint32_t StatusOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const TransportError& e) {
    return e.Status();
  }
  return 0;
}

// Each proxy reaches the engine's method of its own name; the encodings themselves are covered
// by the marshalling tests.
TEST_F(ClientTest, EveryProxyReachesItsNamesake) {
  const uint8_t id[] = {1, 2, 3, 4, 5, 6, 1, 0};
  uint8_t out[64] = {};
  int32_t size = sizeof(out), value = 0;
  int16_t rssi = 0;
  engine.PublishStatus({5, 5});
  const std::vector<std::function<void()>> calls = {
      [&] { client.ResetServiceRpc(); },
      [&] { EXPECT_EQ(client.GetSessionIdRpc(), 1); },
      [&] { client.ReleaseSessionIdRpc(77); },
      [&] { EXPECT_EQ(client.NotifyAuthenticateStatusAsyncRpc(&size, out, value), 0); },
      [&] { client.UpdateAuthenticationErrorStateRpc(3, -4); },
      [&] {
        EXPECT_EQ(client.SendMessageToAppletRpc(0, 2, id, &size, out), AppletCallStatus::kSuccess);
      },
      [&] { client.SetBTMockModeRpc(); },
      [&] { client.SendMessageToBtDeviceRpc(8, id, 0, nullptr, 1, &size, out); },
      [&] {
        EXPECT_EQ(client.EstablishConnectionWithBtDeviceRpc(8, id), BtCallStatus::kNotResponsive);
      },
      [&] { client.IsRSSISupportedRpc(int16_t{3}, value); },
      [&] { client.GetRSSIRpc(8, id, 0, rssi); },
      [&] { EXPECT_EQ(client.CalibrateRSSIRpc(8, id), BtCallStatus::kUnsupportedFactor); },
      [&] { client.GetDeviceStatusRpc(8, id, 1, value); },
      [&] { client.ScanRpc(int16_t{2}, &size, out); },
      [&] { client.UpdateProximityStateRpc(8, id, 101); },
      [&] { EXPECT_EQ(client.AuthenticationOnDesktopRpc("ab", "c"), 201); },
      [&] { client.TriggerDataBackupRpc(int16_t{2}, "", 0, nullptr); },
      [&] { client.GetDiscoveryInfoRpc(int16_t{3}, 0, nullptr, "x", "y", &size, out); },
      [&] { client.MirrorFactorSupportedStatusRpc(0, nullptr); },
      [&] { client.GetUserRecordsRpc("S-1-5-18", nullptr, out); },
      [&] { client.IsPhonePresentRpc(8, id, value); },
      [&] { EXPECT_EQ(client.SetUserPresenceRpc(2, id), -2); },
      [&] { client.InitializeSessionRpc(); },
      [&] { EXPECT_EQ(client.RunEnrollmentFlowRpc(5, "a", "b", 0, nullptr), 10); },
  };
  ASSERT_EQ(calls.size(), kOperationCount);
  for (size_t n = 0; n < kOperationCount; ++n) {
    size = sizeof(out);
    calls[n]();
    EXPECT_EQ(engine.LastCall().name, kOperations[n].name);
  }
  // One thread calling one after another needs one connection.
  EXPECT_EQ(client.IdleConnections(), 1u);
}

TEST_F(ClientTest, SixtyFourThreadsLoseOrCrossNoReply) {
  constexpr int kThreads = 64;
  constexpr int kCalls = 1000;
  std::atomic<int> lostOrCrossed{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kCalls; ++i) {
        // A value unique to this call, of a length that varies with it.
        std::vector<uint8_t> value(4 + static_cast<size_t>(i % 13));
        std::memcpy(value.data(), &t, 2);
        std::memcpy(value.data() + 2, &i, 2);
        uint8_t out[32];
        int32_t size = sizeof(out);
        try {
          const AppletCallStatus status = client.SendMessageToAppletRpc(
              t, static_cast<int32_t>(value.size()), value.data(), &size, out);
          if (status == AppletCallStatus::kSuccess &&
              std::vector<uint8_t>(out, out + size) == value) {
            continue;
          }
        } catch (const TransportError&) {
        }
        ++lostOrCrossed;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(lostOrCrossed.load(), 0);
  EXPECT_LE(client.IdleConnections(), ClientOptions{}.maxIdleConnections);
  EXPECT_EQ(server->CallsInFlight(), 0u);
}

TEST_F(ClientTest, TransportFailuresAreTransportErrors) {
  Client nowhere(dir.path + "/nobody");
  EXPECT_EQ(StatusOf([&] { nowhere.GetSessionIdRpc(); }), kStatusServerUnavailable);

  EXPECT_EQ(StatusOf([&] { client.ReleaseSessionIdRpc(FakeEngine::kThrowingSession); }),
            kStatusCallFailed);
  EXPECT_EQ(StatusOf([&] { client.AuthenticationOnDesktopRpc(nullptr, "x"); }),
            kStatusNullReference);
  const uint8_t data[] = {1};
  EXPECT_EQ(StatusOf([&] { client.SetUserPresenceRpc(-1, data); }), kStatusBadStubData);
  uint8_t out[4];
  int32_t size = 4;
  EXPECT_EQ(StatusOf([&] { client.GetUserRecordsRpc("overflow", &size, out); }),
            kStatusBadStubData);
  // The faults left the connection usable.
  EXPECT_EQ(client.GetSessionIdRpc(), 1);
  EXPECT_EQ(client.IdleConnections(), 1u);
}

TEST_F(ClientTest, SurvivesARestartOfTheServer) {
  EXPECT_EQ(client.GetSessionIdRpc(), 1);
  server.reset();
  EXPECT_EQ(StatusOf([&] { client.GetSessionIdRpc(); }), kStatusServerUnavailable);
  Start();
  EXPECT_EQ(client.GetSessionIdRpc(), 2);
  // A pooled connection to the old server is not reused.
  server.reset();
  Start();
  EXPECT_EQ(client.GetSessionIdRpc(), 3);
}

TEST_F(ClientTest, CancelTokenEndsTheAsyncCall) {
  CancelToken token;
  int32_t size = 16;
  uint8_t out[16];
  int32_t dataState = 0;
  auto call = std::async(std::launch::async, [&] {
    return client.NotifyAuthenticateStatusAsyncRpc(&size, out, dataState, &token);
  });
  ASSERT_TRUE(engine.WaitAsyncRunning());
  token.Cancel();
  ASSERT_EQ(call.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(call.get(), kNotifyCancelled);
  EXPECT_EQ(size, 0);
  EXPECT_EQ(dataState, kDataStateNone);

  // A token cancelled before the call cancels it at once; Reset makes it usable again.
  size = 16;
  EXPECT_EQ(client.NotifyAuthenticateStatusAsyncRpc(&size, out, dataState, &token),
            kNotifyCancelled);
  token.Reset();
  size = 16;
  engine.PublishStatus({9});
  EXPECT_EQ(client.NotifyAuthenticateStatusAsyncRpc(&size, out, dataState, &token),
            kNotifyStatusDelivered);
  EXPECT_EQ(size, 1);
  EXPECT_EQ(out[0], 9);
  EXPECT_EQ(dataState, kDataStateWritten);
}

TEST_F(ClientTest, AsyncCallLimitDropsTheConnectionWhichCancelsTheCall) {
  ClientOptions clientOptions;
  clientOptions.asyncCallTimeout = 100ms;
  Client limited(options.socketPath, clientOptions);
  int32_t size = 16;
  uint8_t out[16];
  int32_t dataState = 0;
  EXPECT_EQ(StatusOf([&] { limited.NotifyAuthenticateStatusAsyncRpc(&size, out, dataState); }),
            kStatusTimeout);
  EXPECT_EQ(engine.WaitAsyncEnded(), kNotifyCancelled);
}

}  // namespace
}  // namespace rpc
