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

namespace rpc::testing {

inline std::string HexOrNull(const uint8_t* data, int32_t size) {
  if (data == nullptr) return "null";
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (int32_t i = 0; i < size; ++i) {
    text.push_back(kDigits[data[i] >> 4]);
    text.push_back(kDigits[data[i] & 0xF]);
  }
  return text.empty() ? "empty" : text;
}

inline std::string SizeText(const int32_t* size) {
  return size == nullptr ? "null" : std::to_string(*size);
}

inline std::string BufferText(const uint8_t* buffer) { return buffer == nullptr ? "null" : "buf"; }

inline std::vector<uint8_t> Bytes(const std::string& text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

class FakeEngine : public EngineOperations {
 public:
  struct Call {
    std::string name;
    std::string args;
    std::optional<CallerIdentity> caller;
  };

  // Reply handed to populateOutput by ScanRpc.
  std::vector<uint8_t> scanReply = Bytes("scan-records");
  // Poll step of the asynchronous operation.
  std::chrono::milliseconds asyncPoll{5};

  std::vector<Call> Calls() {
    std::lock_guard<std::mutex> lock(mutex);
    return calls;
  }
  Call LastCall() {
    std::lock_guard<std::mutex> lock(mutex);
    return calls.empty() ? Call{} : calls.back();
  }
  void ClearCalls() {
    std::lock_guard<std::mutex> lock(mutex);
    calls.clear();
  }

  // InitializeSessionRpc waits at the gate until it opens (or 10 s pass).
  void CloseGate() {
    std::lock_guard<std::mutex> lock(mutex);
    gateOpen = false;
  }
  void OpenGate() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      gateOpen = true;
    }
    changed.notify_all();
  }
  // Waits until n calls wait at the gate; false after the limit.
  bool WaitAtGate(int n, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, limit, [&] { return atGate >= n; });
  }

  // The status the asynchronous operation delivers at its next poll.
  void PublishStatus(std::vector<uint8_t> status) {
    std::lock_guard<std::mutex> lock(mutex);
    pendingStatus = std::move(status);
  }
  bool WaitAsyncRunning(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, limit, [&] { return asyncRunning > 0; });
  }
  // Waits until an asynchronous call has ended and returns the result it completed with.
  std::optional<int32_t> WaitAsyncEnded(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> lock(mutex);
    if (!changed.wait_for(lock, limit, [&] { return !asyncResults.empty(); })) return std::nullopt;
    const int32_t result = asyncResults.front();
    asyncResults.erase(asyncResults.begin());
    return result;
  }

  void ResetServiceRpc(CallContext& call) override { Record(call, __func__, ""); }

  int32_t GetSessionIdRpc(CallContext& call) override {
    Record(call, __func__, "");
    return nextSession.fetch_add(1);
  }

  void ReleaseSessionIdRpc(CallContext& call, int32_t sessionId) override {
    Record(call, __func__, "sessionId=" + std::to_string(sessionId));
    if (sessionId == kThrowingSession) throw std::runtime_error("fake failure");
  }

  void NotifyAuthenticateStatusAsyncRpc(AsyncCallContext& call, int32_t* outSize, uint8_t* outBuffer,
                                        int32_t& dataState) override {
    Record(call, __func__, "outSize=" + SizeText(outSize) + " outBuffer=" + BufferText(outBuffer));
    {
      std::lock_guard<std::mutex> lock(mutex);
      ++asyncRunning;
    }
    changed.notify_all();
    int32_t result = kNotifyCancelled;
    dataState = kDataStateNone;
    for (;;) {
      std::this_thread::sleep_for(asyncPoll);
      const int32_t cancel = call.TestCancel();
      if (cancel == kCallCancelled) {
        if (outSize != nullptr) *outSize = 0;
        result = kNotifyCancelled;
        break;
      }
      if (cancel != kCallNotCancelled) {
        result = kNotifyBadCancelStatus;
        break;
      }
      std::optional<std::vector<uint8_t>> status;
      {
        std::lock_guard<std::mutex> lock(mutex);
        status.swap(pendingStatus);
      }
      if (status) {
        if (populateOutput(*status, outSize, outBuffer) != keystone::kStatusSuccess) {
          result = kNotifyBufferTooSmall;
        } else {
          dataState = kDataStateWritten;
          result = kNotifyStatusDelivered;
        }
        break;
      }
    }
    call.Complete(result);
    {
      std::lock_guard<std::mutex> lock(mutex);
      --asyncRunning;
      asyncResults.push_back(result);
    }
    changed.notify_all();
  }

  void UpdateAuthenticationErrorStateRpc(CallContext& call, int32_t first, int32_t second) override {
    Record(call, __func__, "first=" + std::to_string(first) + " second=" + std::to_string(second));
  }

  // Echoes its input into the output buffer.
  AppletCallStatus SendMessageToAppletRpc(CallContext& call, int32_t reserved, int32_t inSize,
                                          const uint8_t* inBytes, int32_t* outSize,
                                          uint8_t* outBuffer) override {
    Record(call, __func__,
           "reserved=" + std::to_string(reserved) + " inSize=" + std::to_string(inSize) +
               " inBytes=" + HexOrNull(inBytes, inSize) + " outSize=" + SizeText(outSize) +
               " outBuffer=" + BufferText(outBuffer));
    std::vector<uint8_t> reply;
    if (inBytes != nullptr) reply.assign(inBytes, inBytes + inSize);
    switch (populateOutput(reply, outSize, outBuffer)) {
      case keystone::kStatusSuccess: return AppletCallStatus::kSuccess;
      case keystone::kStatusBufferTooSmall: return AppletCallStatus::kBufferTooSmall;
      default: return AppletCallStatus::kInvalidApi;
    }
  }

  void SetBTMockModeRpc(CallContext& call) override { Record(call, __func__, ""); }

  BtCallStatus SendMessageToBtDeviceRpc(CallContext& call, int32_t idSize, const uint8_t* deviceId,
                                        int32_t inSize, const uint8_t* inBytes, int32_t interactive,
                                        int32_t* outSize, uint8_t* outBuffer) override {
    Record(call, __func__,
           "idSize=" + std::to_string(idSize) + " deviceId=" + HexOrNull(deviceId, idSize) +
               " inSize=" + std::to_string(inSize) + " inBytes=" + HexOrNull(inBytes, inSize) +
               " interactive=" + std::to_string(interactive) + " outSize=" + SizeText(outSize) +
               " outBuffer=" + BufferText(outBuffer));
    std::vector<uint8_t> reply;
    if (deviceId != nullptr) reply.assign(deviceId, deviceId + idSize);
    if (inBytes != nullptr) reply.insert(reply.end(), inBytes, inBytes + inSize);
    return BtStatusOf(populateOutput(reply, outSize, outBuffer));
  }

  BtCallStatus EstablishConnectionWithBtDeviceRpc(CallContext& call, int32_t idSize,
                                                  const uint8_t* deviceId) override {
    Record(call, __func__,
           "idSize=" + std::to_string(idSize) + " deviceId=" + HexOrNull(deviceId, idSize));
    return deviceId == nullptr ? BtCallStatus::kInvalidDeviceId : BtCallStatus::kNotResponsive;
  }

  BtCallStatus IsRSSISupportedRpc(CallContext& call, int16_t providerType,
                                  int32_t& supported) override {
    Record(call, __func__,
           "providerType=" + std::to_string(providerType) + " supported=" + std::to_string(supported));
    supported = supported + providerType;
    return BtCallStatus::kSuccess;
  }

  BtCallStatus GetRSSIRpc(CallContext& call, int32_t idSize, const uint8_t* deviceId,
                          int32_t mustExist, int16_t& rssi) override {
    Record(call, __func__,
           "idSize=" + std::to_string(idSize) + " deviceId=" + HexOrNull(deviceId, idSize) +
               " mustExist=" + std::to_string(mustExist) + " rssi=" + std::to_string(rssi));
    rssi = static_cast<int16_t>(rssi - 10);
    return static_cast<BtCallStatus>(0xFFFF);
  }

  BtCallStatus CalibrateRSSIRpc(CallContext& call, int32_t idSize, const uint8_t* deviceId) override {
    Record(call, __func__,
           "idSize=" + std::to_string(idSize) + " deviceId=" + HexOrNull(deviceId, idSize));
    return BtCallStatus::kUnsupportedFactor;
  }

  BtCallStatus GetDeviceStatusRpc(CallContext& call, int32_t idSize, const uint8_t* deviceId,
                                  int32_t flag, int32_t& status) override {
    Record(call, __func__,
           "idSize=" + std::to_string(idSize) + " deviceId=" + HexOrNull(deviceId, idSize) +
               " flag=" + std::to_string(flag) + " status=" + std::to_string(status));
    status = status + flag;
    return BtCallStatus::kSuccess;
  }

  BtCallStatus ScanRpc(CallContext& call, int16_t scanType, int32_t* outSize,
                       uint8_t* outBuffer) override {
    Record(call, __func__,
           "scanType=" + std::to_string(scanType) + " outSize=" + SizeText(outSize) +
               " outBuffer=" + BufferText(outBuffer));
    return BtStatusOf(populateOutput(scanReply, outSize, outBuffer));
  }

  void UpdateProximityStateRpc(CallContext& call, int32_t idSize, const uint8_t* deviceId,
                               int32_t state) override {
    Record(call, __func__,
           "idSize=" + std::to_string(idSize) + " deviceId=" + HexOrNull(deviceId, idSize) +
               " state=" + std::to_string(state));
  }

  int32_t AuthenticationOnDesktopRpc(CallContext& call, const char* userSid,
                                     const char* second) override {
    Record(call, __func__, std::string("userSid=") + userSid + " second=" + second);
    return static_cast<int32_t>(std::strlen(userSid) * 100 + std::strlen(second));
  }

  int32_t TriggerDataBackupRpc(CallContext& call, int16_t mode, const char* user, int32_t dataSize,
                               const uint8_t* data) override {
    Record(call, __func__,
           "mode=" + std::to_string(mode) + " user=" + user + " dataSize=" +
               std::to_string(dataSize) + " data=" + HexOrNull(data, dataSize));
    return mode == 0 ? static_cast<int32_t>(keystone::kStatusGeneralFailure) : mode;
  }

  // Replies "<first>|<second>|<data as text>".
  int32_t GetDiscoveryInfoRpc(CallContext& call, int16_t kind, int32_t dataSize,
                              const uint8_t* data, const char* first, const char* second,
                              int32_t* outSize, uint8_t* outBuffer) override {
    Record(call, __func__,
           "kind=" + std::to_string(kind) + " dataSize=" + std::to_string(dataSize) + " data=" +
               HexOrNull(data, dataSize) + " first=" + first + " second=" + second +
               " outSize=" + SizeText(outSize) + " outBuffer=" + BufferText(outBuffer));
    std::vector<uint8_t> reply = Bytes(std::string(first) + "|" + second + "|");
    if (data != nullptr) reply.insert(reply.end(), data, data + dataSize);
    return static_cast<int32_t>(populateOutput(reply, outSize, outBuffer));
  }

  int32_t MirrorFactorSupportedStatusRpc(CallContext& call, int32_t dataSize,
                                         const uint8_t* data) override {
    Record(call, __func__,
           "dataSize=" + std::to_string(dataSize) + " data=" + HexOrNull(data, dataSize));
    return static_cast<int32_t>(keystone::kStatusPolicyNotSet);
  }

  // Replies with the SID's text; "overflow" makes it claim more bytes than the buffer holds.
  int32_t GetUserRecordsRpc(CallContext& call, const char* userSid, int32_t* outSize,
                            uint8_t* outBuffer) override {
    Record(call, __func__,
           std::string("userSid=") + userSid + " outSize=" + SizeText(outSize) +
               " outBuffer=" + BufferText(outBuffer));
    if (std::strcmp(userSid, "overflow") == 0 && outSize != nullptr) {
      *outSize += 1;
      return 0;
    }
    return static_cast<int32_t>(populateOutput(Bytes(userSid), outSize, outBuffer));
  }

  BtCallStatus IsPhonePresentRpc(CallContext& call, int32_t idSize, const uint8_t* deviceId,
                                 int32_t& present) override {
    Record(call, __func__,
           "idSize=" + std::to_string(idSize) + " deviceId=" + HexOrNull(deviceId, idSize) +
               " present=" + std::to_string(present));
    present = deviceId != nullptr ? 1 : 0;
    return BtCallStatus::kSuccess;
  }

  int32_t SetUserPresenceRpc(CallContext& call, int32_t dataSize, const uint8_t* data) override {
    Record(call, __func__,
           "dataSize=" + std::to_string(dataSize) + " data=" + HexOrNull(data, dataSize));
    return -dataSize;
  }

  void InitializeSessionRpc(CallContext& call) override {
    Record(call, __func__, "");
    std::unique_lock<std::mutex> lock(mutex);
    ++atGate;
    changed.notify_all();
    changed.wait_for(lock, std::chrono::seconds(10), [&] { return gateOpen; });
    --atGate;
  }

  int32_t RunEnrollmentFlowRpc(CallContext& call, int32_t value, const char* first,
                               const char* second, int32_t dataSize, const uint8_t* data) override {
    Record(call, __func__,
           "value=" + std::to_string(value) + " first=" + first + " second=" + second +
               " dataSize=" + std::to_string(dataSize) + " data=" + HexOrNull(data, dataSize));
    return value * 2;
  }

  static constexpr int32_t kThrowingSession = -42;

 private:
  static BtCallStatus BtStatusOf(uint32_t status) {
    switch (status) {
      case keystone::kStatusSuccess: return BtCallStatus::kSuccess;
      case keystone::kStatusBufferTooSmall: return BtCallStatus::kBufferTooSmall;
      default: return BtCallStatus::kInternalError;
    }
  }

  void Record(CallContext& call, const char* name, std::string args) {
    std::lock_guard<std::mutex> lock(mutex);
    calls.push_back({name, std::move(args), call.Caller()});
    if (calls.size() > kMaxRecorded) calls.erase(calls.begin(), calls.begin() + kMaxRecorded / 2);
  }

  static constexpr size_t kMaxRecorded = 4096;

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
class TempDir {
 public:
  TempDir() {
    std::random_device seed;
    for (int attempt = 0; attempt < 100; ++attempt) {
      path = "/tmp/ksrpc-" + std::to_string(seed() % 1000000000u);
      if (std::filesystem::create_directory(path)) return;
    }
    throw std::runtime_error("no temporary directory");
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  std::string path;
};

// Shrunk limits for tests.
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
