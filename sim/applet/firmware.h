#pragma once

// The simulated firmware's own persistent state, kept in one directory (default
// <state directory>/kiln-sim, or $KILN_SIM_STATE_DIR), created 0700:
//
//   device.key  32 random bytes made at first use (0600): the root of every sealing key
//   firmware    "version=", "platform=", "svn=" lines: what KILN_GetVersionInfo reports and the
//               security version new data is sealed under
//   applets     one "<applet id> <image path>" line per installed applet
//   versions    the replay-protected version table: "generation", "reserved", "data-svn" and
//               one "file <name> <version>" line per stored blob
//   faults      the fault plan (fault_plan.h)
//   lock        the advisory lock every read-modify-write holds
//
// Layouts are in docs/applet-protocol.md. The applet itself keeps nothing here: its data lives in
// sealed blobs at the engine, and the version table only records which version of each blob is
// the current one, as a TEE's replay-protected memory would.

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/mutex.h"
#include "sim/applet/fault_plan.h"
#include "sim/applet/sealing.h"
#include "sim/applet/state_files.h"

namespace kilnsim {

// Environment variable that names the state directory instead of the default.
inline constexpr char kStateDirEnv[] = "KILN_SIM_STATE_DIR";
inline constexpr char kDefaultFirmwareVersion[] = "1.0.0.1";
inline constexpr char kDefaultPlatformVersion[] = "kiln-sim 1.0";
inline constexpr uint32_t kDefaultSvn = 1;

struct FirmwareOptions {
  // How long an update of a state file waits for another process holding the lock.
  std::chrono::milliseconds lockTimeout{5'000};
  // Flush every state file to the disk before going on; off only where state is thrown away
  // (the fuzz target).
  bool durableWrites = true;
};

struct FirmwareInfo {
  std::string version = kDefaultFirmwareVersion;
  std::string platform = kDefaultPlatformVersion;
  uint32_t svn = kDefaultSvn;
};

struct VersionTable {
  uint64_t generation = 0;  // the last confirmed change
  uint64_t reserved = 0;    // the highest generation handed out
  uint32_t dataSvn = 0;     // security version of the stored data; 0 before anything was stored
  std::map<std::string, uint64_t> versions;

  // Whether a blob of this name and version may be used: not older than the table's entry, and
  // for a name without an entry, written after the last confirmed change.
  bool Accepts(const std::string& name, uint64_t version) const;
};

// One confirmed change of the stored data, applied to the table atomically.
struct VersionChange {
  uint64_t generation = 0;
  bool removeAll = false;                   // applied first
  std::vector<std::string> removePrefixes;  // then these
  std::map<std::string, uint64_t> set;      // then these
  std::optional<uint32_t> dataSvn;          // set when given; else kept (or taken from sealSvn)
  uint32_t sealSvn = 0;                     // the SVN the change's blobs were sealed under
};

// The state of one directory, shared by every handle of the process that uses it. Thread-safe.
// Methods throw std::system_error or std::runtime_error when the state cannot be read or written.
class Firmware {
 public:
  // Creates the directory (0700), the device key and the firmware file when missing. faultPlan is
  // the directory's fault injector when it must outlive this object (its counts and durations
  // run on across re-initialisations); without one the firmware makes its own.
  Firmware(std::string stateDirectory, FirmwareOptions options = {},
           std::shared_ptr<FaultInjector> faultPlan = nullptr);
  Firmware(const Firmware&) = delete;
  Firmware& operator=(const Firmware&) = delete;

  // $KILN_SIM_STATE_DIR, or the engine's state directory + "/kiln-sim".
  static std::string DefaultDirectory();

  const std::string& Directory() const { return directory; }
  FirmwareInfo Info();
  // The firmware file's SVN, raised to the fault plan's when that is higher.
  uint32_t EffectiveSvn();
  FaultInjector& Faults() { return *faults; }

  // The image path an applet was installed from; nullopt when it is not installed.
  std::optional<std::string> InstalledImage(const std::string& appletId);
  void Install(const std::string& appletId, const std::string& imagePath);
  void Uninstall(const std::string& appletId);

  SealingKey KeyFor(uint32_t svn);

  VersionTable Versions();
  // A generation no other change has used, recorded before it is handed out.
  uint64_t ReserveGeneration();
  void Commit(const VersionChange& change);

  // Milliseconds since this process first used the directory: the firmware's clock in log lines.
  uint64_t UptimeMs() const;

 private:
  std::string PathOf(const char* file) const { return directory + "/" + file; }
  VersionTable ReadVersionsFile();
  void WriteVersionsFile(const VersionTable& table);
  std::map<std::string, std::string> ReadApplets();
  void WriteApplets(const std::map<std::string, std::string>& applets);

  const std::string directory;
  const FirmwareOptions options;
  const std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
  const std::shared_ptr<FaultInjector> faults;
  SealingKey deviceKey{};

  keystone::Mutex mutex;  // guards the caches below
  FileStamp infoStamp GUARDED_BY(mutex);
  FirmwareInfo info GUARDED_BY(mutex);
  FileStamp versionsStamp GUARDED_BY(mutex);
  VersionTable versionsCache GUARDED_BY(mutex);
  std::map<uint32_t, SealingKey> keys GUARDED_BY(mutex);
};

// Text forms of the firmware and version files (keystonectl's sim command reads and edits the
// same text). Parsing throws std::runtime_error naming the bad line.
FirmwareInfo ParseFirmwareFile(const std::string& text);
std::string FormatFirmwareFile(const FirmwareInfo& info);
VersionTable ParseVersionsFile(const std::string& text);
std::string FormatVersionsFile(const VersionTable& table);

}  // namespace kilnsim
