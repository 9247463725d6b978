#include "tests/fakes/fake_kiln.h"

#include <algorithm>
#include <cstring>

namespace keystone::testing {

void FakeKiln::ScriptStatuses(KilnFunction function, std::vector<KILN_STATUS> statuses) {
  std::lock_guard<std::mutex> lock(mutex);
  scripted[function].insert(scripted[function].end(), statuses.begin(), statuses.end());
}

void FakeKiln::SetDefaultStatus(KilnFunction function, KILN_STATUS status) {
  std::lock_guard<std::mutex> lock(mutex);
  defaults[function] = status;
}

void FakeKiln::HangNextCall(KilnFunction function) {
  std::lock_guard<std::mutex> lock(mutex);
  ++pendingHangs[function];
}

void FakeKiln::ReleaseHangs() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    ++releaseGeneration;
  }
  changed.notify_all();
}

std::vector<FakeKiln::CallRecord> FakeKiln::CallsOf(KilnFunction function) const {
  std::vector<CallRecord> selected = LockedCopy(mutex, calls);
  std::erase_if(selected, [function](const CallRecord& call) { return call.function != function; });
  return selected;
}

std::vector<KilnFunction> FakeKiln::Sequence() const {
  std::vector<KilnFunction> sequence;
  for (const CallRecord& call : LockedCopy(mutex, calls)) sequence.push_back(call.function);
  return sequence;
}

KILN_STATUS FakeKiln::Enter(CallRecord record) {
  std::unique_lock<std::mutex> lock(mutex);
  const KilnFunction function = record.function;
  KILN_STATUS status = defaults.try_emplace(function, KILN_STATUS_SUCCESS).first->second;
  if (auto& queue = scripted[function]; !queue.empty()) {
    status = queue.front();
    queue.pop_front();
  }
  calls.push_back(std::move(record));
  if (pendingHangs[function] > 0) {
    --pendingHangs[function];
    const uint64_t generation = releaseGeneration;
    changed.wait_for(lock, kHangSafetyLimit, [&] { return releaseGeneration != generation; });
  }
  return status;
}

KILN_STATUS FakeKiln::Initialize(KILN_HANDLE* handle, void* /*context*/, uint32_t flags) {
  const KILN_STATUS status = Enter({.function = KilnFunction::kInitialize, .flags = flags});
  std::lock_guard<std::mutex> lock(mutex);
  if (status == KILN_STATUS_SUCCESS && handle != nullptr) {
    *handle = reinterpret_cast<KILN_HANDLE>(nextHandle++);
    openHandles.insert(*handle);
  }
  return status;
}

KILN_STATUS FakeKiln::Deinit(KILN_HANDLE handle) {
  const KILN_STATUS status = Enter({.function = KilnFunction::kDeinit, .handle = handle});
  std::lock_guard<std::mutex> lock(mutex);
  openHandles.erase(handle);
  return status;
}

KILN_STATUS FakeKiln::GetVersionInfo(KILN_HANDLE handle, KILN_VERSION_INFO* versionInfo) {
  const KILN_STATUS status = Enter({.function = KilnFunction::kGetVersionInfo, .handle = handle});
  if (status == KILN_STATUS_SUCCESS && versionInfo != nullptr) {
    std::lock_guard<std::mutex> lock(mutex);
    std::memset(versionInfo, 0, sizeof(*versionInfo));
    std::strncpy(versionInfo->platformVersion, "fake-kiln", KILN_VERSION_TEXT_SIZE - 1);
    // Copied without a terminator when it fills the array, as a library may do.
    std::memcpy(versionInfo->firmwareVersion, firmwareVersion.data(),
                std::min<size_t>(firmwareVersion.size(), KILN_VERSION_TEXT_SIZE));
  }
  return status;
}

KILN_STATUS FakeKiln::Install2(KILN_HANDLE handle, const char* appletId, const char* appletPath) {
  return Enter({.function = KilnFunction::kInstall2,
                .handle = handle,
                .appletId = appletId ? appletId : "",
                .appletPath = appletPath ? appletPath : ""});
}

KILN_STATUS FakeKiln::Uninstall(KILN_HANDLE handle, const char* appletId) {
  return Enter({.function = KilnFunction::kUninstall,
                .handle = handle,
                .appletId = appletId ? appletId : ""});
}

KILN_STATUS FakeKiln::CreateSession(KILN_HANDLE handle, const char* appletId, uint32_t flags,
                                    const KILN_INIT_BUFFER* initBuffer,
                                    KILN_SESSION_HANDLE* session) {
  CallRecord record{.function = KilnFunction::kCreateSession,
                    .handle = handle,
                    .appletId = appletId ? appletId : "",
                    .flags = flags};
  if (initBuffer != nullptr && initBuffer->data != nullptr) {
    record.data.assign(initBuffer->data, initBuffer->data + initBuffer->length);
  }
  const KILN_STATUS status = Enter(std::move(record));
  std::lock_guard<std::mutex> lock(mutex);
  if (status == KILN_STATUS_SUCCESS && session != nullptr) {
    *session = reinterpret_cast<KILN_SESSION_HANDLE>(nextSession++);
  }
  return status;
}

KILN_STATUS FakeKiln::Close(KilnFunction function, KILN_HANDLE handle,
                            KILN_SESSION_HANDLE* session) {
  return Enter({.function = function, .handle = handle, .session = session ? *session : nullptr});
}

KILN_STATUS FakeKiln::CloseSession(KILN_HANDLE handle, KILN_SESSION_HANDLE* session) {
  return Close(KilnFunction::kCloseSession, handle, session);
}

KILN_STATUS FakeKiln::ForceCloseSession(KILN_HANDLE handle, KILN_SESSION_HANDLE* session) {
  return Close(KilnFunction::kForceCloseSession, handle, session);
}

KILN_STATUS FakeKiln::SendAndRecv2(KILN_HANDLE handle, KILN_SESSION_HANDLE session,
                                   uint32_t commandId, KILN_COMM_BUFFER* buffer,
                                   uint32_t* responseCode) {
  CallRecord record{.function = KilnFunction::kSendAndRecv2, .handle = handle, .session = session};
  if (buffer != nullptr && buffer->sendBuffer != nullptr) {
    record.data.assign(buffer->sendBuffer, buffer->sendBuffer + buffer->sendLength);
  }
  const std::vector<uint8_t> request = record.data;
  const KILN_STATUS status = Enter(std::move(record));
  if (responseCode != nullptr) *responseCode = 0;
  if (buffer == nullptr) return status;
  std::vector<uint8_t> reply;
  ReplyHandler handler;
  if (status == KILN_STATUS_SUCCESS) {
    std::lock_guard<std::mutex> lock(mutex);
    if (!replies.empty()) {
      reply = std::move(replies.front());
      replies.pop_front();
    } else {
      handler = replyHandler;
    }
  }
  if (handler) reply = handler(commandId, request);  // outside the lock: it may call back
  buffer->receiveLength =
      std::min<uint32_t>(static_cast<uint32_t>(reply.size()), buffer->receiveLength);
  if (buffer->receiveLength > 0)
    std::memcpy(buffer->receiveBuffer, reply.data(), buffer->receiveLength);
  return status;
}

}  // namespace keystone::testing
