#include "sim/applet/library.h"

#include <cstring>
#include <exception>

#include "applet/applet_ids.h"
#include "sim/applet/field_reader.h"
#include "sim/applet/protocol.h"
#include "sim/applet/sealing.h"

namespace kilnsim {
namespace {

constexpr size_t kMaxImagePath = 4096;

uintptr_t IdOf(const void* value) { return reinterpret_cast<uintptr_t>(value); }
void* ValueOf(uintptr_t id) { return reinterpret_cast<void*>(id); }

bool IsKnownApplet(const char* appletId) {
  return std::strcmp(appletId, keystone::kAuthenticationAppletId) == 0 ||
         std::strcmp(appletId, keystone::kPanelAppletId) == 0;
}

void CopyText(char (&out)[KILN_VERSION_TEXT_SIZE], const std::string& text) {
  std::memset(out, 0, sizeof(out));
  std::memcpy(out, text.data(), std::min(text.size(), sizeof(out) - 1));
}

// Breaks a reply the way a failing transport would.
std::vector<uint8_t> Mangle(std::vector<uint8_t> reply, const CallFaults& faults) {
  switch (faults.reply) {
    case ReplyFault::kNone:
      break;
    case ReplyFault::kTruncate:
      reply.resize(reply.size() / 2);
      break;
    case ReplyFault::kEmpty:
      reply.clear();
      break;
    case ReplyFault::kGarbage:
      try {
        RandomBytes(reply);
      } catch (const std::exception&) {
        for (size_t i = 0; i < reply.size(); ++i) reply[i] = static_cast<uint8_t>(i * 131 + 7);
      }
      break;
    case ReplyFault::kDropTag: {
      std::vector<uint8_t> kept;
      for (const TlvItem& item : SplitTlv(reply, 64, 0, "reply")) {
        if (item.tag == faults.dropTag) continue;
        kept.push_back(static_cast<uint8_t>(item.tag >> 8));
        kept.push_back(static_cast<uint8_t>(item.tag));
        kept.push_back(static_cast<uint8_t>(item.value.size() >> 8));
        kept.push_back(static_cast<uint8_t>(item.value.size()));
        kept.insert(kept.end(), item.value.begin(), item.value.end());
      }
      reply = std::move(kept);
      break;
    }
  }
  return reply;
}

}  // namespace

SimLibrary& SimLibrary::Instance() {
  static SimLibrary library;
  return library;
}

SimLibrary::~SimLibrary() {
  {
    keystone::MutexLock lock(mutex);
    stopping = true;
  }
  wake.notify_all();
}

void SimLibrary::Hang(std::chrono::milliseconds duration) {
  keystone::MutexLock lock(mutex);
  const auto deadline = std::chrono::steady_clock::now() + duration;
  wake.wait_until(lock.Native(), deadline, [this]() NO_THREAD_SAFETY_ANALYSIS { return stopping; });
}

std::shared_ptr<Firmware> SimLibrary::FirmwareFor(const std::string& directory) {
  std::shared_ptr<FaultInjector> faultPlan;
  {
    keystone::MutexLock lock(mutex);
    if (std::shared_ptr<Firmware> firmware = firmwares[directory].lock()) return firmware;
    std::shared_ptr<FaultInjector>& plan = faultPlans[directory];
    if (!plan) plan = std::make_shared<FaultInjector>(directory + "/faults");
    faultPlan = plan;
  }
  // Built outside the lock: it touches files. Two threads racing here both build one; the first
  // to publish wins and both use it.
  auto fresh = std::make_shared<Firmware>(directory, FirmwareOptions{}, std::move(faultPlan));
  keystone::MutexLock lock(mutex);
  std::weak_ptr<Firmware>& slot = firmwares[directory];
  if (std::shared_ptr<Firmware> existing = slot.lock()) return existing;
  slot = fresh;
  return fresh;
}

std::shared_ptr<Firmware> SimLibrary::FirmwareOf(KILN_HANDLE handle) {
  keystone::MutexLock lock(mutex);
  auto it = handles.find(IdOf(handle));
  return it == handles.end() ? nullptr : it->second;
}

std::optional<KILN_STATUS> SimLibrary::ApplyFaults(Firmware& firmware, KilnFunction function,
                                                   CallFaults* out) {
  const CallFaults faults = firmware.Faults().Next(function);
  if (faults.hang.count() > 0) Hang(faults.hang);
  if (out) *out = faults;
  if (faults.status) return *faults.status;
  return std::nullopt;
}

KILN_STATUS SimLibrary::Initialize(KILN_HANDLE* handle, void*, uint32_t) {
  if (!handle) return KILN_STATUS_INVALID_PARAMETER;
  try {
    std::shared_ptr<Firmware> firmware = FirmwareFor(Firmware::DefaultDirectory());
    if (auto status = ApplyFaults(*firmware, KilnFunction::kInitialize)) return *status;
    keystone::MutexLock lock(mutex);
    const uintptr_t id = nextId++;
    handles[id] = std::move(firmware);
    *handle = ValueOf(id);
    return KILN_STATUS_SUCCESS;
  } catch (const std::exception&) {
    return KILN_STATUS_SERVICE_UNAVAILABLE;
  }
}

KILN_STATUS SimLibrary::Deinit(KILN_HANDLE handle) {
  try {
    std::shared_ptr<Firmware> firmware = FirmwareOf(handle);
    if (!firmware) return KILN_STATUS_INVALID_PARAMETER;
    if (auto status = ApplyFaults(*firmware, KilnFunction::kDeinit)) return *status;
    keystone::MutexLock lock(mutex);
    handles.erase(IdOf(handle));
    std::erase_if(sessions,
                  [&](const auto& entry) { return entry.second->handle == IdOf(handle); });
    return KILN_STATUS_SUCCESS;
  } catch (const std::exception&) {
    return KILN_STATUS_SERVICE_UNAVAILABLE;
  }
}

KILN_STATUS SimLibrary::GetVersionInfo(KILN_HANDLE handle, KILN_VERSION_INFO* versionInfo) {
  try {
    std::shared_ptr<Firmware> firmware = FirmwareOf(handle);
    if (!firmware || !versionInfo) return KILN_STATUS_INVALID_PARAMETER;
    if (auto status = ApplyFaults(*firmware, KilnFunction::kGetVersionInfo)) return *status;
    const FirmwareInfo info = firmware->Info();
    CopyText(versionInfo->platformVersion, info.platform);
    CopyText(versionInfo->firmwareVersion, info.version);
    return KILN_STATUS_SUCCESS;
  } catch (const std::exception&) {
    return KILN_STATUS_SERVICE_UNAVAILABLE;
  }
}

KILN_STATUS SimLibrary::Install2(KILN_HANDLE handle, const char* appletId, const char* appletPath) {
  try {
    std::shared_ptr<Firmware> firmware = FirmwareOf(handle);
    if (!firmware || !appletId || !appletPath ||
        ::strnlen(appletPath, kMaxImagePath + 1) > kMaxImagePath) {
      return KILN_STATUS_INVALID_PARAMETER;
    }
    if (auto status = ApplyFaults(*firmware, KilnFunction::kInstall2)) return *status;
    if (!IsKnownApplet(appletId)) return KILN_STATUS_APPLET_NOT_FOUND;
    firmware->Install(appletId, appletPath);
    return KILN_STATUS_SUCCESS;
  } catch (const std::invalid_argument&) {
    return KILN_STATUS_INVALID_PARAMETER;
  } catch (const std::exception&) {
    return KILN_STATUS_SERVICE_UNAVAILABLE;
  }
}

KILN_STATUS SimLibrary::Uninstall(KILN_HANDLE handle, const char* appletId) {
  try {
    std::shared_ptr<Firmware> firmware = FirmwareOf(handle);
    if (!firmware || !appletId) return KILN_STATUS_INVALID_PARAMETER;
    if (auto status = ApplyFaults(*firmware, KilnFunction::kUninstall)) return *status;
    if (!IsKnownApplet(appletId)) return KILN_STATUS_APPLET_NOT_FOUND;
    firmware->Uninstall(appletId);
    if (std::strcmp(appletId, keystone::kAuthenticationAppletId) == 0) {
      // Sessions with an uninstalled applet end; their handles become unknown.
      keystone::MutexLock lock(mutex);
      for (auto it = sessions.begin(); it != sessions.end();) {
        auto owner = handles.find(it->second->handle);
        it = owner != handles.end() && owner->second == firmware ? sessions.erase(it)
                                                                 : std::next(it);
      }
    }
    return KILN_STATUS_SUCCESS;
  } catch (const std::exception&) {
    return KILN_STATUS_SERVICE_UNAVAILABLE;
  }
}

KILN_STATUS SimLibrary::CreateSession(KILN_HANDLE handle, const char* appletId, uint32_t,
                                      const KILN_INIT_BUFFER* initBuffer,
                                      KILN_SESSION_HANDLE* session) {
  try {
    std::shared_ptr<Firmware> firmware = FirmwareOf(handle);
    if (!firmware || !appletId || !session) return KILN_STATUS_INVALID_PARAMETER;
    if (auto status = ApplyFaults(*firmware, KilnFunction::kCreateSession)) return *status;
    // Only the authentication applet takes sessions.
    if (std::strcmp(appletId, keystone::kAuthenticationAppletId) != 0)
      return KILN_STATUS_APPLET_NOT_FOUND;
    if (!firmware->InstalledImage(appletId)) return KILN_STATUS_APPLET_NOT_INSTALLED;
    std::span<const uint8_t> initData;
    if (initBuffer && initBuffer->length > 0) {
      if (!initBuffer->data || initBuffer->length > kMaxRequestSize)
        return KILN_STATUS_INVALID_PARAMETER;
      initData = std::span<const uint8_t>(initBuffer->data, initBuffer->length);
    }
    auto fresh = std::make_shared<Session>();
    fresh->handle = IdOf(handle);
    auto applet = std::make_unique<Applet>(firmware);
    std::string problem;
    if (!applet->Open(initData, problem)) return KILN_STATUS_INVALID_PARAMETER;
    {
      keystone::MutexLock sessionLock(fresh->mutex);
      fresh->applet = std::move(applet);
    }
    keystone::MutexLock lock(mutex);
    if (handles.count(IdOf(handle)) == 0)
      return KILN_STATUS_INVALID_PARAMETER;  // de-initialized meanwhile
    const uintptr_t id = nextId++;
    sessions[id] = std::move(fresh);
    *session = ValueOf(id);
    return KILN_STATUS_SUCCESS;
  } catch (const std::exception&) {
    return KILN_STATUS_SERVICE_UNAVAILABLE;
  }
}

KILN_STATUS SimLibrary::CloseSession(KILN_HANDLE handle, KILN_SESSION_HANDLE* session,
                                     KilnFunction function) {
  try {
    std::shared_ptr<Firmware> firmware = FirmwareOf(handle);
    if (!firmware || !session) return KILN_STATUS_INVALID_PARAMETER;
    if (auto status = ApplyFaults(*firmware, function)) return *status;
    keystone::MutexLock lock(mutex);
    auto it = sessions.find(IdOf(*session));
    if (it == sessions.end() || it->second->handle != IdOf(handle))
      return KILN_STATUS_INVALID_SESSION_HANDLE;
    sessions.erase(it);
    *session = nullptr;
    return KILN_STATUS_SUCCESS;
  } catch (const std::exception&) {
    return KILN_STATUS_SERVICE_UNAVAILABLE;
  }
}

KILN_STATUS SimLibrary::SendAndRecv2(KILN_HANDLE handle, KILN_SESSION_HANDLE session,
                                     uint32_t commandId, KILN_COMM_BUFFER* buffer,
                                     uint32_t* responseCode) {
  try {
    // The session first: a session whose handle was de-initialized is gone with it, and the
    // caller must learn that it has to open a new one.
    std::shared_ptr<Session> target;
    {
      keystone::MutexLock lock(mutex);
      auto it = sessions.find(IdOf(session));
      if (it != sessions.end() && it->second->handle == IdOf(handle)) target = it->second;
    }
    if (!target) return KILN_STATUS_INVALID_SESSION_HANDLE;
    std::shared_ptr<Firmware> firmware = FirmwareOf(handle);
    if (!firmware || !buffer || !buffer->receiveBuffer ||
        (buffer->sendLength > 0 && !buffer->sendBuffer) || buffer->sendLength > kMaxRequestSize) {
      return KILN_STATUS_INVALID_PARAMETER;
    }
    CallFaults faults;
    if (auto status = ApplyFaults(*firmware, KilnFunction::kSendAndRecv2, &faults)) return *status;
    // Checked before the request runs, so that a too small buffer changes nothing.
    if (buffer->receiveLength < kMaxReplySize) {
      buffer->receiveLength = static_cast<uint32_t>(kMaxReplySize);
      return KILN_STATUS_INSUFFICIENT_BUFFER;
    }
    const std::span<const uint8_t> request(buffer->sendBuffer, buffer->sendLength);
    std::vector<uint8_t> reply;
    {
      keystone::MutexLock lock(target->mutex);
      reply = target->applet->Exchange(commandId, request);
    }
    reply = Mangle(std::move(reply), faults);
    std::memcpy(buffer->receiveBuffer, reply.data(), reply.size());
    buffer->receiveLength = static_cast<uint32_t>(reply.size());
    if (responseCode) *responseCode = 0;
    return KILN_STATUS_SUCCESS;
  } catch (const std::exception&) {
    return KILN_STATUS_SERVICE_UNAVAILABLE;
  }
}

}  // namespace kilnsim
