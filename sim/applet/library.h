#pragma once

// The simulated KILN library: handles, sessions and the nine functions of applet/kiln.h, with the
// faults of each state directory applied around every call. Handle and session values are opaque
// numbers looked up in tables, never dereferenced, so a stale or invented value only earns an
// error status.
//
// Thread-safe: any function may be called from any thread. Exchanges on one session run one at a
// time; different sessions run in parallel. No lock is held while a call hangs on purpose.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "applet/kiln.h"
#include "common/mutex.h"
#include "sim/applet/applet.h"
#include "sim/applet/firmware.h"

namespace kilnsim {

class SimLibrary {
 public:
  SimLibrary() = default;
  ~SimLibrary();
  SimLibrary(const SimLibrary&) = delete;
  SimLibrary& operator=(const SimLibrary&) = delete;

  // The instance behind the exported functions.
  static SimLibrary& Instance();

  // Each returns the KILN status; none throws.
  KILN_STATUS Initialize(KILN_HANDLE* handle, void* context, uint32_t flags);
  KILN_STATUS Deinit(KILN_HANDLE handle);
  KILN_STATUS GetVersionInfo(KILN_HANDLE handle, KILN_VERSION_INFO* versionInfo);
  KILN_STATUS Install2(KILN_HANDLE handle, const char* appletId, const char* appletPath);
  KILN_STATUS Uninstall(KILN_HANDLE handle, const char* appletId);
  KILN_STATUS CreateSession(KILN_HANDLE handle, const char* appletId, uint32_t flags,
                            const KILN_INIT_BUFFER* initBuffer, KILN_SESSION_HANDLE* session);
  KILN_STATUS CloseSession(KILN_HANDLE handle, KILN_SESSION_HANDLE* session, KilnFunction function);
  KILN_STATUS SendAndRecv2(KILN_HANDLE handle, KILN_SESSION_HANDLE session, uint32_t commandId,
                           KILN_COMM_BUFFER* buffer, uint32_t* responseCode);

 private:
  struct Session {
    uintptr_t handle = 0;
    // The session's turn: held for a whole exchange (which reads and writes firmware state) so
    // that a session's exchanges run in order. Nothing called under it takes a library lock.
    keystone::Mutex mutex;
    std::unique_ptr<Applet> applet GUARDED_BY(mutex);
  };

  // The firmware of a directory, shared by all handles on it.
  std::shared_ptr<Firmware> FirmwareFor(const std::string& directory);
  std::shared_ptr<Firmware> FirmwareOf(KILN_HANDLE handle);
  // The faults of this call, after waiting out an injected hang; nullopt when the call may run.
  std::optional<KILN_STATUS> ApplyFaults(Firmware& firmware, KilnFunction function,
                                         CallFaults* faults = nullptr);
  void Hang(std::chrono::milliseconds duration);

  keystone::Mutex mutex;
  std::map<uintptr_t, std::shared_ptr<Firmware>> handles GUARDED_BY(mutex);
  std::map<uintptr_t, std::shared_ptr<Session>> sessions GUARDED_BY(mutex);
  std::map<std::string, std::weak_ptr<Firmware>> firmwares GUARDED_BY(mutex);
  // Kept for the library's life, so that a fault plan's counts and durations run on when the
  // last handle of a directory goes and its firmware object with it.
  std::map<std::string, std::shared_ptr<FaultInjector>> faultPlans GUARDED_BY(mutex);
  uintptr_t nextId GUARDED_BY(mutex) = 0x1000;
  bool stopping GUARDED_BY(mutex) = false;
  std::condition_variable wake;  // ends injected hangs early when the library is unloaded
};

}  // namespace kilnsim
