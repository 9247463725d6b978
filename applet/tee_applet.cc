#include "applet/tee_applet.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <thread>

#include "applet/applet_ids.h"
#include "applet/kiln_exceptions.h"
#include "common/config_keys.h"
#include "log/logger.h"
#include "platform/clock.h"
#include "platform/registry.h"

namespace mfab {
namespace {

AuthenticateLogger& Log() { return AuthenticateLoggerService::Instance(); }

constexpr char kAppletPathValue[] = "AppletPath";

// Status classes of the library that the retries tell apart.
constexpr KILN_STATUS kStatusRetryBelow = 0x300;
constexpr KILN_STATUS kStatusKnownIssue = KILN_STATUS_INTERNAL_ERROR;
constexpr KILN_STATUS kStatusNotInstalled = KILN_STATUS_APPLET_NOT_INSTALLED;
constexpr KILN_STATUS kStatusInvalidSession = KILN_STATUS_INVALID_SESSION_HANDLE;
constexpr KILN_STATUS kStatusConnectionError = KILN_STATUS_CONNECTION_ERROR;

bool IsUnavailable(KILN_STATUS status) {
  return status == KILN_STATUS_CONNECTION_ERROR || status == KILN_STATUS_CONNECTION_TIMEOUT ||
         status == KILN_STATUS_SERVICE_UNAVAILABLE;
}

[[noreturn]] void ThrowRetriesFailed(KILN_STATUS status) {
  throw std::runtime_error("CallKILNWithRetries failed with " + std::to_string(status));
}

}  // namespace

KilnHandle::KilnHandle(std::shared_ptr<IKilnLibrary> library, KILNAdapter::Options adapterOptions)
    : kiln(std::move(library)), options(adapterOptions) {}

KilnHandle::~KilnHandle() {
  const KILN_HANDLE handle = value.load();
  if (handle == nullptr) return;  // never initialized, or the initialization failed
  try {
    KS_LOG(Log(), kLogInfo, "TEE-CALL", "Deinitializing KILN");
    KILNAdapter closer(options);
    const KILN_STATUS status =
        closer.Call([library = kiln, handle]() { return library->Deinit(handle); }, nullptr);
    if (status != KILN_STATUS_SUCCESS) {
      KS_LOG(Log(), kLogError, "TEE-CALL", "KILN_Deinit failed (%#X)", status);
    }
  } catch (...) {
    KS_LOG(Log(), kLogError, "TEE-CALL", "KilnHandle deleter failed (Unknown exception)");
  }
}

KilnSession::KilnSession(std::shared_ptr<IKilnLibrary> library, KilnHandleOwner handleOwner,
                         KILN_SESSION_HANDLE session, KILNAdapter::Options adapterOptions)
    : kiln(std::move(library)),
      handle(std::move(handleOwner)),
      value(session),
      options(adapterOptions) {}

KilnSession::~KilnSession() {
  if (value == nullptr) return;
  try {
    KILNAdapter closer(options);
    const KILN_STATUS status = closer.Call(
        [library = kiln, handleOwner = handle, session = value]() mutable {
          return library->CloseSession(handleOwner->value.load(), &session);
        },
        nullptr);
    if (status != KILN_STATUS_SUCCESS) {
      KS_LOG(Log(), kLogError, "TEE-CALL", "KILN_CloseSession failed (%#X)", status);
    }
  } catch (...) {
    KS_LOG(Log(), kLogError, "TEE-CALL", "KilnSessionHandle deleter failed (Unknown exception)");
  }
}

TeeApplet::TeeApplet(platform::Registry& store, std::shared_ptr<IKilnLibrary> library,
                     platform::Clock& steadyClock, TeeAppletOptions appletOptions)
    : registry(store),
      clock(steadyClock),
      options(appletOptions),
      kiln(std::move(library)),
      appletPath(platform::ReadRegistryString(registry, keystone::kEngineKey, kAppletPathValue)
                     .value_or(std::string())),
      storedFwVersion(platform::ReadRegistryString(registry, keystone::kEngineKey, kFwVersionValue)
                          .value_or(std::string())),
      kilnHandle(std::make_shared<KilnHandle>(kiln, options.adapter)),
      adapter(options.adapter) {
  const KILN_STATUS status = InitializeHandle();
  if (status != KILN_STATUS_SUCCESS) {
    KS_LOG(Log(), kLogError, "TEE-CALL", "KILN_Initialize failed (%#X)", status);
    throw std::runtime_error("KILN_Initialize failed");
  }
  CheckFWUpgrade();
}

TeeApplet::~TeeApplet() = default;

std::function<void()> TeeApplet::DefaultRecovery() {
  // The adapter, which runs this, is destroyed before the members the recovery uses.
  return [this]() { KILNRecoveryFunction(); };
}

KILN_STATUS TeeApplet::InitializeHandle() {
  return adapter.Call(
      [library = kiln, owner = kilnHandle]() {
        KILN_HANDLE handle = nullptr;
        const KILN_STATUS status = library->Initialize(&handle, nullptr, 0);
        owner->value.store(status == KILN_STATUS_SUCCESS ? handle : nullptr);
        return status;
      },
      DefaultRecovery());
}

void TeeApplet::EnsureHandle() {
  if (!HandleLost()) return;
  KS_LOG(Log(), kLogWarning, "TEE-CALL",
         "No KILN handle after a failed re-initialization; "
         "initializing KILN again");
  const KILN_STATUS status = InitializeHandle();
  if (status != KILN_STATUS_SUCCESS) {
    KS_LOG(Log(), kLogError, "TEE-CALL", "KILN_Initialize failed (%#X)", status);
    throw std::runtime_error("KILN_Initialize failed");
  }
}

void TeeApplet::CheckFWUpgrade() {
  auto info = std::make_shared<KILN_VERSION_INFO>();
  std::memset(info.get(), 0, sizeof(KILN_VERSION_INFO));
  const KILN_STATUS status =
      adapter.Call([library = kiln, owner = kilnHandle,
                    info]() { return library->GetVersionInfo(owner->value.load(), info.get()); },
                   DefaultRecovery());
  if (status != KILN_STATUS_SUCCESS) {
    KS_LOG(Log(), kLogError, "TEE-CALL", "KILN_GetVersionInfo failed (%#X)", status);
    throw KilnCommunicationErrorException();
  }
  // The library fills the array; a missing terminator must not make us read past it.
  const std::string fwVersion(info->firmwareVersion,
                              strnlen(info->firmwareVersion, sizeof(info->firmwareVersion)));
  if (fwVersion == storedFwVersion) return;

  const std::string change =
      "found new FW version:" + fwVersion + " old version was :" + storedFwVersion;
  KS_LOG(Log(), kLogInfo, "TEE-CALL", "%s", change.c_str());

  auto uninstall = [this](const char* appletId) {
    return adapter.Call([library = kiln, owner = kilnHandle,
                         appletId]() { return library->Uninstall(owner->value.load(), appletId); },
                        DefaultRecovery());
  };
  KILN_STATUS uninstalled = uninstall(keystone::kAuthenticationAppletId);
  if (uninstalled != KILN_STATUS_SUCCESS) {
    KS_LOG(Log(), kLogError, "TEE-CALL", "KILN_Uninstall on MFA Applet failed (%#X)", uninstalled);
    return;
  }
  uninstalled = uninstall(keystone::kPanelAppletId);
  if (uninstalled != KILN_STATUS_SUCCESS) {
    KS_LOG(Log(), kLogWarning, "TEE-CALL", "KILN_Uninstall on PANEL Applet failed (%#X)",
           uninstalled);
  }

  Install(keystone::kAuthenticationAppletId, appletPath);

  try {
    const std::optional<std::string> panelPath =
        platform::ReadRegistryString(registry, keystone::kPanelFactorKey, kAppletPathValue);
    if (!panelPath) throw std::runtime_error("no PANEL AppletPath configured");
    Install(keystone::kPanelAppletId, *panelPath);
  } catch (const std::exception& e) {
    KS_LOG(Log(), kLogWarning, "TEE-CALL", "PANEL Applet installation failed: (%s)", e.what());
  }

  try {
    std::unique_ptr<platform::RegistryKey> key =
        registry.CreateKey(keystone::kEngineKey, platform::reg_access::kReadWrite);
    key->SetValue(kFwVersionValue, platform::RegValue::String(fwVersion));
  } catch (const std::exception& e) {
    // The applets are installed; the next start reinstalls them once more.
    KS_LOG(Log(), kLogError, "TEE-CALL", "Failed to store FWVersion (%s)", e.what());
  }
  storedFwVersion = fwVersion;
  fwUpgraded = true;
}

void TeeApplet::Install(const std::string& appletId, const std::string& path) {
  const KILN_STATUS status = adapter.Call(
      [library = kiln, owner = kilnHandle, appletId, path]() {
        return library->Install2(owner->value.load(), appletId.c_str(), path.c_str());
      },
      DefaultRecovery());
  if (status != KILN_STATUS_SUCCESS) {
    KS_LOG(Log(), kLogError, "TEE-CALL", "KILN_Install2 on %s failed (%#X)", appletId.c_str(),
           status);
    throw std::runtime_error("KILN_Install2 failed");
  }
}

void TeeApplet::CallKILNWithRetries(const std::function<KILN_STATUS()>& call) {
  const platform::Ticks deadline = clock.SteadyNow() + platform::ToTicks(options.retryDeadline);
  const int sleepMs = static_cast<int>(options.retrySleep.count());
  int attempt = 0;
  KILN_STATUS status = KILN_STATUS_SUCCESS;
  bool exhausted = false;
  for (;;) {
    if (clock.SteadyNow() > deadline) {
      exhausted = true;
      break;
    }
    KS_LOG(Log(), kLogInfo, "TEE-CALL", "About to make a KILN call... (Attempt #%d)", attempt);
    status = adapter.Call(call, DefaultRecovery());
    KS_LOG(Log(), kLogInfo, "TEE-CALL", "KILN call returned %#X (Attempt #%d)", status, attempt);
    if (status < kStatusRetryBelow) break;
    if (IsUnavailable(status)) {
      KS_LOG(Log(), kLogWarning, "TEE-CALL", "KILN is currently unavailable");
    } else if (status == kStatusNotInstalled) {
      KS_LOG(Log(), kLogWarning, "TEE-CALL", "Applet is not installed. Installing it now...");
      Install(keystone::kAuthenticationAppletId, appletPath);
    } else {
      ThrowRetriesFailed(status);
    }
    KS_LOG(Log(), kLogInfo, "TEE-CALL", "Sleeping for %d ms...", sleepMs);
    std::this_thread::sleep_for(options.retrySleep);
    if (++attempt >= options.maxRetryAttempts) {
      exhausted = true;
      break;
    }
  }

  if (!exhausted) {
    if (status == KILN_STATUS_SUCCESS) return;
    if (status != kStatusKnownIssue) ThrowRetriesFailed(status);
    KS_LOG(Log(), kLogWarning, "TEE-CALL", "Known KILN issue ...");
    KILNInitializeRecoveryFunction();
    KS_LOG(Log(), kLogInfo, "TEE-CALL", "About to make a KILN call again...");
    status = adapter.Call(call, DefaultRecovery());
    KS_LOG(Log(), kLogInfo, "TEE-CALL", "KILN call returned %#X ", status);
    if (status == KILN_STATUS_SUCCESS) return;
    ThrowRetriesFailed(status);
  }

  KILNInitializeRecoveryFunction();
  status = adapter.Call(call, DefaultRecovery());
  KS_LOG(Log(), kLogInfo, "TEE-CALL", "KILN call returned %#X (Attempt #%d)", status,
         options.maxRetryAttempts);
  if (status == KILN_STATUS_SUCCESS) return;
  throw std::runtime_error("CallKILNWithRetries failed (Retries exhausted)");
}

KilnSessionOwner TeeApplet::OpenSession(const std::vector<uint8_t>& initData) {
  if (initData.size() > std::numeric_limits<uint32_t>::max()) {
    throw std::length_error("session init data too large");
  }
  EnsureHandle();
  // Owned by the call, which may outlive this frame after a time-out.
  auto init = std::make_shared<const std::vector<uint8_t>>(initData);
  auto created = std::make_shared<std::atomic<KILN_SESSION_HANDLE>>(nullptr);
  CallKILNWithRetries([library = kiln, owner = kilnHandle, init, created]() {
    const KILN_INIT_BUFFER buffer{init->data(), static_cast<uint32_t>(init->size())};
    KILN_SESSION_HANDLE session = nullptr;
    const KILN_STATUS status =
        library->CreateSession(owner->value.load(), keystone::kAuthenticationAppletId,
                               KILN_SESSION_FLAG_DEFAULT, &buffer, &session);
    if (status == KILN_STATUS_SUCCESS) created->store(session);
    return status;
  });
  return std::make_shared<const KilnSession>(kiln, kilnHandle, created->load(), options.adapter);
}

TeeApplet::SendResult TeeApplet::SendOnce(
    const KilnSessionOwner& sessionOwner, uint32_t commandId,
    const std::shared_ptr<const std::vector<uint8_t>>& request) {
  const uint32_t capacity = options.receiveBufferSize;
  // The receive buffer is kept from call to call; only a call abandoned after a time-out, which
  // still holds it, makes the next one take a new buffer.
  if (!receiveBuffer || receiveBuffer.use_count() > 1) {
    receiveBuffer = std::make_shared<std::vector<uint8_t>>(capacity);
  }
  return adapter.Call(
      [library = kiln, owner = kilnHandle, session = sessionOwner->Value(), commandId, request,
       capacity, received = receiveBuffer]() {
        KILN_COMM_BUFFER buffer{request->data(), static_cast<uint32_t>(request->size()),
                                received->data(), capacity};
        uint32_t responseCode = 0;
        const KILN_STATUS status =
            library->SendAndRecv2(owner->value.load(), session, commandId, &buffer, &responseCode);
        if (buffer.receiveLength > capacity) {
          KS_LOG(Log(), kLogError, "TEE-CALL",
                 "KILN_SendAndRecv2 reported %u bytes for a buffer of %u", buffer.receiveLength,
                 capacity);
        }
        const auto end = received->begin() + std::min(buffer.receiveLength, capacity);
        return SendResult(status, std::vector<uint8_t>(received->begin(), end));
      },
      [this, sessionOwner]() { KILNRecoveryFunctionForSendAndRecive(sessionOwner); });
}

std::vector<uint8_t> TeeApplet::Send(const KilnSessionOwner& sessionOwner, uint32_t commandId,
                                     const std::vector<uint8_t>& request) {
  if (!sessionOwner || sessionOwner->Value() == nullptr) throw KilnInvalidSessionException();
  if (request.size() > std::numeric_limits<uint32_t>::max()) {
    throw std::length_error("request too large");
  }
  EnsureHandle();
  auto shared = std::make_shared<const std::vector<uint8_t>>(request);

  SendResult result = SendOnce(sessionOwner, commandId, shared);
  if (result.first == KILN_STATUS_SUCCESS) return std::move(result.second);
  KS_LOG(Log(), kLogWarning, "TEE-CALL", "First KILN_SendAndRecv2 first attempt failed (%#X)",
         result.first);
  if (result.first == kStatusInvalidSession) {
    KS_LOG(Log(), kLogWarning, "TEE-CALL",
           "KILN_SendAndRecv2 failed due to an invalid session handle. Trying to reopen the "
           "session and send the message to the applet");
    throw KilnInvalidSessionException();
  }

  result = SendOnce(sessionOwner, commandId, shared);
  if (result.first == KILN_STATUS_SUCCESS) return std::move(result.second);
  if (result.first == kStatusConnectionError) {
    KS_LOG(Log(), kLogError, "TEE-CALL", "KILN_SendAndRecv2 get ConnectionError ");
    throw KilnCommunicationErrorException();
  }
  KS_LOG(Log(), kLogError, "TEE-CALL", "KILN_SendAndRecv2 second failed (%#X)", result.first);
  throw KilnGeneralException(result.first);
}

void TeeApplet::KILNRecoveryFunction() {
  // A handle of its own: initializing and releasing it makes the library drop the hung work.
  auto fresh = std::make_shared<KilnHandle>(kiln, options.adapter);
  KS_LOG(Log(), kLogInfo, "TEE-CALL", "Initializing KILN");
  KILN_HANDLE handle = nullptr;
  const KILN_STATUS status = kiln->Initialize(&handle, nullptr, 0);
  if (status != KILN_STATUS_SUCCESS) {
    KS_LOG(Log(), kLogError, "TEE-CALL", "KILN_Initialize failed (%#X)", status);
    return;
  }
  fresh->value.store(handle);
}

void TeeApplet::KILNRecoveryFunctionForSendAndRecive(const KilnSessionOwner& sessionOwner) {
  KILN_SESSION_HANDLE session = sessionOwner ? sessionOwner->Value() : nullptr;
  const KILN_STATUS status = kiln->ForceCloseSession(kilnHandle->value.load(), &session);
  if (status != KILN_STATUS_SUCCESS) {
    KS_LOG(Log(), kLogError, "TEE-CALL", "KILN_ForceCloseSession failed (%#X)", status);
  } else {
    KS_LOG(Log(), kLogInfo, "TEE-CALL", "KILN_ForceCloseSession success!");
  }
}

void TeeApplet::KILNInitializeRecoveryFunction() {
  KS_LOG(Log(), kLogWarning, "TEE-CALL", "Re-Initializing KILN (Recovery)");
  try {
    const KILN_STATUS deinit = adapter.Call(
        [library = kiln, owner = kilnHandle]() {
          const KILN_STATUS status = library->Deinit(owner->value.load());
          owner->value.store(nullptr);
          return status;
        },
        DefaultRecovery());
    if (deinit != KILN_STATUS_SUCCESS) {
      KS_LOG(Log(), kLogError, "TEE-CALL", "KILN_Deinit (%#X)", deinit);
    }
    const KILN_STATUS init = InitializeHandle();
    if (init != KILN_STATUS_SUCCESS) {
      KS_LOG(Log(), kLogError, "TEE-CALL", "KILN_Initialize failed (%#X)", init);
    }
  } catch (const std::exception& e) {
    // A refused or hung call leaves the adapter to its own recovery; the caller's next call
    // reports that.
    KS_LOG(Log(), kLogError, "TEE-CALL", "Re-Initializing KILN failed (%s)", e.what());
  }
}

}  // namespace mfab
