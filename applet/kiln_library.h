#pragma once

// The host-interface library ("KILN") as the engine calls it: the nine functions of applet/kiln.h
// behind an interface, so that the channel can run on the real library, the simulated applet or a
// test fake alike.

#include <memory>
#include <string>

#include "applet/kiln.h"

namespace platform {
class Registry;
}

namespace mfab {

// The nine library functions with the arguments of applet/kiln.h. Implementations are called from
// many threads at once (every call runs on a worker thread of its own).
class IKilnLibrary {
 public:
  virtual ~IKilnLibrary() = default;

  virtual KILN_STATUS Initialize(KILN_HANDLE* handle, void* context, uint32_t flags) = 0;
  virtual KILN_STATUS Deinit(KILN_HANDLE handle) = 0;
  virtual KILN_STATUS GetVersionInfo(KILN_HANDLE handle, KILN_VERSION_INFO* versionInfo) = 0;
  virtual KILN_STATUS Install2(KILN_HANDLE handle, const char* appletId,
                               const char* appletPath) = 0;
  virtual KILN_STATUS Uninstall(KILN_HANDLE handle, const char* appletId) = 0;
  virtual KILN_STATUS CreateSession(KILN_HANDLE handle, const char* appletId, uint32_t flags,
                                    const KILN_INIT_BUFFER* initBuffer,
                                    KILN_SESSION_HANDLE* session) = 0;
  virtual KILN_STATUS CloseSession(KILN_HANDLE handle, KILN_SESSION_HANDLE* session) = 0;
  virtual KILN_STATUS ForceCloseSession(KILN_HANDLE handle, KILN_SESSION_HANDLE* session) = 0;
  virtual KILN_STATUS SendAndRecv2(KILN_HANDLE handle, KILN_SESSION_HANDLE session,
                                   uint32_t commandId, KILN_COMM_BUFFER* buffer,
                                   uint32_t* responseCode) = 0;
};

// REG_SZ value under keystone::kEngineKey naming the library file to load.
inline constexpr char kKilnLibraryPathValue[] = "KILNLibraryPath";
// File loaded from the executable's directory when the value is absent or empty.
inline constexpr char kDefaultKilnLibraryName[] = "libkiln-sim.so";

// A library loaded with the system loader. Nothing is loaded until the first call (or Load());
// a failed load is logged and thrown as KilnLibraryException, and the next call tries again.
// Thread-safe; the library stays loaded as long as this object lives.
class SharedKilnLibrary : public IKilnLibrary {
 public:
  // Loads the library at libraryPath.
  explicit SharedKilnLibrary(std::string libraryPath);
  // Loads the library that kKilnLibraryPathValue names, read from the registry at the first call;
  // the registry must outlive this object.
  explicit SharedKilnLibrary(platform::Registry& registry);
  ~SharedKilnLibrary() override;
  SharedKilnLibrary(const SharedKilnLibrary&) = delete;
  SharedKilnLibrary& operator=(const SharedKilnLibrary&) = delete;

  // Loads the library and resolves all nine functions now unless done already.
  // Throws KilnLibraryException naming the file or the missing function and the loader's reason.
  void Load();
  // The file loaded (or to be loaded); resolves the registry value when not loaded yet.
  std::string LibraryPath();

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
  struct FunctionTable;
  class Impl;
  // The resolved functions; loads on the first call. Throws KilnLibraryException.
  const FunctionTable& Functions();

  std::unique_ptr<Impl> impl;
};

// The library path the registry configures: kKilnLibraryPathValue under the engine key, or
// kDefaultKilnLibraryName in the directory of the running executable, or in the installed library
// directory relative to it when it is not there.
std::string ConfiguredKilnLibraryPath(platform::Registry& registry);

}  // namespace mfab
