#pragma once

// A fake engine for the RPC tests: records every call with its arguments as text, named after
// the operation table; answers with values derived from its inputs (so a crossed or lost reply
// shows), copies replies out with populateOutput like the real operations, and can hold
// InitializeSessionRpc at a gate. Also a server on it in a directory of its own.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/status.h"
#include "rpc/engine_operations.h"
#include "rpc/operation_table.h"
#include "rpc/rpc_server.h"
#include "rpc/server.h"
#include "tests/fakes/program_runner.h"

namespace rpc::testing {

inline std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

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
  Call LastCall() {
    std::lock_guard<std::mutex> lock(mutex);
    return calls.empty() ? Call{} : calls.back();
  }

  // InitializeSessionRpc waits at the gate until it opens (or 10 s pass).
  void SetGate(bool open) {
    Set([&] { gateOpen = open; });
  }
  bool WaitAtGate(int n) {
    return WaitFor([&] { return atGate >= n; });
  }
  // The asynchronous operation delivers this status at its next poll.
  void PublishStatus(std::vector<uint8_t> status) {
    Set([&] { pendingStatus = std::move(status); });
  }
  bool WaitAsyncRunning() {
    return WaitFor([&] { return asyncRunning > 0; });
  }
  // The result the next asynchronous call to end completed with.
  std::optional<int32_t> WaitAsyncEnded() {
    if (!WaitFor([&] { return !asyncResults.empty(); })) return {};
    std::lock_guard<std::mutex> lock(mutex);
    const int32_t result = asyncResults.front();
    asyncResults.erase(asyncResults.begin());
    return result;
  }

  void ResetServiceRpc(CallContext& call) override { Record(call, __func__); }
  int32_t GetSessionIdRpc(CallContext& call) override {
    Record(call, __func__);
    return nextSession++;
  }
  void ReleaseSessionIdRpc(CallContext& call, int32_t sessionId) override {
    Record(call, __func__, sessionId);
    if (sessionId == kThrowingSession) throw std::runtime_error("fake failure");
  }
  // Polls like the real operation: cancel test first, then a published status.
  void NotifyAuthenticateStatusAsyncRpc(AsyncCallContext& call, int32_t* outSize,
                                        uint8_t* outBuffer, int32_t& dataState) override {
    Record(call, __func__, outSize, outBuffer, dataState);
    Set([&] { ++asyncRunning; });
    dataState = kDataStateNone;
    int32_t result = kNotifyCancelled;
    for (;;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      if (const int32_t cancel = call.TestCancel(); cancel != kCallNotCancelled) {
        if (outSize != nullptr) *outSize = 0;
        result = cancel == kCallCancelled ? kNotifyCancelled : kNotifyBadCancelStatus;
        break;
      }
      std::optional<std::vector<uint8_t>> status;
      Set([&] { status.swap(pendingStatus); });
      if (!status) continue;
      const bool fits = populateOutput(*status, outSize, outBuffer) == 0;
      result = fits ? kNotifyStatusDelivered : kNotifyBufferTooSmall;
      if (fits) dataState = kDataStateWritten;
      break;
    }
    call.Complete(result);
    Set([&] {
      --asyncRunning;
      asyncResults.push_back(result);
    });
  }
  void UpdateAuthenticationErrorStateRpc(CallContext& call, int32_t first,
                                         int32_t second) override {
    Record(call, __func__, first, second);
  }
  // Echoes its input.
  AppletCallStatus SendMessageToAppletRpc(CallContext& call, int32_t reserved, int32_t inSize,
                                          const uint8_t* inBytes, int32_t* outSize,
                                          uint8_t* outBuffer) override {
    Record(call, __func__, reserved, inSize, inBytes, outSize, outBuffer);
    const uint32_t status = populateOutput(Join(inBytes, inSize), outSize, outBuffer);
    return status == 0                                 ? AppletCallStatus::kSuccess
           : status == keystone::kStatusBufferTooSmall ? AppletCallStatus::kBufferTooSmall
                                                       : AppletCallStatus::kInvalidApi;
  }
  void SetBTMockModeRpc(CallContext& call) override { Record(call, __func__); }
  // Replies with the device id followed by the input.
  BtCallStatus SendMessageToBtDeviceRpc(CallContext& call, int32_t idSize, const uint8_t* deviceId,
                                        int32_t inSize, const uint8_t* inBytes, int32_t interactive,
                                        int32_t* outSize, uint8_t* outBuffer) override {
    Record(call, __func__, idSize, deviceId, inSize, inBytes, interactive, outSize, outBuffer);
    std::vector<uint8_t> reply = Join(deviceId, idSize), input = Join(inBytes, inSize);
    reply.insert(reply.end(), input.begin(), input.end());
    return BtStatusOf(populateOutput(reply, outSize, outBuffer));
  }
  BtCallStatus EstablishConnectionWithBtDeviceRpc(CallContext& call, int32_t idSize,
                                                  const uint8_t* deviceId) override {
    Record(call, __func__, idSize, deviceId);
    return deviceId == nullptr ? BtCallStatus::kInvalidDeviceId : BtCallStatus::kNotResponsive;
  }
  BtCallStatus IsRSSISupportedRpc(CallContext& call, int16_t providerType,
                                  int32_t& supported) override {
    Record(call, __func__, providerType, supported);
    supported += providerType;
    return BtCallStatus::kSuccess;
  }
  // Every 16 bits of the result travel: answers 0xFFFF.
  BtCallStatus GetRSSIRpc(CallContext& call, int32_t idSize, const uint8_t* deviceId,
                          int32_t mustExist, int16_t& rssi) override {
    Record(call, __func__, idSize, deviceId, mustExist, rssi);
    rssi = static_cast<int16_t>(rssi - 10);
    return static_cast<BtCallStatus>(0xFFFF);
  }
  BtCallStatus CalibrateRSSIRpc(CallContext& call, int32_t idSize,
                                const uint8_t* deviceId) override {
    Record(call, __func__, idSize, deviceId);
    return BtCallStatus::kUnsupportedFactor;
  }
  BtCallStatus GetDeviceStatusRpc(CallContext& call, int32_t idSize, const uint8_t* deviceId,
                                  int32_t flag, int32_t& status) override {
    Record(call, __func__, idSize, deviceId, flag, status);
    status += flag;
    return BtCallStatus::kSuccess;
  }
  BtCallStatus ScanRpc(CallContext& call, int16_t scanType, int32_t* outSize,
                       uint8_t* outBuffer) override {
    Record(call, __func__, scanType, outSize, outBuffer);
    return BtStatusOf(populateOutput(Bytes("scan"), outSize, outBuffer));
  }
  void UpdateProximityStateRpc(CallContext& call, int32_t idSize, const uint8_t* deviceId,
                               int32_t state) override {
    Record(call, __func__, idSize, deviceId, state);
  }
  int32_t AuthenticationOnDesktopRpc(CallContext& call, const char* userSid,
                                     const char* second) override {
    Record(call, __func__, userSid, second);
    return static_cast<int32_t>(std::strlen(userSid) * 100 + std::strlen(second));
  }
  int32_t TriggerDataBackupRpc(CallContext& call, int16_t mode, const char* user, int32_t dataSize,
                               const uint8_t* data) override {
    Record(call, __func__, mode, user, dataSize, data);
    return mode == 0 ? static_cast<int32_t>(keystone::kStatusGeneralFailure) : mode;
  }
  // Replies "<first>|<second>|<data>".
  int32_t GetDiscoveryInfoRpc(CallContext& call, int16_t kind, int32_t dataSize,
                              const uint8_t* data, const char* first, const char* second,
                              int32_t* outSize, uint8_t* outBuffer) override {
    Record(call, __func__, kind, dataSize, data, first, second, outSize, outBuffer);
    std::vector<uint8_t> reply = Bytes(std::string(first) + "|" + second + "|");
    const std::vector<uint8_t> input = Join(data, dataSize);
    reply.insert(reply.end(), input.begin(), input.end());
    return static_cast<int32_t>(populateOutput(reply, outSize, outBuffer));
  }
  int32_t MirrorFactorSupportedStatusRpc(CallContext& call, int32_t dataSize,
                                         const uint8_t* data) override {
    Record(call, __func__, dataSize, data);
    return static_cast<int32_t>(keystone::kStatusPolicyNotSet);
  }
  // Replies with the SID; "overflow" makes it claim more bytes than the buffer holds.
  int32_t GetUserRecordsRpc(CallContext& call, const char* userSid, int32_t* outSize,
                            uint8_t* outBuffer) override {
    Record(call, __func__, userSid, outSize, outBuffer);
    if (std::strcmp(userSid, "overflow") == 0 && outSize != nullptr) {
      *outSize += 1;
      return 0;
    }
    return static_cast<int32_t>(populateOutput(Bytes(userSid), outSize, outBuffer));
  }
  BtCallStatus IsPhonePresentRpc(CallContext& call, int32_t idSize, const uint8_t* deviceId,
                                 int32_t& present) override {
    Record(call, __func__, idSize, deviceId, present);
    present = deviceId != nullptr ? 1 : 0;
    return BtCallStatus::kSuccess;
  }
  int32_t SetUserPresenceRpc(CallContext& call, int32_t dataSize, const uint8_t* data) override {
    Record(call, __func__, dataSize, data);
    return -dataSize;
  }
  void InitializeSessionRpc(CallContext& call) override {
    Record(call, __func__);
    std::unique_lock<std::mutex> lock(mutex);
    ++atGate;
    changed.notify_all();
    changed.wait_for(lock, kWaitLimit, [&] { return gateOpen; });
    --atGate;
  }
  int32_t RunEnrollmentFlowRpc(CallContext& call, int32_t value, const char* first,
                               const char* second, int32_t dataSize, const uint8_t* data) override {
    Record(call, __func__, value, first, second, dataSize, data);
    return value * 2;
  }

 private:
  static constexpr std::chrono::seconds kWaitLimit{10};
  static constexpr size_t kMaxRecorded = 4096;

  // One argument: a number, or a pointer that its parameter's kind says how to show.
  struct Value {
    Value(int64_t value) : number(value) {}
    Value(const void* value) : pointer(value) {}
    int64_t number = 0;
    const void* pointer = nullptr;
  };

  static BtCallStatus BtStatusOf(uint32_t status) {
    return status == 0                                 ? BtCallStatus::kSuccess
           : status == keystone::kStatusBufferTooSmall ? BtCallStatus::kBufferTooSmall
                                                       : BtCallStatus::kInternalError;
  }
  static std::vector<uint8_t> Join(const uint8_t* data, int32_t size) {
    return data == nullptr ? std::vector<uint8_t>() : std::vector<uint8_t>(data, data + size);
  }
  static std::string Show(const ParamSpec& param, const Value& value, const Value* all) {
    static constexpr char kDigits[] = "0123456789abcdef";
    const auto* bytes = static_cast<const uint8_t*>(value.pointer);
    switch (param.wire) {
      case Wire::kShort:
      case Wire::kLong:
        return std::to_string(value.number);
      case Wire::kString:
        return static_cast<const char*>(value.pointer);
      case Wire::kSize:
        return bytes ? std::to_string(*static_cast<const int32_t*>(value.pointer)) : "null";
      case Wire::kBuffer:
        return bytes ? "buf" : "null";
      case Wire::kBytes:
        break;
    }
    const int64_t size = all[param.sizedBy].number;
    if (bytes == nullptr || size == 0) return bytes ? "empty" : "null";
    std::string hex;
    for (int64_t i = 0; i < size; ++i) hex += {kDigits[bytes[i] >> 4], kDigits[bytes[i] & 0xF]};
    return hex;
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
    if (calls.size() >= kMaxRecorded) calls.erase(calls.begin(), calls.begin() + kMaxRecorded / 2);
    calls.push_back({name, std::move(text), call.Caller()});
  }

  template <typename F>
  void Set(F change) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      change();
    }
    changed.notify_all();
  }
  template <typename P>
  bool WaitFor(P predicate) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, kWaitLimit, predicate);
  }

  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Call> calls;
  bool gateOpen = true;
  int atGate = 0;
  int asyncRunning = 0;
  std::vector<int32_t> asyncResults;
  std::optional<std::vector<uint8_t>> pendingStatus;
  std::atomic<int32_t> nextSession{1};
};

// Server limits shrunk for tests.
inline ServerOptions TestServerOptions(const std::string& socketPath) {
  ServerOptions options;
  options.socketPath = socketPath;
  options.frameTimeout = std::chrono::milliseconds(200);
  options.sendTimeout = std::chrono::milliseconds(500);
  options.idleTimeout = std::chrono::milliseconds(5000);
  options.stopTimeout = std::chrono::milliseconds(5000);
  return options;
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
  bool WaitConnections(uint32_t expected) {
    for (int i = 0; i < 2500 && server->OpenConnections() != expected; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return server->OpenConnections() == expected;
  }

  keystone::testing::TempDirectory dir;
  FakeEngine engine;
  ServerOptions options = TestServerOptions(dir.File("IVoxWithMfa"));
  std::unique_ptr<Server> server;
};

}  // namespace rpc::testing
