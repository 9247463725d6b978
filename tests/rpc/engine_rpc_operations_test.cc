#include "rpc/engine_rpc_operations.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/exceptions.h"
#include "common/status.h"
#include "bluetooth/bt_device.h"
#include "bluetooth/bluetooth_exceptions.h"
#include "bluetooth/bt_manager.h"
#include "engine/phone_presence_monitor.h"
#include "rpc/protocol.h"
#include "rpc/rpc_server.h"
#include "tests/bluetooth/fake_bt_provider.h"
#include "tests/fakes/program_runner.h"
#include "tests/fakes/log_capture.h"

namespace rpc {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using StatusPoll = EngineRpcServices::StatusPoll;

class FakeCall final : public AsyncCallContext {
 public:
  explicit FakeCall(std::optional<CallerIdentity> identity = CallerIdentity{4321, 1000, 100})
      : AsyncCallContext(5, identity, identity ? 0 : 13) {}
  int32_t TestCancel() const override { return cancelStatus; }
  void Complete(int32_t value) override {
    ++completions;
    result = value;
  }
  std::atomic<int32_t> cancelStatus{kCallNotCancelled};
  std::atomic<int> completions{0};
  std::atomic<int32_t> result{-1};
};

// The verification flag and the status wait's state are shared with other threads.
class FakeServices final : public EngineRpcServices {
 public:
  uint32_t NextSessionId() override { return nextId++; }
  void ReleaseSessionId(uint32_t sessionId, const keystone::ClientIdentity& client) override {
    released = sessionId;
    releasedBy = client.uid;
  }
  Bytes SendMessageToApplet(const Bytes& request, const keystone::ClientIdentity& client) override {
    lastRequest = request;
    lastClient = client;
    if (raise) raise();
    return {1, 2, 3, 4};
  }
  bool IsPriorityClient(const keystone::ClientIdentity& client) override {
    return client.uid == 0 || client.uid == 1000;
  }
  bool SetAsyncRpcState(bool newState) override {
    bool expected = !newState;
    return asyncState.compare_exchange_strong(expected, newState);
  }
  StatusPoll PollAuthenticationStatus() override { return poll; }
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
  bool SessionVerificationPending() override { return pending; }
  void MirrorDataCleared() override { Data("MirrorDataCleared"); }
  void MirrorUserUpdated(const std::string& user) override { Data("MirrorUserUpdated " + user); }
  void MirrorUpdateAll() override { Data("MirrorUpdateAll"); }
  void MirrorFactorStatus(const Bytes& support) override {
    Data("MirrorFactorStatus " + std::to_string(support.size()));
  }
  void ClearUserData() override { Data("ClearUserData"); }
  void UserDataUpdated(const std::string& user) override { Data("UserDataUpdated " + user); }
  void StartUserRecordTask() override { Data("StartUserRecordTask"); }
  Bytes Discover(int16_t kind, const Bytes& data, const std::string& first,
                 const std::string& second) override {
    Data("Discover " + std::to_string(kind) + " " + std::string(data.begin(), data.end()) + " " +
         first + " " + second);
    return dataReply;
  }
  Bytes GetSavedDisplayName(const std::string& sid) override {
    Data("GetSavedDisplayName " + sid);
    return dataReply;
  }
  uint32_t RunEnrollmentFlow(uint32_t sessionId, const keystone::ClientIdentity& client,
                             const std::string& user, const std::string& factorId) override {
    lastClient = client;
    Data("RunEnrollmentFlow " + std::to_string(sessionId) + " " + user + " " + factorId);
    return keystone::kStatusAlreadyEnrolled;
  }
  // Records a stored-data call, then raises what dataRaise throws.
  void Data(const std::string& call) {
    dataCalls.push_back(call);
    if (dataRaise) dataRaise();
  }

  std::function<void()> raise;
  std::function<void()> dataRaise;
  std::vector<std::string> dataCalls;
  Bytes dataReply{7, 8, 9};
  int32_t AuthenticationOnDesktop(const std::optional<keystone::ClientIdentity>& caller,
                                  int identityError, const std::string& userSid,
                                  const std::string& second,
                                  const std::function<bool()>& stopRequested) override {
    desktopCaller = caller;
    desktopIdentityError = identityError;
    desktopArguments = {userSid, second};
    stopSeen = stopRequested();
    if (raise) raise();
    return 7;
  }

  std::optional<keystone::ClientIdentity> desktopCaller;
  int desktopIdentityError = 0;
  std::vector<std::string> desktopArguments;
  bool stopSeen = true;
  Bytes lastRequest;
  keystone::ClientIdentity lastClient;
  uint32_t nextId = 1, released = 0, releasedBy = 0;
  std::atomic<bool> asyncState{false};
  std::atomic<StatusPoll> poll{StatusPoll::kUnchanged};
  const Bytes status{0x7B, 0x44, 0x00, 0x01, 0x03};
  int completed = 0;
  int32_t errorId = 0;
  uint32_t errorCodeSeen = 0;
  std::atomic<bool> pending{false};
  bool verifyThrows = false;
  std::shared_ptr<mfab::BtManager> Bluetooth() override { return bluetooth; }
  std::shared_ptr<mfab::BtManager> bluetooth;
  std::shared_ptr<mfab::IPhonePresenceMonitor> PhonePresence() override { return presence; }
  std::shared_ptr<mfab::IPhonePresenceMonitor> presence;
};

class EngineRpcOperationsTest : public ::testing::Test {
 protected:
  EngineRpcOperationsTest() : operations(services, {1ms, 1ms, 50ms, 2s}) {}
  ~EngineRpcOperationsTest() override { capture->Uninstall(); }

  std::shared_ptr<keystone::testing::LogCapture> capture = keystone::testing::LogCapture::Install();
  FakeServices services;
  EngineRpcOperations operations;
  FakeCall call;
};

// Buffer rules, statuses 0, 1, 3 to 9 and the request still running without a buffer are also
// seen end to end; here every exception kind meets its status and log line.
TEST_F(EngineRpcOperationsTest, SendPassesTheCallerAndMapsEachFailureToItsStatusAndLogLine) {
  const Bytes request{0xAA, 0xBB};
  Bytes out(16);
  int32_t size = 16;
  EXPECT_EQ(operations.SendMessageToAppletRpc(call, 0, 2, request.data(), &size, out.data()),
            AppletCallStatus::kSuccess);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + size), (Bytes{1, 2, 3, 4}));
  EXPECT_EQ(services.lastRequest, request);
  EXPECT_EQ(services.lastClient.pid, 4321u);
  EXPECT_EQ(services.lastClient.uid, 1000u);
  FakeCall anonymous(std::nullopt);
  operations.SendMessageToAppletRpc(anonymous, 0, 2, request.data(), &size, out.data());
  EXPECT_FALSE(services.lastClient.Known());
  EXPECT_TRUE(capture->Has("Failed to retrieve client PID. Error code: 13"));

  const struct {
    std::function<void()> raise;
    AppletCallStatus status;
    std::string line;
  } cases[] = {
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
  for (const auto& c : cases) {
    capture->Clear();
    services.raise = c.raise;
    size = 16;
    EXPECT_EQ(operations.SendMessageToAppletRpc(call, 0, 2, request.data(), &size, out.data()),
              c.status)
        << c.line;
    EXPECT_EQ(size, 16) << c.line;
    EXPECT_TRUE(capture->Has(c.line)) << c.line;
  }
}

TEST_F(EngineRpcOperationsTest, TriggerDataBackupRunsEachModesComponents) {
  const struct {
    int16_t mode;
    const char* user;
    std::vector<std::string> calls;
    const char* line;
  } cases[] = {
      {0, "", {"MirrorDataCleared", "ClearUserData"}, "Clear All"},
      {1, "S-1-5-21-1-2-3-1001",
       {"MirrorUserUpdated S-1-5-21-1-2-3-1001", "UserDataUpdated S-1-5-21-1-2-3-1001",
        "StartUserRecordTask"},
       "Update User"},
      {1, nullptr, {"MirrorUserUpdated ", "UserDataUpdated ", "StartUserRecordTask"}, "Update User"},
      {2, "", {"MirrorUpdateAll"}, "Update All"},
      {3, "", {}, "TriggerDataBackupRpc"},
      {-1, "", {}, "TriggerDataBackupRpc"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    capture->Clear();
    services.dataCalls.clear();
    EXPECT_EQ(operations.TriggerDataBackupRpc(call, c.mode, c.user, 3, services.status.data()), 0);
    EXPECT_EQ(services.dataCalls, c.calls);
    EXPECT_TRUE(capture->Has(c.line));
  }
}

// Every failure of the stored-data operations meets its status and log line; a failure stops the
// mode's later steps.
TEST_F(EngineRpcOperationsTest, StoredDataOperationsMapEachFailureToItsStatus) {
  using keystone::kStatusGeneralFailure;
  using keystone::kStatusInvalidParameter;
  using keystone::kStatusPolicyNotSet;
  const auto read = [] { throw mfab::ReadMirrorDataException("r"); };
  const auto write = [] { throw mfab::WriteMirrorDataException("w"); };
  const auto invalid = [] { throw mfab::InvalidParamException("Invalid action"); };
  const auto noPolicy = [] { throw mfab::PolicyNotSetException("Policy Not Set"); };
  const auto apiCall = [] { throw mfab::InvalidApiCallException("Factor [x] Not Found in policy"); };
  const auto other = [] { throw 7; };
  Bytes out(16);
  int32_t size = 16;
  const std::function<int32_t()> backup = [&] {
    return operations.TriggerDataBackupRpc(call, 0, "", 0, nullptr);
  };
  const std::function<int32_t()> discover = [&] {
    return operations.GetDiscoveryInfoRpc(call, 0, 2, services.status.data(), "S-1-5-32", "",
                                          &size, out.data());
  };
  const std::function<int32_t()> status = [&] {
    return operations.MirrorFactorSupportedStatusRpc(call, 2, services.status.data());
  };
  const std::function<int32_t()> records = [&] {
    return operations.GetUserRecordsRpc(call, "S-1-5-32", &size, out.data());
  };
  const struct {
    const char* name;
    const std::function<int32_t()>& operation;
    std::function<void()> raise;
    uint32_t result;
    const char* line;
  } cases[] = {
      {"backup read", backup, read, kStatusGeneralFailure, "Couldn't read data for mirroring"},
      {"backup write", backup, write, kStatusGeneralFailure, "Couldn't write data for mirroring"},
      {"backup std", backup, noPolicy, kStatusGeneralFailure, "std::exception: Policy Not Set"},
      {"backup other", backup, other, kStatusGeneralFailure, "triggering data backup failed"},
      {"discover invalid", discover, invalid, kStatusInvalidParameter,
       "Invalid parameter: Invalid action"},
      {"discover policy", discover, noPolicy, kStatusPolicyNotSet, "Policy Not Set"},
      {"discover api", discover, apiCall, kStatusGeneralFailure, "Unkown Exception"},
      {"discover other", discover, other, kStatusGeneralFailure, "Unkown Exception"},
      {"status policy", status, noPolicy, kStatusPolicyNotSet, "Policy Not Set"},
      {"status invalid", status, invalid, kStatusGeneralFailure, "Unkown Exception"},
      {"records read", records, read, kStatusGeneralFailure, "Unkown Exception"},
      {"records policy", records, noPolicy, kStatusGeneralFailure, "Unkown Exception"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    capture->Clear();
    services.dataCalls.clear();
    services.dataRaise = c.raise;
    size = 16;
    EXPECT_EQ(c.operation(), static_cast<int32_t>(c.result));
    EXPECT_TRUE(capture->Has(c.line));
    EXPECT_EQ(services.dataCalls.size(), 1u);
    EXPECT_EQ(size, 16);
  }
}

TEST_F(EngineRpcOperationsTest, EnrollmentRunsForTheConnectionsCaller) {
  EXPECT_EQ(operations.RunEnrollmentFlowRpc(call, 9, "S-1-5-21-1-2-3-1000", "Card", 3,
                                            services.status.data()),
            static_cast<int32_t>(keystone::kStatusAlreadyEnrolled));
  EXPECT_EQ(services.dataCalls.back(), "RunEnrollmentFlow 9 S-1-5-21-1-2-3-1000 Card");
  EXPECT_EQ(services.lastClient.pid, 4321u);
  EXPECT_EQ(services.lastClient.uid, 1000u);
  FakeCall anonymous(std::nullopt);
  operations.RunEnrollmentFlowRpc(anonymous, 9, "", "", 0, nullptr);
  EXPECT_FALSE(services.lastClient.Known());
  for (const std::function<void()>& raise : std::vector<std::function<void()>>{
           [] { throw std::runtime_error("the engine is stopping"); }, [] { throw 7; }}) {
    services.dataRaise = raise;
    EXPECT_EQ(operations.RunEnrollmentFlowRpc(call, 9, "", "", 0, nullptr),
              static_cast<int32_t>(keystone::kStatusGeneralFailure));
  }
  EXPECT_TRUE(capture->Has("RunEnrollmentFlowRpc failed: the engine is stopping"));
  EXPECT_TRUE(capture->Has("RunEnrollmentFlowRpc failed: Unknown error"));
}

TEST_F(EngineRpcOperationsTest, StoredDataRepliesGoThroughTheOutputBufferRules) {
  Bytes out(16);
  int32_t size = 16;
  EXPECT_EQ(operations.GetDiscoveryInfoRpc(call, 4, 5, Bytes{'P', 'h', 'o', 'n', 'e'}.data(),
                                           nullptr, "x", &size, out.data()),
            0);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + size), services.dataReply);
  EXPECT_EQ(services.dataCalls.back(), "Discover 4 Phone  x");
  EXPECT_EQ(operations.MirrorFactorSupportedStatusRpc(call, 0, nullptr), 0);
  EXPECT_EQ(services.dataCalls.back(), "MirrorFactorStatus 0");
  EXPECT_EQ(operations.GetUserRecordsRpc(call, nullptr, &size, out.data()), 0);
  EXPECT_EQ(services.dataCalls.back(), "GetSavedDisplayName ");
  // populateOutput's statuses are the results, and the size stays as it was.
  size = 2;
  EXPECT_EQ(operations.GetUserRecordsRpc(call, "S-1-5-32", &size, out.data()),
            static_cast<int32_t>(keystone::kStatusBufferTooSmall));
  EXPECT_EQ(size, 2);
  EXPECT_EQ(operations.GetDiscoveryInfoRpc(call, 1, 0, nullptr, "", "", nullptr, nullptr),
            static_cast<int32_t>(keystone::kStatusInvalidParameter));
  services.dataReply.clear();
  EXPECT_EQ(operations.GetDiscoveryInfoRpc(call, 9, 0, nullptr, "", "", &size, out.data()), 0);
  EXPECT_EQ(size, 0);
}

TEST_F(EngineRpcOperationsTest, NotifyEndsByItsNewsItsCancelOrTheOpenCall) {
  const struct {
    StatusPoll poll;
    int32_t cancel;
    bool otherCallOpen;
    int32_t capacity, result, dataState;
    std::string line;
  } cases[] = {
      {StatusPoll::kChanged, kCallNotCancelled, false, 64, kNotifyStatusDelivered,
       kDataStateWritten, "NotifyAuthenticateStatusAsyncRpc: AuthenticationStatus Changed"},
      {StatusPoll::kChanged, kCallNotCancelled, false, 2, kNotifyBufferTooSmall, kDataStateNone,
       "Data size doesn not match actual response size"},
      {StatusPoll::kChanged, kCallNotCancelled, true, 64, kNotifyAlreadyWithinCall, kDataStateNone,
       "RPC Async ASYNC_RPC_ERROR_ALREADY_WITHIN_CALL "},
      {StatusPoll::kUnchanged, kCallCancelled, false, 64, kNotifyCancelled, kDataStateNone,
       "RPC-END - AsyncFunc - Call cancelled by Client"},
      {StatusPoll::kUnchanged, static_cast<int32_t>(kStatusNotListening), false, 64,
       kNotifyBadCancelStatus, kDataStateNone,
       "RPC-END - Exiting AsyncFunc due to bad status 1715"},
      {StatusPoll::kMarkedForDeletion, kCallNotCancelled, false, 64, kNotifyCancelled,
       kDataStateNone, "Authentication State manager mark for deletion"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    capture->Clear();
    services.completed = 0;
    services.poll = c.poll;
    services.asyncState = c.otherCallOpen;
    FakeCall waiting;
    waiting.cancelStatus = c.cancel;
    Bytes out(static_cast<size_t>(c.capacity));
    int32_t size = c.capacity, dataState = 0;
    operations.NotifyAuthenticateStatusAsyncRpc(waiting, &size, out.data(), dataState);
    EXPECT_EQ(waiting.completions, 1);
    EXPECT_EQ(waiting.result, c.result);
    EXPECT_EQ(dataState, c.dataState);
    EXPECT_TRUE(capture->Has(c.line));
    // Only the call that opened it closes the open state.
    EXPECT_EQ(services.asyncState.load(), c.otherCallOpen);
    if (c.poll == StatusPoll::kChanged) {
      EXPECT_EQ(services.completed, c.otherCallOpen ? 0 : 1);
    }
    if (c.result == kNotifyStatusDelivered) {
      EXPECT_EQ(Bytes(out.begin(), out.begin() + size), services.status);
      EXPECT_TRUE(capture->Has("RPC-END - AsyncFunc"));
    }
    if (c.cancel == kCallCancelled) {
      EXPECT_EQ(size, 0);
    }
  }
}

// Another user's status wait gives way to root or the console user (1000 here), not to others.
TEST_F(EngineRpcOperationsTest, StatusWaitOfAnotherUserGivesWayToThePriorityClient) {
  auto wait = [&](FakeCall& waiter) {
    Bytes out(64);
    int32_t size = 64, dataState = 0;
    operations.NotifyAuthenticateStatusAsyncRpc(waiter, &size, out.data(), dataState);
  };
  FakeCall holder(CallerIdentity{10, 2000, 2000});
  std::thread held([&] { wait(holder); });
  while (!services.asyncState) std::this_thread::sleep_for(1ms);
  FakeCall stranger(CallerIdentity{11, 2001, 2001});
  wait(stranger);
  EXPECT_EQ(stranger.result, kNotifyAlreadyWithinCall);
  EXPECT_EQ(holder.completions, 0);

  FakeCall console(CallerIdentity{12, 1000, 1000});
  std::thread priority([&] { wait(console); });
  held.join();
  EXPECT_EQ(holder.result, kNotifyCancelled);
  EXPECT_TRUE(capture->Has("The status wait of uid 2000 is given up for uid 1000 (root or the console user)"));
  services.poll = StatusPoll::kChanged;
  priority.join();
  EXPECT_EQ(console.result, kNotifyStatusDelivered);
  EXPECT_FALSE(services.asyncState);
}

TEST_F(EngineRpcOperationsTest, InitializeSessionWaitsForTheVerification) {
  std::thread verifier([&] {
    while (!services.pending) std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(5ms);
    services.pending = false;
  });
  operations.InitializeSessionRpc(call);
  verifier.join();
  EXPECT_FALSE(capture->Has("The applet session was not verified in time"));
  // Nobody verifies: the call gives up at its limit.
  operations.InitializeSessionRpc(call);
  EXPECT_TRUE(capture->Has("The applet session was not verified in time"));
  services.verifyThrows = true;
  operations.InitializeSessionRpc(call);
  EXPECT_TRUE(capture->Has("External open session throw exception"));
}

TEST_F(EngineRpcOperationsTest, DesktopAuthenticationGetsTheCallerTheKernelNamed) {
  EXPECT_EQ(operations.AuthenticationOnDesktopRpc(call, "S-1-5-21-1-2-3-1000", "second"), 7);
  ASSERT_TRUE(services.desktopCaller);
  EXPECT_EQ(services.desktopCaller->uid, 1000u);
  EXPECT_EQ(services.desktopCaller->pid, 4321u);
  EXPECT_EQ(services.desktopArguments,
            (std::vector<std::string>{"S-1-5-21-1-2-3-1000", "second"}));
  EXPECT_FALSE(services.stopSeen);

  FakeCall anonymous(std::nullopt);
  operations.AuthenticationOnDesktopRpc(anonymous, "S-1-5-18", "");
  EXPECT_FALSE(services.desktopCaller);
  EXPECT_EQ(services.desktopIdentityError, 13);

  services.raise = [] { throw std::runtime_error("gone"); };
  EXPECT_EQ(operations.AuthenticationOnDesktopRpc(call, "S-1-5-18", ""),
            static_cast<int32_t>(keystone::kStatusGeneralFailure));
  EXPECT_TRUE(capture->Has("AuthenticationOnDesktopRpc failed: gone"));
}

TEST_F(EngineRpcOperationsTest, OtherOperationsForwardOrAnswerForTheirAbsentComponents) {
  EngineRpcOperations& ops = operations;
  const uint8_t* id = services.status.data();
  int32_t value = 5, size = 16;
  int16_t rssi = 9;
  uint8_t out[16];
  EXPECT_EQ(ops.GetSessionIdRpc(call), 1);
  // Without a Bluetooth manager or registry mirroring: a general failure, outputs untouched.
  const BtCallStatus bt = BtCallStatus::kGeneralFailure;
  EXPECT_EQ(ops.IsRSSISupportedRpc(call, 3, value), bt);  // type 3: answered without the manager
  EXPECT_FALSE(capture->Contains("is not present (IsRSSISupportedRpc)"));
  EXPECT_EQ(ops.SendMessageToBtDeviceRpc(call, 5, id, 5, id, 1, &size, out), bt);
  EXPECT_EQ(ops.GetRSSIRpc(call, 5, id, 1, rssi), bt);
  EXPECT_EQ(ops.IsPhonePresentRpc(call, 5, id, value), bt);
  EXPECT_EQ(size, 16);
  EXPECT_EQ(rssi, 9);
  EXPECT_TRUE(capture->Has("Bluetooth manager is not present (GetRSSIRpc)"));
  // Answers that need no component.
  EXPECT_EQ(ops.SetUserPresenceRpc(call, 0, nullptr), 0);

  ops.ReleaseSessionIdRpc(call, -1);
  EXPECT_EQ(services.released, 0xFFFFFFFFu);
  EXPECT_EQ(services.releasedBy, 1000u);
  ops.UpdateAuthenticationErrorStateRpc(call, 42, static_cast<int32_t>(0xA0000051));
  EXPECT_EQ(services.errorId, 42);
  EXPECT_EQ(services.errorCodeSeen, 0xA0000051u);
  ops.ResetServiceRpc(call);
  ops.SetBTMockModeRpc(call);
  EXPECT_TRUE(capture->Has("ResetServiceRpc is not supported in Production"));
  EXPECT_TRUE(capture->Has("SetBTMockModeRpc is not supported in Production"));
  EXPECT_EQ(services.nextId, 2u);  // changed nothing
  EXPECT_TRUE(services.lastRequest.empty());
}

// Operations 7 to 14 over a Bluetooth manager with simulated phones behind fake providers.
class BluetoothRpcOperationsTest : public EngineRpcOperationsTest {
 protected:
  BluetoothRpcOperationsTest() {
    capture->Clear();
    services.bluetooth = manager;
  }

  keystone::testing::BtManagerHarness env;
  std::shared_ptr<mfab::BtManager> manager = env.Make();
  const Bytes classicId{0xAA, 0xBB, 0xCC, 0x0D, 0x0E, 0x0F, 0x01, 0x00};
  const Bytes bleId{0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x02, 0x00};
  const Bytes shortId{0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x02};
};

using Op = keystone::testing::FakeBtProvider::Op;

// A non-interactive message waits 3 s for the phone, an interactive one 45 s; a message without
// an output buffer still reaches the phone. A reply too large is the end-to-end tests'.
TEST_F(BluetoothRpcOperationsTest, SendReachesThePhoneWithTheWaitOfItsKind) {
  env.classic->QueueReply({0x51, 0x52});
  const Bytes message{0x01, 0x02, 0x03};
  uint8_t out[8] = {};
  int32_t size = sizeof(out);
  EXPECT_EQ(operations.SendMessageToBtDeviceRpc(call, 8, classicId.data(), 3, message.data(), 0,
                                                &size, out),
            BtCallStatus::kSuccess);
  EXPECT_EQ(Bytes(out, out + size), (Bytes{0x51, 0x52}));
  EXPECT_EQ(operations.SendMessageToBtDeviceRpc(call, 8, classicId.data(), 3, message.data(), 1,
                                                nullptr, nullptr),
            BtCallStatus::kInternalError);
  EXPECT_EQ(env.classic->Sent(), (std::vector<Bytes>{message, message}));
  EXPECT_EQ(env.classic->TimeoutsAsked(), (std::vector<uint32_t>{3000, 45000}));
}

TEST_F(BluetoothRpcOperationsTest, ShortIdGetsItsCodeFromEveryIdOperation) {
  int16_t rssi = 5;
  int32_t status = 5;
  int32_t size = 0;
  EXPECT_EQ(operations.SendMessageToBtDeviceRpc(call, 7, shortId.data(), 0, nullptr, 0, &size,
                                                nullptr),
            BtCallStatus::kInvalidDeviceId);
  EXPECT_EQ(operations.GetRSSIRpc(call, 7, shortId.data(), 0, rssi), BtCallStatus::kInvalidDeviceId);
  EXPECT_EQ(operations.CalibrateRSSIRpc(call, 7, shortId.data()), BtCallStatus::kInvalidDeviceId);
  EXPECT_EQ(operations.GetDeviceStatusRpc(call, 7, shortId.data(), 1, status),
            BtCallStatus::kInvalidDeviceId);
  // The connection operation reports every failure as a general one.
  EXPECT_EQ(operations.EstablishConnectionWithBtDeviceRpc(call, 7, shortId.data()),
            BtCallStatus::kGeneralFailure);
  EXPECT_EQ(operations.SendMessageToBtDeviceRpc(call, -1, nullptr, 0, nullptr, 0, &size, nullptr),
            BtCallStatus::kInvalidDeviceId);
  // Six failures, of which calibration's leaves no record.
  EXPECT_EQ(capture->Count("BluetoothException: Bluetooth device's id is invalid"), 5u);
  EXPECT_EQ(rssi, 5);
  EXPECT_EQ(status, 5);
  operations.UpdateProximityStateRpc(call, 7, shortId.data(), 100);
  EXPECT_EQ(capture->Count("BluetoothException: Bluetooth device's id is invalid"), 5u);
  EXPECT_EQ(manager->DeviceCount(), 0u);
}

TEST_F(BluetoothRpcOperationsTest, UnresponsivePhoneGetsItsCode) {
  env.ble->ThrowOn(Op::kConnect,
                   std::make_exception_ptr(BluetoothProvider::ConnectionFailedException()), 4);
  const Bytes message{0x01};
  int32_t size = 0;
  EXPECT_EQ(operations.SendMessageToBtDeviceRpc(call, 8, bleId.data(), 1, message.data(), 0,
                                                &size, nullptr),
            BtCallStatus::kNotResponsive);
  EXPECT_EQ(operations.EstablishConnectionWithBtDeviceRpc(call, 8, bleId.data()),
            BtCallStatus::kNotResponsive);
  EXPECT_EQ(operations.EstablishConnectionWithBtDeviceRpc(call, 8, bleId.data()),
            BtCallStatus::kSuccess);
}

TEST_F(BluetoothRpcOperationsTest, RssiSupportAnswersPerProviderType) {
  env.ble->SetRssiSupported(false);
  int32_t supported = 9;
  EXPECT_EQ(operations.IsRSSISupportedRpc(call, 0, supported), BtCallStatus::kSuccess);
  EXPECT_EQ(supported, 1);
  EXPECT_EQ(operations.IsRSSISupportedRpc(call, 2, supported), BtCallStatus::kSuccess);
  EXPECT_EQ(supported, 0);
  env.factory->Set(mfab::kBleProviderType, nullptr);
  EXPECT_EQ(operations.IsRSSISupportedRpc(call, 2, supported), BtCallStatus::kGeneralFailure);
  EXPECT_TRUE(capture->Has("Unknown exception"));
}

TEST_F(BluetoothRpcOperationsTest, RssiAndStatusComeFromPhone) {
  int16_t rssi = 0;
  env.ble->QueueRssi({-61});
  EXPECT_EQ(operations.GetRSSIRpc(call, 8, bleId.data(), 0, rssi), BtCallStatus::kSuccess);
  EXPECT_EQ(rssi, -61);
  EXPECT_TRUE(capture->Has("GetRssiRpc succeeded. RSSI = -61"));
  int32_t status = 0;
  EXPECT_EQ(operations.GetDeviceStatusRpc(call, 8, bleId.data(), 1, status), BtCallStatus::kSuccess);
  EXPECT_EQ(status, 100);
  EXPECT_EQ(operations.CalibrateRSSIRpc(call, 8, bleId.data()), BtCallStatus::kSuccess);
  // The calibration reading -61 is pulled to -62, whose offset is -11.
  auto* device = dynamic_cast<mfab::BtDevice*>(manager->SafelyGetDevice(bleId).get());
  ASSERT_NE(device, nullptr);
  EXPECT_DOUBLE_EQ(device->Proximity().Threshold(), -73.0);
}

TEST_F(BluetoothRpcOperationsTest, SilentPhoneIsInternalError) {
  env.ble->QueueRssi({0});
  int32_t status = 0;
  EXPECT_EQ(operations.GetDeviceStatusRpc(call, 8, bleId.data(), 1, status),
            BtCallStatus::kInternalError);
  EXPECT_TRUE(capture->Has("BluetoothException: Internal error occurd in Bluetooth management"));
}

TEST_F(BluetoothRpcOperationsTest, ScanReturnsRecords) {
  env.classic->SetScanResult({{"Laptop", "44:44:44:44:44:44", true, false},
                              {"Phone", "55:55:55:55:55:55", false, false}});
  uint8_t out[2 * mfab::kScanRecordSize] = {};
  int32_t size = sizeof(out);
  EXPECT_EQ(operations.ScanRpc(call, 1, &size, out), BtCallStatus::kSuccess);
  ASSERT_EQ(size, static_cast<int32_t>(2 * mfab::kScanRecordSize));
  EXPECT_EQ(out[0], 1);
  EXPECT_EQ(out[mfab::kScanRecordSize + 4], 0x55);
  size = mfab::kScanRecordSize;
  EXPECT_EQ(operations.ScanRpc(call, 1, &size, out), BtCallStatus::kBufferTooSmall);
  EXPECT_EQ(size, static_cast<int32_t>(mfab::kScanRecordSize));
  env.classic->SetRssiSupported(false);
  EXPECT_EQ(operations.ScanRpc(call, 1, &size, out), BtCallStatus::kUnsupportedFactor);
  EXPECT_EQ(operations.ScanRpc(call, 0, &size, out), BtCallStatus::kSuccess);
  EXPECT_EQ(size, 0);
}

// keystonectl bt against the same operations: decoded records, device texts, hex in and out.
TEST_F(BluetoothRpcOperationsTest, KeystonectlBtDecodesReplies) {
  keystone::testing::TempDirectory dir;
  ServerOptions serverOptions;
  serverOptions.socketPath = dir.File("IVoxWithMfa");
  RpcListener listener;
  ASSERT_TRUE(listener.RpcStartListening(&operations, serverOptions));
  auto bt = [&](const std::string& line) {
    const std::string command = "bt " + line + " --socket " + serverOptions.socketPath;
    return keystone::testing::RunProgram(KEYSTONECTL_BINARY, keystone::testing::Words(command));
  };

  env.classic->SetScanResult({{"Laptop", "44:44:44:44:44:4A", true, false}});
  auto result = bt("scan classic");
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_NE(result.out.find("44:44:44:44:44:4A  classic paired     Laptop"), std::string::npos)
      << result.out;

  env.classic->QueueReply({0xCA, 0xFE});
  result = bt("send AA:BB:CC:0D:0E:0F 0102 --interactive");
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_NE(result.out.find("reply: cafe"), std::string::npos) << result.out;
  EXPECT_EQ(env.classic->Sent().back(), (Bytes{0x01, 0x02}));

  env.ble->QueueRssi({-90});
  result = bt("status 11:22:33:44:55:66/ble");
  EXPECT_NE(result.out.find("proximity: 101 OUT_OF_RANGE"), std::string::npos) << result.out;

  result = bt("rssi 11223344556602");
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_NE(result.out.find("status: 1 (invalid device id)"), std::string::npos) << result.out;
  EXPECT_EQ(bt("status AA:BB:CC/ble").exitCode, 2);
  listener.RpcStopListening();
}

// A phone-presence monitor that answers, or throws, what the test says and records the ids.
class ScriptedPresence : public mfab::IPhonePresenceMonitor {
 public:
  bool IsPhonePresent(const Bytes& deviceId) override {
    asked.push_back(deviceId);
    if (failure) std::rethrow_exception(failure);
    return present;
  }
  void SetUserPresence(const Bytes& deviceId) override {
    userPresence.push_back(deviceId);
    if (failure) std::rethrow_exception(failure);
  }
  void UserDataUpdated(const std::string&) override {}
  void UserDataCleared() override {}

  bool present = false;
  std::exception_ptr failure;
  std::vector<Bytes> asked;
  std::vector<Bytes> userPresence;
};

class PresenceRpcOperationsTest : public EngineRpcOperationsTest {
 protected:
  PresenceRpcOperationsTest() { services.presence = monitor; }

  std::shared_ptr<ScriptedPresence> monitor = std::make_shared<ScriptedPresence>();
  const Bytes id{0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6, 0x01, 0x00};
};

// The monitor's answer reaches the client; each failure leaves the output and meets its status.
TEST_F(PresenceRpcOperationsTest, PresenceAnswerReachesTheClientAsItsStatus) {
  const struct {
    bool present;
    std::exception_ptr failure;
    BtCallStatus status;
    int32_t value;
    const char* line;
  } cases[] = {
      {true, nullptr, BtCallStatus::kSuccess, 1, "IsPhonePresentRpc"},
      {false, nullptr, BtCallStatus::kSuccess, 0, "IsPhonePresentRpc"},
      {true, std::make_exception_ptr(BluetoothExceptions::InvalidDeviceIdException()),
       BtCallStatus::kInvalidDeviceId, 9, "BluetoothException: Bluetooth device's id is invalid"},
      {true, std::make_exception_ptr(BluetoothExceptions::NotResponsiveException()),
       BtCallStatus::kNotResponsive, 9, "BluetoothException: Bluetooth device is not responsive"},
      {true, std::make_exception_ptr(std::runtime_error("radio gone")),
       BtCallStatus::kGeneralFailure, 9, "std::exception: radio gone"},
      {true, std::make_exception_ptr(42), BtCallStatus::kGeneralFailure, 9, "Unknown exception"},
  };
  for (const auto& c : cases) {
    monitor->present = c.present;
    monitor->failure = c.failure;
    int32_t value = 9;
    EXPECT_EQ(operations.IsPhonePresentRpc(call, 8, id.data(), value), c.status) << c.line;
    EXPECT_EQ(value, c.value) << c.line;
    EXPECT_TRUE(capture->Has(c.line)) << c.line;
  }
  EXPECT_EQ(monitor->asked, std::vector<Bytes>(6, id));
}

TEST_F(PresenceRpcOperationsTest, UserPresenceAnswersZeroEvenWhenItFails) {
  EXPECT_EQ(operations.SetUserPresenceRpc(call, 8, id.data()), 0);
  monitor->failure = std::make_exception_ptr(BluetoothExceptions::InvalidDeviceIdException());
  capture->Clear();
  EXPECT_EQ(operations.SetUserPresenceRpc(call, 3, id.data()), 0);
  EXPECT_EQ(monitor->userPresence, (std::vector<Bytes>{id, Bytes(id.begin(), id.begin() + 3)}));
  EXPECT_FALSE(capture->Contains("Bluetooth device's id is invalid"));
  EXPECT_TRUE(capture->Has("SetUserPresenceRpc"));
}

}  // namespace
}  // namespace rpc

