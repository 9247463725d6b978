#include "tests/fakes/fake_kiln.h"

#include <algorithm>
#include <cstring>

namespace keystone::testing {

const char* KilnFunctionName(KilnFunction function) {
  switch (function) {
    case KilnFunction::kInitialize:
      return "KILN_Initialize";
    case KilnFunction::kDeinit:
      return "KILN_Deinit";
    case KilnFunction::kGetVersionInfo:
      return "KILN_GetVersionInfo";
    case KilnFunction::kInstall2:
      return "KILN_Install2";
    case KilnFunction::kUninstall:
      return "KILN_Uninstall";
    case KilnFunction::kCreateSession:
      return "KILN_CreateSession";
    case KilnFunction::kCloseSession:
      return "KILN_CloseSession";
    case KilnFunction::kForceCloseSession:
      return "KILN_ForceCloseSession";
    case KilnFunction::kSendAndRecv2:
      return "KILN_SendAndRecv2";
  }
  return "?";
}

FakeKiln::FakeKiln() = default;

void FakeKiln::ScriptStatuses(KilnFunction function, std::vector<KILN_STATUS> statuses) {
  std::lock_guard<std::mutex> lock(mutex);
  auto& queue = scripted[function];
  queue.insert(queue.end(), statuses.begin(), statuses.end());
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

bool FakeKiln::WaitUntilHanging(KilnFunction function, std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mutex);
  return changed.wait_for(lock, limit, [&] { return hanging[function] > 0; });
}

void FakeKiln::QueueReply(std::vector<uint8_t> reply) {
  std::lock_guard<std::mutex> lock(mutex);
  replies.push_back(std::move(reply));
}

void FakeKiln::SetReplyHandler(ReplyHandler handler) {
  std::lock_guard<std::mutex> lock(mutex);
  replyHandler = std::move(handler);
}

void FakeKiln::SetFirmwareVersion(std::string version) {
  std::lock_guard<std::mutex> lock(mutex);
  firmwareVersion = std::move(version);
}

std::vector<FakeKiln::CallRecord> FakeKiln::Calls() const {
  std::lock_guard<std::mutex> lock(mutex);
  return calls;
}

std::vector<FakeKiln::CallRecord> FakeKiln::CallsOf(KilnFunction function) const {
  std::lock_guard<std::mutex> lock(mutex);
  std::vector<CallRecord> selected;
  for (const CallRecord& call : calls) {
    if (call.function == function) selected.push_back(call);
  }
  return selected;
}

size_t FakeKiln::Count(KilnFunction function) const { return CallsOf(function).size(); }

std::vector<KilnFunction> FakeKiln::Sequence() const {
  std::lock_guard<std::mutex> lock(mutex);
  std::vector<KilnFunction> sequence;
  for (const CallRecord& call : calls) sequence.push_back(call.function);
  return sequence;
}

void FakeKiln::ClearCalls() {
  std::lock_guard<std::mutex> lock(mutex);
  calls.clear();
}

size_t FakeKiln::OpenHandleCount() const {
  std::lock_guard<std::mutex> lock(mutex);
  return openHandles.size();
}

size_t FakeKiln::OpenSessionCount() const {
  std::lock_guard<std::mutex> lock(mutex);
  return openSessions.size();
}

KILN_STATUS FakeKiln::Enter(CallRecord record) {
  std::unique_lock<std::mutex> lock(mutex);
  const KilnFunction function = record.function;
  KILN_STATUS status = KILN_STATUS_SUCCESS;
  if (auto found = defaults.find(function); found != defaults.end()) status = found->second;
  auto& queue = scripted[function];
  if (!queue.empty()) {
    status = queue.front();
    queue.pop_front();
  }
  record.status = status;
  calls.push_back(record);
  if (pendingHangs[function] > 0) {
    --pendingHangs[function];
    ++hanging[function];
    const uint64_t generation = releaseGeneration;
    changed.notify_all();
    changed.wait_for(lock, kHangSafetyLimit, [&] { return releaseGeneration != generation; });
    --hanging[function];
  }
  return status;
}

KILN_STATUS FakeKiln::Initialize(KILN_HANDLE* handle, void* /*context*/, uint32_t flags) {
  CallRecord record{KilnFunction::kInitialize};
  record.flags = flags;
  const KILN_STATUS status = Enter(record);
  if (status == KILN_STATUS_SUCCESS && handle != nullptr) {
    std::lock_guard<std::mutex> lock(mutex);
    *handle = reinterpret_cast<KILN_HANDLE>(nextHandle++);
    openHandles.insert(*handle);
  }
  return status;
}

KILN_STATUS FakeKiln::Deinit(KILN_HANDLE handle) {
  CallRecord record{KilnFunction::kDeinit};
  record.handle = handle;
  const KILN_STATUS status = Enter(record);
  std::lock_guard<std::mutex> lock(mutex);
  openHandles.erase(handle);
  return status;
}

KILN_STATUS FakeKiln::GetVersionInfo(KILN_HANDLE handle, KILN_VERSION_INFO* versionInfo) {
  CallRecord record{KilnFunction::kGetVersionInfo};
  record.handle = handle;
  const KILN_STATUS status = Enter(record);
  if (status == KILN_STATUS_SUCCESS && versionInfo != nullptr) {
    std::lock_guard<std::mutex> lock(mutex);
    std::memset(versionInfo, 0, sizeof(*versionInfo));
    std::strncpy(versionInfo->platformVersion, "fake-kiln", KILN_VERSION_TEXT_SIZE - 1);
    std::memcpy(versionInfo->firmwareVersion, firmwareVersion.data(),
                std::min<size_t>(firmwareVersion.size(), KILN_VERSION_TEXT_SIZE - 1));
  }
  return status;
}

KILN_STATUS FakeKiln::Install2(KILN_HANDLE handle, const char* appletId, const char* appletPath) {
  CallRecord record{KilnFunction::kInstall2};
  record.handle = handle;
  record.appletId = appletId ? appletId : "";
  record.appletPath = appletPath ? appletPath : "";
  return Enter(record);
}

KILN_STATUS FakeKiln::Uninstall(KILN_HANDLE handle, const char* appletId) {
  CallRecord record{KilnFunction::kUninstall};
  record.handle = handle;
  record.appletId = appletId ? appletId : "";
  return Enter(record);
}

KILN_STATUS FakeKiln::CreateSession(KILN_HANDLE handle, const char* appletId, uint32_t flags,
                                    const KILN_INIT_BUFFER* initBuffer,
                                    KILN_SESSION_HANDLE* session) {
  CallRecord record{KilnFunction::kCreateSession};
  record.handle = handle;
  record.appletId = appletId ? appletId : "";
  record.flags = flags;
  if (initBuffer != nullptr && initBuffer->data != nullptr) {
    record.data.assign(initBuffer->data, initBuffer->data + initBuffer->length);
  }
  const KILN_STATUS status = Enter(record);
  if (status == KILN_STATUS_SUCCESS && session != nullptr) {
    std::lock_guard<std::mutex> lock(mutex);
    *session = reinterpret_cast<KILN_SESSION_HANDLE>(nextSession++);
    openSessions.insert(*session);
  }
  return status;
}

KILN_STATUS FakeKiln::CloseSession(KILN_HANDLE handle, KILN_SESSION_HANDLE* session) {
  CallRecord record{KilnFunction::kCloseSession};
  record.handle = handle;
  record.session = session ? *session : nullptr;
  const KILN_STATUS status = Enter(record);
  std::lock_guard<std::mutex> lock(mutex);
  openSessions.erase(record.session);
  return status;
}

KILN_STATUS FakeKiln::ForceCloseSession(KILN_HANDLE handle, KILN_SESSION_HANDLE* session) {
  CallRecord record{KilnFunction::kForceCloseSession};
  record.handle = handle;
  record.session = session ? *session : nullptr;
  const KILN_STATUS status = Enter(record);
  std::lock_guard<std::mutex> lock(mutex);
  openSessions.erase(record.session);
  return status;
}

KILN_STATUS FakeKiln::SendAndRecv2(KILN_HANDLE handle, KILN_SESSION_HANDLE session,
                                   uint32_t commandId, KILN_COMM_BUFFER* buffer,
                                   uint32_t* responseCode) {
  CallRecord record{KilnFunction::kSendAndRecv2};
  record.handle = handle;
  record.session = session;
  record.commandId = commandId;
  if (buffer != nullptr && buffer->sendBuffer != nullptr) {
    record.data.assign(buffer->sendBuffer, buffer->sendBuffer + buffer->sendLength);
  }
  const KILN_STATUS status = Enter(record);
  if (responseCode != nullptr) *responseCode = 0;
  if (buffer == nullptr) return status;
  if (status != KILN_STATUS_SUCCESS) {
    buffer->receiveLength = 0;
    return status;
  }
  std::vector<uint8_t> reply;
  ReplyHandler handler;
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (!replies.empty()) {
      reply = std::move(replies.front());
      replies.pop_front();
    } else {
      handler = replyHandler;
    }
  }
  if (handler) reply = handler(commandId, record.data);
  const uint32_t length =
      std::min<uint32_t>(static_cast<uint32_t>(reply.size()), buffer->receiveLength);
  if (length > 0) std::memcpy(buffer->receiveBuffer, reply.data(), length);
  buffer->receiveLength = length;
  return status;
}

}  // namespace keystone::testing
