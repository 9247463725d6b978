#pragma once

// A fake engine for the RPC tests: records every call with its arguments as text, answers with
// values derived from its inputs (so a crossed or lost reply shows), copies replies out with
// populateOutput like the real operations, and can hold calls at a gate.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/status.h"
#include "rpc/engine_operations.h"
#include "rpc/protocol.h"
#include "rpc/rpc_server.h"
#include "rpc/server.h"

namespace rpc::testing {

inline std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

// Arguments as text: "name=value ..."; byte arrays in hex ("null", "empty"), pointers as
// "null" or "buf", sizes by value.
struct Arg {
  Arg(const char* label, int64_t number) : text(std::string(label) + "=" + std::to_string(number)) {}
  Arg(const char* label, const char* chars) : text(std::string(label) + "=" + chars) {}
  Arg(const char* label, const int32_t* size)
      : text(std::string(label) + "=" + (size ? std::to_string(*size) : "null")) {}
  Arg(const char* label, const uint8_t* buffer)
      : text(std::string(label) + "=" + (buffer ? "buf" : "null")) {}
  Arg(const char* label, const uint8_t* data, int32_t size) : text(std::string(label) + "=") {
    static constexpr char kDigits[] = "0123456789abcdef";
    if (data == nullptr) text += "null";
    if (data != nullptr && size == 0) text += "empty";
    for (int32_t i = 0; data != nullptr && i < size; ++i) {
      text.push_back(kDigits[data[i] >> 4]);
      text.push_back(kDigits[data[i] & 0xF]);
    }
  }
  std::string text;
};

class FakeEngine : public EngineOperations {
 public:
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
  void CloseGate() { Set([&] { gateOpen = false; }); }
  void OpenGate() { Set([&] { gateOpen = true; }); }
  bool WaitAtGate(int n) { return WaitFor([&] { return atGate >= n; }); }

  // The asynchronous operation delivers this status at its next poll.
  void PublishStatus(std::vector<uint8_t> status) { Set([&] { pendingStatus = std::move(status); }); }
  bool WaitAsyncRunning() { return WaitFor([&] { return asyncRunning > 0; }); }
  // The result the next asynchronous call to end completed with.
  std::optional<int32_t> WaitAsyncEnded() {
    std::unique_lock<std::mutex> lock(mutex);
    if (!changed.wait_for(lock, kWaitLimit, [&] { return !asyncResults.empty(); })) return {};
    const int32_t result = asyncResults.front();
    asyncResults.erase(asyncResults.begin());
    return result;
  }

  void ResetServiceRpc(CallContext& call) override { Record(call, __func__, {}); }
  int32_t GetSessionIdRpc(CallContext& call) override {
    Record(call, __func__, {});
    return nextSession.fetch_add(1);
  }
  void ReleaseSessionIdRpc(CallContext& call, int32_t sessionId) override {
    Record(call, __func__, {{"sessionId", sessionId}});
    if (sessionId == kThrowingSession) throw std::runtime_error("fake failure");
  }

  // Polls like the real operation: cancel test first, then a published status.
  void NotifyAuthenticateStatusAsyncRpc(AsyncCallContext& call, int32_t* outSize, uint8_t* outBuffer,
                                        int32_t& dataState) override {
    Record(call, __func__, {{"outSize", outSize}, {"outBuffer", outBuffer}});
    Set([&] { ++asyncRunning; });
    dataState = kDataStateNone;
    int32_t result = kNotifyCancelled;
    for (;;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      const int32_t cancel = call.TestCancel();
      if (cancel != kCallNotCancelled) {
        if (outSize != nullptr) *outSize = 0;
        result = cancel == kCallCancelled ? kNotifyCancelled : kNotifyBadCancelStatus;
        break;
      }
      std::optional<std::vector<uint8_t>> status;
      Set([&] { status.swap(pendingStatus); });
      if (!status) continue;
      result = populateOutput(*status, outSize, outBuffer) == 0 ? kNotifyStatusDelivered
                                                                 : kNotifyBufferTooSmall;
      if (result == kNotifyStatusDelivered) dataState = kDataStateWritten;
      break;
    }
    call.Complete(result);
    Set([&] {
      --asyncRunning;
      asyncResults.push_back(result);
    });
  }

  void UpdateAuthenticationErrorStateRpc(CallContext& call, int32_t first, int32_t second) override {
    Record(call, __func__, {{"first", first}, {"second", second}});
  }

  // Echoes its input.
  AppletCallStatus SendMessageToAppletRpc(CallContext& call, int32_t reserved, int32_t inSize,
                                          const uint8_t* inBytes, int32_t* outSize,
                                          uint8_t* outBuffer) override {
    Record(call, __func__,
           {{"reserved", reserved}, {"inSize", inSize}, {"inBytes", inBytes, inSize},
            {"outSize", outSize}, {"outBuffer", outBuffer}});
    const uint32_t status = populateOutput(Join(inBytes, inSize), outSize, outBuffer);
    return status == 0 ? AppletCallStatus::kSuccess
           : status == keystone::kStatusBufferTooSmall ? AppletCallStatus::kBufferTooSmall
                                                        : AppletCallStatus::kInvalidApi;
  }

  void SetBTMockModeRpc(CallContext& call) override { Record(call, __func__, {}); }

  // Replies with the device id followed by the input.
  BtCallStatus SendMessageToBtDeviceRpc(CallContext& call, int32_t idSize, const uint8_t* deviceId,
                                        int32_t inSize, const uint8_t* inBytes, int32_t interactive,
                                        int32_t* outSize, uint8_t* outBuffer) override {
    Record(call, __func__,
           {{"idSize", idSize}, {"deviceId", deviceId, idSize}, {"inSize", inSize},
            {"inBytes", inBytes, inSize}, {"interactive", interactive}, {"outSize", outSize},
            {"outBuffer", outBuffer}});
    std::vector<uint8_t> reply = Join(deviceId, idSize);
    const std::vector<uint8_t> input = Join(inBytes, inSize);
    reply.insert(reply.end(), input.begin(), input.end());
    return BtStatusOf(populateOutput(reply, outSize, outBuffer));
  }

  BtCallStatus EstablishConnectionWithBtDeviceRpc(CallContext& call, int32_t idSize,
                                                  const uint8_t* deviceId) override {
    Record(call, __func__, {{"idSize", idSize}, {"deviceId", deviceId, idSize}});
    return deviceId == nullptr ? BtCallStatus::kInvalidDeviceId : BtCallStatus::kNotResponsive;
  }

  BtCallStatus IsRSSISupportedRpc(CallContext& call, int16_t providerType,
                                  int32_t& supported) override {
    Record(call, __func__, {{"providerType", providerType}, {"supported", supported}});
    supported += providerType;
    return BtCallStatus::kSuccess;
  }

  // Every 16 bits of the result travel: answers 0xFFFF.
  BtCallStatus GetRSSIRpc(CallContext& call, int32_t idSize, const uint8_t* deviceId,
                          int32_t mustExist, int16_t& rssi) override {
    Record(call, __func__,
           {{"idSize", idSize}, {"deviceId", deviceId, idSize}, {"mustExist", mustExist},
            {"rssi", rssi}});
    rssi = static_cast<int16_t>(rssi - 10);
    return static_cast<BtCallStatus>(0xFFFF);
  }

  BtCallStatus CalibrateRSSIRpc(CallContext& call, int32_t idSize, const uint8_t* deviceId) override {
    Record(call, __func__, {{"idSize", idSize}, {"deviceId", deviceId, idSize}});
    return BtCallStatus::kUnsupportedFactor;
  }

  BtCallStatus GetDeviceStatusRpc(CallContext& call, int32_t idSize, const uint8_t* deviceId,
                                  int32_t flag, int32_t& status) override {
    Record(call, __func__,
           {{"idSize", idSize}, {"deviceId", deviceId, idSize}, {"flag", flag}, {"status", status}});
    status += flag;
    return BtCallStatus::kSuccess;
  }

  BtCallStatus ScanRpc(CallContext& call, int16_t scanType, int32_t* outSize,
                       uint8_t* outBuffer) override {
    Record(call, __func__, {{"scanType", scanType}, {"outSize", outSize}, {"outBuffer", outBuffer}});
    return BtStatusOf(populateOutput(Bytes("scan-records"), outSize, outBuffer));
  }

  void UpdateProximityStateRpc(CallContext& call, int32_t idSize, const uint8_t* deviceId,
                               int32_t state) override {
    Record(call, __func__, {{"idSize", idSize}, {"deviceId", deviceId, idSize}, {"state", state}});
  }

  int32_t AuthenticationOnDesktopRpc(CallContext& call, const char* userSid,
                                     const char* second) override {
    Record(call, __func__, {{"userSid", userSid}, {"second", second}});
    return static_cast<int32_t>(std::strlen(userSid) * 100 + std::strlen(second));
  }

  int32_t TriggerDataBackupRpc(CallContext& call, int16_t mode, const char* user, int32_t dataSize,
                               const uint8_t* data) override {
    Record(call, __func__,
           {{"mode", mode}, {"user", user}, {"dataSize", dataSize}, {"data", data, dataSize}});
    return mode == 0 ? static_cast<int32_t>(keystone::kStatusGeneralFailure) : mode;
  }

  // Replies "<first>|<second>|<data>".
  int32_t GetDiscoveryInfoRpc(CallContext& call, int16_t kind, int32_t dataSize,
                              const uint8_t* data, const char* first, const char* second,
                              int32_t* outSize, uint8_t* outBuffer) override {
    Record(call, __func__,
           {{"kind", kind}, {"dataSize", dataSize}, {"data", data, dataSize}, {"first", first},
            {"second", second}, {"outSize", outSize}, {"outBuffer", outBuffer}});
    std::vector<uint8_t> reply = Bytes(std::string(first) + "|" + second + "|");
    const std::vector<uint8_t> input = Join(data, dataSize);
    reply.insert(reply.end(), input.begin(), input.end());
    return static_cast<int32_t>(populateOutput(reply, outSize, outBuffer));
  }

  int32_t MirrorFactorSupportedStatusRpc(CallContext& call, int32_t dataSize,
                                         const uint8_t* data) override {
    Record(call, __func__, {{"dataSize", dataSize}, {"data", data, dataSize}});
    return static_cast<int32_t>(keystone::kStatusPolicyNotSet);
  }

  // Replies with the SID; "overflow" makes it claim more bytes than the buffer holds.
  int32_t GetUserRecordsRpc(CallContext& call, const char* userSid, int32_t* outSize,
                            uint8_t* outBuffer) override {
    Record(call, __func__, {{"userSid", userSid}, {"outSize", outSize}, {"outBuffer", outBuffer}});
    if (std::strcmp(userSid, "overflow") == 0 && outSize != nullptr) {
      *outSize += 1;
      return 0;
    }
    return static_cast<int32_t>(populateOutput(Bytes(userSid), outSize, outBuffer));
  }

  BtCallStatus IsPhonePresentRpc(CallContext& call, int32_t idSize, const uint8_t* deviceId,
                                 int32_t& present) override {
    Record(call, __func__, {{"idSize", idSize}, {"deviceId", deviceId, idSize}, {"present", present}});
    present = deviceId != nullptr ? 1 : 0;
    return BtCallStatus::kSuccess;
  }

  int32_t SetUserPresenceRpc(CallContext& call, int32_t dataSize, const uint8_t* data) override {
    Record(call, __func__, {{"dataSize", dataSize}, {"data", data, dataSize}});
    return -dataSize;
  }

  void InitializeSessionRpc(CallContext& call) override {
    Record(call, __func__, {});
    std::unique_lock<std::mutex> lock(mutex);
    ++atGate;
    changed.notify_all();
    changed.wait_for(lock, kWaitLimit, [&] { return gateOpen; });
    --atGate;
  }

  int32_t RunEnrollmentFlowRpc(CallContext& call, int32_t value, const char* first,
                               const char* second, int32_t dataSize, const uint8_t* data) override {
    Record(call, __func__,
           {{"value", value}, {"first", first}, {"second", second}, {"dataSize", dataSize},
            {"data", data, dataSize}});
    return value * 2;
  }

 private:
  static constexpr std::chrono::seconds kWaitLimit{10};
  static constexpr size_t kMaxRecorded = 4096;

  static std::vector<uint8_t> Join(const uint8_t* data, int32_t size) {
    return data == nullptr ? std::vector<uint8_t>() : std::vector<uint8_t>(data, data + size);
  }
  static BtCallStatus BtStatusOf(uint32_t status) {
    return status == 0 ? BtCallStatus::kSuccess
           : status == keystone::kStatusBufferTooSmall ? BtCallStatus::kBufferTooSmall
                                                        : BtCallStatus::kInternalError;
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

  void Record(CallContext& call, const char* name, std::initializer_list<Arg> args) {
    std::string text;
    for (const Arg& arg : args) text += (text.empty() ? "" : " ") + arg.text;
    std::lock_guard<std::mutex> lock(mutex);
    if (calls.size() >= kMaxRecorded) calls.erase(calls.begin(), calls.begin() + kMaxRecorded / 2);
    calls.push_back({name, std::move(text), call.Caller()});
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

// A fresh directory under /tmp (short, for socket paths), removed with its contents.
struct TempDir {
  TempDir() {
    std::random_device seed;
    do {
      path = "/tmp/ksrpc-" + std::to_string(seed() % 1000000000u);
    } while (!std::filesystem::create_directory(path));
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  std::string path;
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

}  // namespace rpc::testing
