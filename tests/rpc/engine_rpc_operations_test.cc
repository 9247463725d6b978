#include "rpc/engine_rpc_operations.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/exceptions.h"
#include "common/status.h"
#include "rpc/protocol.h"
#include "tests/fakes/log_capture.h"

namespace rpc {
namespace {

using keystone::testing::LogCapture;
using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

class FakeCall final : public AsyncCallContext {
 public:
  explicit FakeCall(std::optional<CallerIdentity> identity = CallerIdentity{4321, 0, 0})
      : AsyncCallContext(5, identity, identity ? 0 : 13) {}
  int32_t TestCancel() const override { return cancelStatus.load(); }
  void Complete(int32_t value) override {
    ++completions;
    result = value;
  }
  std::atomic<int32_t> cancelStatus{kCallNotCancelled};
  std::atomic<int> completions{0};
  std::atomic<int32_t> result{-1};
};

class FakeServices final : public EngineRpcServices {
 public:
  uint32_t NextSessionId() override { return nextId++; }
  void ReleaseSessionId(uint32_t sessionId) override { released = sessionId; }
  Bytes SendMessageToApplet(const Bytes& request, uint32_t clientPid) override {
    ++sends;
    lastRequest = request;
    lastPid = clientPid;
    return send ? send(request) : reply;
  }
  bool SetAsyncRpcState(bool newState) override {
    std::lock_guard<std::mutex> lock(mutex);
    if (asyncState == newState) return false;
    asyncState = newState;
    return true;
  }
  StatusPoll PollAuthenticationStatus() override { return poll.load(); }
  Bytes GetAuthenticationStatus() override { return status; }
  void AuthenticationStatusUpdateCompleted() override {
    ++completed;
    poll = StatusPoll::kUnchanged;
  }
  void UpdateAuthenticationErrorState(int32_t identifier, uint32_t errorCode) override {
    errorId = identifier;
    errorCodeSeen = errorCode;
  }
  void RequestSessionVerification() override {
    if (verifyThrows) throw std::runtime_error("no applet");
    pending = true;
  }
  bool SessionVerificationPending() override { return pending.load(); }

  std::function<Bytes(const Bytes&)> send;
  Bytes reply{1, 2, 3, 4};
  Bytes lastRequest;
  std::atomic<uint32_t> lastPid{0};
  std::atomic<int> sends{0};
  std::atomic<uint32_t> nextId{1};
  std::atomic<uint32_t> released{0};
  std::mutex mutex;
  bool asyncState = false;
  std::atomic<StatusPoll> poll{StatusPoll::kUnchanged};
  Bytes status{0x7B, 0x44, 0x00, 0x01, 0x03};
  std::atomic<int> completed{0};
  std::atomic<int32_t> errorId{0};
  std::atomic<uint32_t> errorCodeSeen{0};
  std::atomic<bool> pending{false};
  bool verifyThrows = false;
};

class EngineRpcOperationsTest : public ::testing::Test {
 protected:
  EngineRpcOperationsTest() : operations(services, Options()) {}
  ~EngineRpcOperationsTest() override { capture->Uninstall(); }

  static EngineRpcOptions Options() {
    EngineRpcOptions options;
    options.notifyPollInterval = 1ms;
    options.sessionCheckInterval = 1ms;
    options.sessionVerifyLimit = 50ms;
    return options;
  }

  AppletCallStatus Send(int32_t capacity, Bytes& out, CallContext& context) {
    const Bytes request{0xAA, 0xBB};
    outSize = capacity;
    out.assign(static_cast<size_t>(capacity), 0);
    return operations.SendMessageToAppletRpc(context, 0, 2, request.data(), &outSize, out.data());
  }

  std::shared_ptr<LogCapture> capture = LogCapture::Install();
  FakeServices services;
  EngineRpcOperations operations;
  FakeCall call;
  int32_t outSize = 0;
};

TEST_F(EngineRpcOperationsTest, SendCopiesTheReplyAndPassesTheCaller) {
  Bytes out;
  EXPECT_EQ(Send(16, out, call), AppletCallStatus::kSuccess);
  EXPECT_EQ(outSize, 4);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 4), services.reply);
  EXPECT_EQ(services.lastRequest, (Bytes{0xAA, 0xBB}));
  EXPECT_EQ(services.lastPid, 4321u);
  EXPECT_TRUE(capture->Has("SendMessageToAppletRpc"));

  FakeCall anonymous(std::nullopt);
  EXPECT_EQ(Send(16, out, anonymous), AppletCallStatus::kSuccess);
  EXPECT_EQ(services.lastPid, 0u);
  EXPECT_TRUE(capture->Has("Failed to retrieve client PID. Error code: 13"));
}

TEST_F(EngineRpcOperationsTest, SendWithSmallOrNullBufferStillRunsTheRequest) {
  Bytes out;
  EXPECT_EQ(Send(3, out, call), AppletCallStatus::kBufferTooSmall);
  EXPECT_EQ(outSize, 3);  // unchanged: the client is not told the size
  EXPECT_EQ(services.sends, 1);

  EXPECT_EQ(operations.SendMessageToAppletRpc(call, 0, 0, nullptr, nullptr, nullptr),
            AppletCallStatus::kInvalidApi);
  EXPECT_EQ(services.sends, 2);
  EXPECT_TRUE(services.lastRequest.empty());
}

TEST_F(EngineRpcOperationsTest, SendMapsEachFailureToItsStatusAndLogLine) {
  struct Case {
    std::function<void()> raise;
    AppletCallStatus status;
    std::string line;
  };
  const std::vector<Case> cases = {
      {[] { throw mfab::AppletCurrentlyBusyException("x"); }, AppletCallStatus::kAppletBusy,
       "Applet currently busy"},
      {[] { throw mfab::ApiCurrentlyBusyException(); }, AppletCallStatus::kApiBusy,
       "API currently busy"},
      {[] { throw mfab::InvalidApiException(); }, AppletCallStatus::kInvalidApi,
       "Invalid API call"},
      {[] { throw mfab::NotElevatedException(); }, AppletCallStatus::kNotElevated,
       "Insufficient privileges"},
      {[] { throw mfab::SVNUpgradeException("u"); }, AppletCallStatus::kSvnUpgrade,
       "Couldn't complete the applet activity , FSVN version upgrade was identify"},
      {[] { throw mfab::ConnectedStandByException("s"); }, AppletCallStatus::kConnectedStandby,
       "Couldn't complete the applet activity , Connected Stand By state"},
      {[] { throw mfab::GenericException("no client"); }, AppletCallStatus::kAttestationFailure,
       "Attestation failure: no client"},
      {[] { throw mfab::ClearDiskException(); }, AppletCallStatus::kClearDiskFailed,
       "Couldn't delete all SDS files"},
      {[] { throw mfab::TEEException("applet said no"); }, AppletCallStatus::kGeneralFailure,
       "Exception: applet said no"},
      {[] { throw 7; }, AppletCallStatus::kGeneralFailure, "Unknown error"},
  };
  for (const Case& c : cases) {
    capture->Clear();
    services.send = [&c](const Bytes&) -> Bytes {
      c.raise();
      return {};
    };
    Bytes out;
    EXPECT_EQ(Send(16, out, call), c.status) << c.line;
    EXPECT_EQ(outSize, 16) << c.line;
    EXPECT_TRUE(capture->Has(c.line)) << c.line;
  }
  EXPECT_NE(static_cast<int>(AppletCallStatus::kClearDiskFailed), 2);
  EXPECT_GT(static_cast<int>(AppletCallStatus::kClearDiskFailed), 9);
}

TEST_F(EngineRpcOperationsTest, NotifyDeliversAChangedStatusOnce) {
  services.poll = EngineRpcServices::StatusPoll::kChanged;
  Bytes out(64);
  int32_t size = 64;
  int32_t dataState = 0;
  operations.NotifyAuthenticateStatusAsyncRpc(call, &size, out.data(), dataState);
  EXPECT_EQ(call.completions, 1);
  EXPECT_EQ(call.result, kNotifyStatusDelivered);
  EXPECT_EQ(dataState, kDataStateWritten);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + size), services.status);
  EXPECT_EQ(services.completed, 1);
  EXPECT_FALSE(services.asyncState);  // the next call is admitted again
  EXPECT_TRUE(capture->Has("NotifyAuthenticateStatusAsyncRpc: AuthenticationStatus Changed"));
  EXPECT_TRUE(capture->Has("RPC-END - AsyncFunc"));
}

TEST_F(EngineRpcOperationsTest, NotifyStatusThatDoesNotFitIsResultFour) {
  services.poll = EngineRpcServices::StatusPoll::kChanged;
  Bytes out(2);
  int32_t size = 2;
  int32_t dataState = 0;
  operations.NotifyAuthenticateStatusAsyncRpc(call, &size, out.data(), dataState);
  EXPECT_EQ(call.result, kNotifyBufferTooSmall);
  EXPECT_EQ(dataState, kDataStateNone);
  EXPECT_EQ(services.completed, 1);
  EXPECT_TRUE(capture->Has("Data size doesn not match actual response size"));
}

TEST_F(EngineRpcOperationsTest, OnlyOneNotificationCallAtATime) {
  services.asyncState = true;  // another call is open
  int32_t size = 8;
  Bytes out(8);
  int32_t dataState = 0;
  operations.NotifyAuthenticateStatusAsyncRpc(call, &size, out.data(), dataState);
  EXPECT_EQ(call.result, kNotifyAlreadyWithinCall);
  EXPECT_EQ(dataState, kDataStateNone);
  EXPECT_TRUE(services.asyncState);  // still the other call's
  EXPECT_TRUE(capture->Has("RPC Async ASYNC_RPC_ERROR_ALREADY_WITHIN_CALL "));
}

TEST_F(EngineRpcOperationsTest, NotifyEndsOnCancelBadStatusAndDeletion) {
  struct Case {
    int32_t cancel;
    EngineRpcServices::StatusPoll poll;
    int32_t result;
    std::string line;
  };
  const std::vector<Case> cases = {
      {kCallCancelled, EngineRpcServices::StatusPoll::kUnchanged, kNotifyCancelled,
       "RPC-END - AsyncFunc - Call cancelled by Client"},
      {static_cast<int32_t>(kStatusNotListening), EngineRpcServices::StatusPoll::kUnchanged,
       kNotifyBadCancelStatus, "RPC-END - Exiting AsyncFunc due to bad status 1715"},
      {kCallNotCancelled, EngineRpcServices::StatusPoll::kMarkedForDeletion, kNotifyCancelled,
       "Authentication State manager mark for deletion"},
  };
  for (const Case& c : cases) {
    FakeCall waiting;
    services.poll = EngineRpcServices::StatusPoll::kUnchanged;
    int32_t size = 8;
    Bytes out(8);
    int32_t dataState = 0;
    std::thread poller(
        [&] { operations.NotifyAuthenticateStatusAsyncRpc(waiting, &size, out.data(), dataState); });
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(waiting.completions, 0) << c.line;  // still waiting for news
    waiting.cancelStatus = c.cancel;
    services.poll = c.poll;
    poller.join();
    EXPECT_EQ(waiting.result, c.result) << c.line;
    EXPECT_EQ(dataState, kDataStateNone) << c.line;
    EXPECT_TRUE(capture->Has(c.line)) << c.line;
    EXPECT_FALSE(services.asyncState) << c.line;
    if (c.cancel == kCallCancelled) {
      EXPECT_EQ(size, 0);
    }
  }
}

TEST_F(EngineRpcOperationsTest, InitializeSessionWaitsForTheVerification) {
  std::thread verifier([&] {
    while (!services.pending) std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(5ms);
    services.pending = false;
  });
  operations.InitializeSessionRpc(call);
  verifier.join();
  EXPECT_FALSE(services.pending);
  EXPECT_FALSE(capture->Has("The applet session was not verified in time"));

  // Nobody verifies: the call gives up at its limit.
  operations.InitializeSessionRpc(call);
  EXPECT_TRUE(capture->Has("The applet session was not verified in time"));

  services.verifyThrows = true;
  operations.InitializeSessionRpc(call);
  EXPECT_TRUE(capture->Has("External open session throw exception"));
}

TEST_F(EngineRpcOperationsTest, SessionAndErrorOperationsForward) {
  EXPECT_EQ(operations.GetSessionIdRpc(call), 1);
  EXPECT_EQ(operations.GetSessionIdRpc(call), 2);
  operations.ReleaseSessionIdRpc(call, -1);
  EXPECT_EQ(services.released, 0xFFFFFFFFu);
  operations.UpdateAuthenticationErrorStateRpc(call, 42, static_cast<int32_t>(0xA0000051));
  EXPECT_EQ(services.errorId, 42);
  EXPECT_EQ(services.errorCodeSeen, 0xA0000051u);
  EXPECT_TRUE(capture->Has("End UpdateAuthenticationErrorStateRpc"));
}

TEST_F(EngineRpcOperationsTest, ProductionOnlyOperationsChangeNothing) {
  operations.ResetServiceRpc(call);
  operations.SetBTMockModeRpc(call);
  EXPECT_TRUE(capture->Has("ResetServiceRpc is not supported in Production"));
  EXPECT_TRUE(capture->Has("SetBTMockModeRpc is not supported in Production"));
  EXPECT_EQ(services.sends, 0);
  EXPECT_EQ(services.nextId, 1u);
}

TEST_F(EngineRpcOperationsTest, OperationsOfAbsentComponentsFailByTheirKind) {
  const Bytes id(8, 1);
  int32_t value = 5;
  int16_t rssi = 9;
  int32_t size = 16;
  Bytes out(16);
  EXPECT_EQ(operations.SendMessageToBtDeviceRpc(call, 8, id.data(), 8, id.data(), 1, &size,
                                                out.data()),
            BtCallStatus::kGeneralFailure);
  EXPECT_EQ(operations.EstablishConnectionWithBtDeviceRpc(call, 8, id.data()),
            BtCallStatus::kGeneralFailure);
  EXPECT_EQ(operations.GetRSSIRpc(call, 8, id.data(), 1, rssi), BtCallStatus::kGeneralFailure);
  EXPECT_EQ(operations.CalibrateRSSIRpc(call, 8, id.data()), BtCallStatus::kGeneralFailure);
  EXPECT_EQ(operations.GetDeviceStatusRpc(call, 8, id.data(), 1, value),
            BtCallStatus::kGeneralFailure);
  EXPECT_EQ(operations.ScanRpc(call, 0, &size, out.data()), BtCallStatus::kGeneralFailure);
  EXPECT_EQ(operations.IsPhonePresentRpc(call, 8, id.data(), value),
            BtCallStatus::kGeneralFailure);
  EXPECT_EQ(operations.IsRSSISupportedRpc(call, 1, value), BtCallStatus::kGeneralFailure);
  EXPECT_EQ(size, 16);
  EXPECT_EQ(rssi, 9);
  EXPECT_TRUE(capture->Has("Bluetooth manager is not present (GetRSSIRpc)"));

  const auto failure = static_cast<int32_t>(keystone::kStatusGeneralFailure);
  EXPECT_EQ(operations.AuthenticationOnDesktopRpc(call, "S-1-5-21-1-2-3-1000", ""), failure);
  EXPECT_EQ(operations.TriggerDataBackupRpc(call, 1, "user", 0, nullptr), failure);
  EXPECT_EQ(operations.GetDiscoveryInfoRpc(call, 2, 0, nullptr, "", "", &size, out.data()),
            failure);
  EXPECT_EQ(operations.MirrorFactorSupportedStatusRpc(call, 0, nullptr), failure);
  EXPECT_EQ(operations.GetUserRecordsRpc(call, "", &size, out.data()), failure);
  EXPECT_EQ(operations.RunEnrollmentFlowRpc(call, 1, "", "", 0, nullptr), failure);
  operations.UpdateProximityStateRpc(call, 8, id.data(), 1);
  EXPECT_TRUE(capture->Has("Registry mirroring is not present (TriggerDataBackupRpc)"));
}

TEST_F(EngineRpcOperationsTest, AnswersThatNeedNoComponent) {
  int32_t supported = 0;
  EXPECT_EQ(operations.IsRSSISupportedRpc(call, 3, supported), BtCallStatus::kGeneralFailure);
  EXPECT_FALSE(capture->Contains("is not present (IsRSSISupportedRpc)"));
  EXPECT_EQ(operations.SetUserPresenceRpc(call, 0, nullptr), 0);
  EXPECT_EQ(operations.TriggerDataBackupRpc(call, 7, nullptr, 0, nullptr), 0);

  int32_t size = 16;
  Bytes out(16);
  EXPECT_EQ(operations.GetDiscoveryInfoRpc(call, 9, 0, nullptr, "", "", &size, out.data()), 0);
  EXPECT_EQ(size, 0);
  EXPECT_EQ(operations.GetDiscoveryInfoRpc(call, 9, 0, nullptr, "", "", nullptr, nullptr),
            static_cast<int32_t>(keystone::kStatusInvalidParameter));
}

}  // namespace
}  // namespace rpc
