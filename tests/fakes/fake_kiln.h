#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "applet/kiln_function.h"
#include "applet/kiln_library.h"
#include "tests/fakes/locked.h"

namespace keystone::testing {

using mfab::KilnFunction;

// A scriptable stand-in for the host-interface library. Every call is recorded; each function
// returns the statuses scripted for it in order, then its default status (success unless set).
// A call can be made to hang until the test releases it. Handles and sessions are small fake
// pointers; the fake keeps track of open handles. Thread-safe.
class FakeKiln : public mfab::IKilnLibrary {
 public:
  // A hung call returns on its own after this long, so a broken test cannot hang the suite.
  static constexpr std::chrono::seconds kHangSafetyLimit{30};

  struct CallRecord {
    KilnFunction function;
    KILN_HANDLE handle = nullptr;
    KILN_SESSION_HANDLE session = nullptr;
    std::string appletId;
    std::string appletPath;
    uint32_t flags = 0;
    std::vector<uint8_t> data;  // session-init bytes or the sent request
  };

  using ReplyHandler =
      std::function<std::vector<uint8_t>(uint32_t commandId, const std::vector<uint8_t>& request)>;

  // Statuses the next calls of function return, in order, before the default takes over.
  void ScriptStatuses(KilnFunction function, std::vector<KILN_STATUS> statuses);
  void SetDefaultStatus(KilnFunction function, KILN_STATUS status);

  // The next call of function (one per HangNextCall) blocks until ReleaseHangs.
  void HangNextCall(KilnFunction function);
  void ReleaseHangs();

  // What successful sends answer: queued replies first, then the handler, then nothing.
  void QueueReply(std::vector<uint8_t> reply) { LockedAppend(mutex, replies, std::move(reply)); }
  void SetReplyHandler(ReplyHandler handler) { LockedSet(mutex, replyHandler, std::move(handler)); }
  void SetFirmwareVersion(std::string version) {
    LockedSet(mutex, firmwareVersion, std::move(version));
  }

  std::vector<CallRecord> CallsOf(KilnFunction function) const;
  size_t Count(KilnFunction function) const { return CallsOf(function).size(); }
  // Functions in call order (for checking sequences).
  std::vector<KilnFunction> Sequence() const;
  size_t OpenHandleCount() const { return LockedCopy(mutex, openHandles).size(); }

  KILN_STATUS Initialize(KILN_HANDLE* handle, void* context, uint32_t flags) override;
  KILN_STATUS Deinit(KILN_HANDLE handle) override;
  KILN_STATUS GetVersionInfo(KILN_HANDLE handle, KILN_VERSION_INFO* versionInfo) override;
  KILN_STATUS Install2(KILN_HANDLE handle, const char* appletId, const char* appletPath) override;
  KILN_STATUS Uninstall(KILN_HANDLE handle, const char* appletId) override;
  KILN_STATUS CreateSession(KILN_HANDLE handle, const char* appletId, uint32_t flags,
                            const KILN_INIT_BUFFER* initBuffer,
                            KILN_SESSION_HANDLE* session) override;
  KILN_STATUS CloseSession(KILN_HANDLE handle, KILN_SESSION_HANDLE* session) override;
  KILN_STATUS ForceCloseSession(KILN_HANDLE handle, KILN_SESSION_HANDLE* session) override;
  KILN_STATUS SendAndRecv2(KILN_HANDLE handle, KILN_SESSION_HANDLE session, uint32_t commandId,
                           KILN_COMM_BUFFER* buffer, uint32_t* responseCode) override;

 private:
  // Records the call, takes its status and hangs when asked to; returns the status.
  KILN_STATUS Enter(CallRecord record);
  KILN_STATUS Close(KilnFunction function, KILN_HANDLE handle, KILN_SESSION_HANDLE* session);

  mutable std::mutex mutex;
  std::condition_variable changed;
  std::map<KilnFunction, std::deque<KILN_STATUS>> scripted;
  std::map<KilnFunction, KILN_STATUS> defaults;
  std::map<KilnFunction, int> pendingHangs;
  uint64_t releaseGeneration = 0;
  std::deque<std::vector<uint8_t>> replies;
  ReplyHandler replyHandler;
  std::string firmwareVersion = "1.0.0.0";
  std::vector<CallRecord> calls;
  uintptr_t nextHandle = 0x1000;
  uintptr_t nextSession = 0x5000;
  std::set<KILN_HANDLE> openHandles;
};

}  // namespace keystone::testing
