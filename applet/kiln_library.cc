#include "applet/kiln_library.h"

#include <atomic>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

#include "applet/kiln_exceptions.h"
#include "common/config_keys.h"
#include "common/mutex.h"
#include "log/logger.h"
#include "platform/registry.h"
#include "platform/shared_library.h"

namespace mfab {

struct SharedKilnLibrary::FunctionTable {
  decltype(&KILN_Initialize) initialize = nullptr;
  decltype(&KILN_Deinit) deinit = nullptr;
  decltype(&KILN_GetVersionInfo) getVersionInfo = nullptr;
  decltype(&KILN_Install2) install2 = nullptr;
  decltype(&KILN_Uninstall) uninstall = nullptr;
  decltype(&KILN_CreateSession) createSession = nullptr;
  decltype(&KILN_CloseSession) closeSession = nullptr;
  decltype(&KILN_ForceCloseSession) forceCloseSession = nullptr;
  decltype(&KILN_SendAndRecv2) sendAndRecv2 = nullptr;
};

class SharedKilnLibrary::Impl {
 public:
  Impl(std::optional<std::string> libraryPath, platform::Registry* store)
      : explicitPath(std::move(libraryPath)), registry(store) {}

  std::string Path() {
    if (explicitPath) return *explicitPath;
    {
      keystone::MutexLock lock(mutex);
      if (library) return library->Path();
    }
    return ConfiguredKilnLibraryPath(*registry);
  }

  const FunctionTable& Functions() {
    if (const FunctionTable* ready = published.load(std::memory_order_acquire)) return *ready;
    // Loaded without the lock; of two threads racing here, the first to finish wins and the
    // other's extra reference is dropped (the loader counts them).
    FunctionTable resolved;
    std::unique_ptr<platform::SharedLibrary> loaded = Load(resolved);
    bool installed = false;
    {
      keystone::MutexLock lock(mutex);
      if (!library) {
        library = std::move(loaded);
        table = resolved;
        published.store(&table, std::memory_order_release);
        installed = true;
      }
    }
    if (installed) {
      KS_LOG(AuthenticateLoggerService::Instance(), kLogInfo, "TEE-CALL",
             "KILN library loaded from %s", Path().c_str());
    }
    return *published.load(std::memory_order_acquire);
  }

 private:
  template <typename Function>
  static void Resolve(const platform::SharedLibrary& from, const char* name, Function& slot) {
    slot = reinterpret_cast<Function>(from.Symbol(name));
  }

  std::unique_ptr<platform::SharedLibrary> Load(FunctionTable& resolved) {
    std::string path;
    try {
      path = explicitPath ? *explicitPath : ConfiguredKilnLibraryPath(*registry);
      auto loaded = std::make_unique<platform::SharedLibrary>(path);
      Resolve(*loaded, "KILN_Initialize", resolved.initialize);
      Resolve(*loaded, "KILN_Deinit", resolved.deinit);
      Resolve(*loaded, "KILN_GetVersionInfo", resolved.getVersionInfo);
      Resolve(*loaded, "KILN_Install2", resolved.install2);
      Resolve(*loaded, "KILN_Uninstall", resolved.uninstall);
      Resolve(*loaded, "KILN_CreateSession", resolved.createSession);
      Resolve(*loaded, "KILN_CloseSession", resolved.closeSession);
      Resolve(*loaded, "KILN_ForceCloseSession", resolved.forceCloseSession);
      Resolve(*loaded, "KILN_SendAndRecv2", resolved.sendAndRecv2);
      return loaded;
    } catch (const std::exception& e) {
      const std::string text = std::string("KILN library unavailable: ") + e.what();
      KS_LOG(AuthenticateLoggerService::Instance(), kLogError, "TEE-CALL", "%s", text.c_str());
      throw KilnLibraryException(text, path);
    }
  }

  const std::optional<std::string> explicitPath;
  platform::Registry* const registry;
  keystone::Mutex mutex;  // Guards the members below.
  std::unique_ptr<platform::SharedLibrary> library GUARDED_BY(mutex);
  FunctionTable table GUARDED_BY(mutex);
  // Points at table once it is complete; the table never changes afterwards.
  std::atomic<const FunctionTable*> published{nullptr};
};

std::string ConfiguredKilnLibraryPath(platform::Registry& registry) {
  std::optional<std::string> configured =
      platform::ReadRegistryString(registry, keystone::kEngineKey, kKilnLibraryPathValue);
  if (configured && !configured->empty()) return *configured;
  std::string directory = platform::ExecutableDirectory();
  if (directory.empty() || directory.back() != '/') directory += '/';
  const std::string beside = directory + kDefaultKilnLibraryName;
  std::error_code error;
  if (std::filesystem::exists(beside, error)) return beside;
  // The installed layout: the library directory, found from the program's own.
  const std::string installed =
      directory + KEYSTONE_KILN_RELATIVE_DIR + "/" + kDefaultKilnLibraryName;
  if (std::filesystem::exists(installed, error)) return installed;
  return beside;
}

SharedKilnLibrary::SharedKilnLibrary(std::string libraryPath)
    : impl(std::make_unique<Impl>(std::move(libraryPath), nullptr)) {}

SharedKilnLibrary::SharedKilnLibrary(platform::Registry& registry)
    : impl(std::make_unique<Impl>(std::nullopt, &registry)) {}

SharedKilnLibrary::~SharedKilnLibrary() = default;

void SharedKilnLibrary::Load() { Functions(); }

std::string SharedKilnLibrary::LibraryPath() { return impl->Path(); }

const SharedKilnLibrary::FunctionTable& SharedKilnLibrary::Functions() { return impl->Functions(); }

KILN_STATUS SharedKilnLibrary::Initialize(KILN_HANDLE* handle, void* context, uint32_t flags) {
  return Functions().initialize(handle, context, flags);
}

KILN_STATUS SharedKilnLibrary::Deinit(KILN_HANDLE handle) { return Functions().deinit(handle); }

KILN_STATUS SharedKilnLibrary::GetVersionInfo(KILN_HANDLE handle, KILN_VERSION_INFO* versionInfo) {
  return Functions().getVersionInfo(handle, versionInfo);
}

KILN_STATUS SharedKilnLibrary::Install2(KILN_HANDLE handle, const char* appletId,
                                        const char* appletPath) {
  return Functions().install2(handle, appletId, appletPath);
}

KILN_STATUS SharedKilnLibrary::Uninstall(KILN_HANDLE handle, const char* appletId) {
  return Functions().uninstall(handle, appletId);
}

KILN_STATUS SharedKilnLibrary::CreateSession(KILN_HANDLE handle, const char* appletId,
                                             uint32_t flags, const KILN_INIT_BUFFER* initBuffer,
                                             KILN_SESSION_HANDLE* session) {
  return Functions().createSession(handle, appletId, flags, initBuffer, session);
}

KILN_STATUS SharedKilnLibrary::CloseSession(KILN_HANDLE handle, KILN_SESSION_HANDLE* session) {
  return Functions().closeSession(handle, session);
}

KILN_STATUS SharedKilnLibrary::ForceCloseSession(KILN_HANDLE handle, KILN_SESSION_HANDLE* session) {
  return Functions().forceCloseSession(handle, session);
}

KILN_STATUS SharedKilnLibrary::SendAndRecv2(KILN_HANDLE handle, KILN_SESSION_HANDLE session,
                                            uint32_t commandId, KILN_COMM_BUFFER* buffer,
                                            uint32_t* responseCode) {
  return Functions().sendAndRecv2(handle, session, commandId, buffer, responseCode);
}

}  // namespace mfab
