#pragma once

// A fake engine for the RPC tests: records each call's arguments as text in the operation
// table's order, answers from its inputs (so a crossed or lost reply shows) and can hold
// InitializeSessionRpc and ScanRpc at a gate. Also a server on it in a directory of its own.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/hex.h"
#include "common/status.h"
#include "rpc/engine_operations.h"
#include "rpc/operation_table.h"
#include "rpc/rpc_server.h"
#include "rpc/server.h"
#include "tests/fakes/eventually.h"
#include "tests/fakes/program_runner.h"

namespace rpc::testing {

inline std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }
inline std::string Hex(const uint8_t* bytes, int64_t size) {
  return keystone::ToHex(std::span<const uint8_t>(bytes, static_cast<size_t>(size)));
}

using keystone::testing::Eventually;

class FakeEngine : public EngineOperations {
 public:
  // args: "name=value ..." in the table's order; byte arrays in hex ("null", "empty"), strings
  // as they are, sizes by value ("null"), buffers as "buf" or "null".
  struct Call {
    std::string name;
    std::string args;
    std::optional<CallerIdentity> caller;
  };
  static constexpr int32_t kThrowingSession = -42;

  std::vector<Call> Calls() {
    std::lock_guard<std::mutex> lock(mutex);
    return calls;
  }
  Call LastCall() { return Calls().empty() ? Call{} : Calls().back(); }

  void SetGate(bool open) { gateOpen = open; }
  bool WaitAtGate(int n) {
    return Eventually([&] { return atGate >= n; });
  }
  // The asynchronous operation delivers this status at its next poll.
  void PublishStatus(std::vector<uint8_t> status) {
    std::lock_guard<std::mutex> lock(mutex);
    pendingStatus = std::move(status);
  }
  bool WaitAsyncRunning() {
    return Eventually([&] { return asyncRunning > 0; });
  }
  // The result the next asynchronous call to end completed with.
  std::optional<int32_t> WaitAsyncEnded() {
    std::optional<int32_t> result;
    Eventually([&] {
      std::lock_guard<std::mutex> lock(mutex);
      if (!asyncResults.empty()) result = asyncResults.front();
      if (result) asyncResults.erase(asyncResults.begin());
      return result.has_value();
    });
    return result;
  }

  void ResetServiceRpc(CallContext& c) override { Record(c, __func__); }
  int32_t GetSessionIdRpc(CallContext& c) override { return Answer(nextSession++, c, __func__); }
  void ReleaseSessionIdRpc(CallContext& c, int32_t session) override {
    Record(c, __func__, session);
    if (session == kThrowingSession) throw std::runtime_error("fake failure");
  }
  // Polls like the real operation: cancel test first, then a published status.
  void NotifyAuthenticateStatusAsyncRpc(AsyncCallContext& c, int32_t* outSize, uint8_t* out,
                                        int32_t& dataState) override {
    Record(c, __func__, outSize, out, dataState);
    ++asyncRunning;
    int32_t cancel = kCallNotCancelled;
    std::optional<std::vector<uint8_t>> status;
    while (!status && (cancel = c.TestCancel()) == kCallNotCancelled) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      std::lock_guard<std::mutex> lock(mutex);
      status.swap(pendingStatus);
    }
    int32_t result = cancel == kCallCancelled ? kNotifyCancelled : kNotifyBadCancelStatus;
    if (status) {
      result = populateOutput(*status, outSize, out) == 0 ? kNotifyStatusDelivered
                                                          : kNotifyBufferTooSmall;
    } else if (outSize != nullptr) {
      *outSize = 0;
    }
    dataState = result == kNotifyStatusDelivered ? kDataStateWritten : kDataStateNone;
    c.Complete(result);
    std::lock_guard<std::mutex> lock(mutex);
    --asyncRunning;
    asyncResults.push_back(result);
  }
  void UpdateAuthenticationErrorStateRpc(CallContext& c, int32_t a, int32_t b) override {
    Record(c, __func__, a, b);
  }
  // Echoes its input.
  AppletCallStatus SendMessageToAppletRpc(CallContext& c, int32_t r, int32_t n, const uint8_t* in,
                                          int32_t* outSize, uint8_t* out) override {
    Record(c, __func__, r, n, in, outSize, out);
    const uint32_t status = populateOutput(Copy(in, n), outSize, out);
    return status == 0                                 ? AppletCallStatus::kSuccess
           : status == keystone::kStatusBufferTooSmall ? AppletCallStatus::kBufferTooSmall
                                                       : AppletCallStatus::kInvalidApi;
  }
  void SetBTMockModeRpc(CallContext& c) override { Record(c, __func__); }
  // Echoes its input.
  BtCallStatus SendMessageToBtDeviceRpc(CallContext& c, int32_t idSize, const uint8_t* id,
                                        int32_t n, const uint8_t* in, int32_t interactive,
                                        int32_t* outSize, uint8_t* out) override {
    Record(c, __func__, idSize, id, n, in, interactive, outSize, out);
    return BtStatusOf(populateOutput(Copy(in, n), outSize, out));
  }
  BtCallStatus EstablishConnectionWithBtDeviceRpc(CallContext& c, int32_t n,
                                                  const uint8_t* id) override {
    return Answer(BtCallStatus::kNotResponsive, c, __func__, n, id);
  }
  BtCallStatus IsRSSISupportedRpc(CallContext& c, int16_t type, int32_t& supported) override {
    Record(c, __func__, type, supported);
    supported += type;
    return BtCallStatus::kSuccess;
  }
  // Every 16 bits of the result travel: answers 0xFFFF.
  BtCallStatus GetRSSIRpc(CallContext& c, int32_t n, const uint8_t* id, int32_t mustExist,
                          int16_t& rssi) override {
    Record(c, __func__, n, id, mustExist, rssi);
    rssi = static_cast<int16_t>(rssi - 10);
    return static_cast<BtCallStatus>(0xFFFF);
  }
  BtCallStatus CalibrateRSSIRpc(CallContext& c, int32_t n, const uint8_t* id) override {
    return Answer(BtCallStatus::kUnsupportedFactor, c, __func__, n, id);
  }
  BtCallStatus GetDeviceStatusRpc(CallContext& c, int32_t n, const uint8_t* id, int32_t flag,
                                  int32_t& status) override {
    Record(c, __func__, n, id, flag, status);
    status += flag;
    return BtCallStatus::kSuccess;
  }
  // Waits at the gate, like InitializeSessionRpc, then replies "scan".
  BtCallStatus ScanRpc(CallContext& c, int16_t type, int32_t* outSize, uint8_t* out) override {
    Record(c, __func__, type, outSize, out);
    PassGate();
    return BtStatusOf(populateOutput(Bytes("scan"), outSize, out));
  }
  void UpdateProximityStateRpc(CallContext& c, int32_t n, const uint8_t* id, int32_t s) override {
    Record(c, __func__, n, id, s);
  }
  int32_t AuthenticationOnDesktopRpc(CallContext& c, const char* sid, const char* s) override {
    const auto sizes = static_cast<int32_t>(std::strlen(sid) * 100 + std::strlen(s));
    return Answer(sizes, c, __func__, sid, s);
  }
  int32_t TriggerDataBackupRpc(CallContext& c, int16_t mode, const char* user, int32_t n,
                               const uint8_t* data) override {
    const int32_t failure = static_cast<int32_t>(keystone::kStatusGeneralFailure);
    return Answer(mode == 0 ? failure : mode, c, __func__, mode, user, n, data);
  }
  // Echoes its data.
  int32_t GetDiscoveryInfoRpc(CallContext& c, int16_t kind, int32_t n, const uint8_t* data,
                              const char* first, const char* second, int32_t* outSize,
                              uint8_t* out) override {
    Record(c, __func__, kind, n, data, first, second, outSize, out);
    return static_cast<int32_t>(populateOutput(Copy(data, n), outSize, out));
  }
  int32_t MirrorFactorSupportedStatusRpc(CallContext& c, int32_t n, const uint8_t* data) override {
    return Answer(static_cast<int32_t>(keystone::kStatusPolicyNotSet), c, __func__, n, data);
  }
  // Replies with the SID; "overflow" makes it claim more bytes than the buffer holds.
  int32_t GetUserRecordsRpc(CallContext& c, const char* sid, int32_t* outSize,
                            uint8_t* out) override {
    Record(c, __func__, sid, outSize, out);
    if (std::strcmp(sid, "overflow") != 0 || outSize == nullptr) {
      return static_cast<int32_t>(populateOutput(Bytes(sid), outSize, out));
    }
    ++*outSize;
    return 0;
  }
  BtCallStatus IsPhonePresentRpc(CallContext& c, int32_t n, const uint8_t* id,
                                 int32_t& present) override {
    Record(c, __func__, n, id, present);
    present = id != nullptr ? 1 : 0;
    return BtCallStatus::kSuccess;
  }
  int32_t SetUserPresenceRpc(CallContext& c, int32_t n, const uint8_t* data) override {
    return Answer(-n, c, __func__, n, data);
  }
  // Waits at the gate until it opens (or the wait limit passes).
  void InitializeSessionRpc(CallContext& c) override {
    Record(c, __func__);
    PassGate();
  }
  int32_t RunEnrollmentFlowRpc(CallContext& c, int32_t value, const char* first, const char* second,
                               int32_t n, const uint8_t* data) override {
    return Answer(value * 2, c, __func__, value, first, second, n, data);
  }

 private:
  void PassGate() {
    ++atGate;
    Eventually([&] { return gateOpen.load(); });
    --atGate;
  }

  // One argument: a number, or a pointer that its parameter's kind says how to show.
  struct Value {
    Value(int64_t value) : number(value) {}
    Value(const void* value) : pointer(value) {}
    int64_t number = 0;
    const void* pointer = nullptr;
  };

  static BtCallStatus BtStatusOf(uint32_t status) {
    return status == 0 ? BtCallStatus::kSuccess : BtCallStatus::kBufferTooSmall;
  }
  // The array's bytes, none for a null one.
  static std::vector<uint8_t> Copy(const uint8_t* bytes, int32_t n) {
    return bytes != nullptr ? std::vector<uint8_t>(bytes, bytes + n) : std::vector<uint8_t>();
  }
  static std::string Show(const ParamSpec& param, const Value& arg, const Value* all) {
    const auto* bytes = static_cast<const uint8_t*>(arg.pointer);
    if (param.wire == Wire::kShort || param.wire == Wire::kLong) return std::to_string(arg.number);
    if (param.wire == Wire::kString) return static_cast<const char*>(arg.pointer);
    if (bytes == nullptr) return "null";
    if (param.wire == Wire::kSize) return std::to_string(*static_cast<const int32_t*>(arg.pointer));
    if (param.wire == Wire::kBuffer) return "buf";
    return all[param.sizedBy].number == 0 ? "empty" : Hex(bytes, all[param.sizedBy].number);
  }

  template <typename... A>
  void Record(CallContext& call, const char* name, const A&... arguments) {
    const Value values[] = {Value(arguments)..., Value(int64_t{0})};
    std::string text;
    size_t i = 0;
    for (const ParamSpec& param : FindOperation(name)->params) {
      text += (i == 0 ? "" : " ") + std::string(param.name) + "=" + Show(param, values[i], values);
      ++i;
    }
    std::lock_guard<std::mutex> lock(mutex);
    calls.push_back({name, std::move(text), call.Caller()});
  }

  template <typename R, typename... A>
  R Answer(R result, CallContext& call, const char* name, const A&... arguments) {
    Record(call, name, arguments...);
    return result;
  }

  std::mutex mutex;  // Guards the members below.
  std::vector<Call> calls;
  std::vector<int32_t> asyncResults;
  std::optional<std::vector<uint8_t>> pendingStatus;

  std::atomic<bool> gateOpen{true};
  std::atomic<int> atGate{0};
  std::atomic<int> asyncRunning{0};
  std::atomic<int32_t> nextSession{1};
};

// Server limits shrunk for tests.
inline ServerOptions TestServerOptions(const std::string& socketPath) {
  using std::chrono::milliseconds;
  return {.socketPath = socketPath,
          .frameTimeout = milliseconds(200),
          .sendTimeout = milliseconds(500),
          .idleTimeout = milliseconds(5000),
          .stopTimeout = milliseconds(5000)};
}

// A server on the fake engine; a test changes options before Start.
class ServerFixture : public ::testing::Test {
 protected:
  void TearDown() override {
    engine.SetGate(true);
    server.reset();
  }
  void Start() {
    server = std::make_unique<Server>(engine, options);
    server->UseEndpoint();
    server->Listen();
  }

  keystone::testing::TempDirectory dir;
  FakeEngine engine;
  ServerOptions options = TestServerOptions(dir.File("IVoxWithMfa"));
  std::unique_ptr<Server> server;
};

}  // namespace rpc::testing
