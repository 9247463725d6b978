#pragma once

// The data directory: where the applet's sealed blobs are kept, one file per blob.
//
//   <root>             the DataDir registry value (one trailing '/' removed), else the state
//                      directory
//   <root>/Data        the base data directory, created on demand with its parents
//   <root>/Data/<full name>.SDS
//                      one blob, exactly its bytes (no header, length or checksum);
//                      full name "policy" is stored as "_Policy", "enrollmentData" as
//                      "_EnrollmentData"
//   <root>/Logs        trace log files, pruned at start to the two newest per prefix
//
// A full name is <parent's full name>$<own name>. Names come from the applet and are not
// trusted: one that is empty, holds '/', ".." or a NUL is refused with GeneralException.
//
// Only the engine controls these directories: the root must be an absolute path, and the root
// and Data must be directories (not links) owned by the engine's user that no other user may
// write to; otherwise every operation is refused. Files are reached relative to the opened Data
// directory, never through a link, and replaced atomically (temporary, flush, rename, directory
// flush), so a crash or a full disk leaves each file as it was or as it was meant to become.

#include <cstdint>
#include <memory>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/directory.h"
#include "platform/file_system.h"
#include "tlv/piggyback_block.h"
#include "tlv/tlv.h"

namespace platform {
class Registry;
}  // namespace platform

namespace mfab {

class SaveRequest;
class DeleteLevel1Request;

// An ordered set of full file paths, filled from a wildcard pattern and consumed by DeleteFiles.
// Keeps the listed directory open, so deletions happen in the directory that was listed. Not
// thread-safe; a local object of one operation.
class FileManager {
 public:
  explicit FileManager(platform::FileSystem& fileSystemToUse = platform::SystemFileSystem());

  // Replaces the set with the paths of the directory's entries (files and directories alike)
  // whose names match the pattern's last component. '*' matches any run of characters, '?'
  // exactly one; the match is case-sensitive. No match, or a directory that does not exist,
  // gives an empty set. Other failures log "FindFirstFile failed (%#X)" and throw
  // std::runtime_error "FindFirstFile failed".
  void EnumerateFiles(const std::string& pattern);
  // The same over a directory already open; directoryPart (ending in '/') is put before each
  // name in the set.
  void EnumerateFiles(std::shared_ptr<platform::Directory> listed, const std::string& directoryPart,
                      std::string_view namePattern);

  // Deletes every path in set order; each failure is logged and the rest still attempted.
  // True when the set is empty or every deletion succeeded.
  bool DeleteFiles();

  const std::set<std::string>& Files() const { return files; }
  // Takes a path out of the set, so DeleteFiles keeps that file.
  void Remove(const std::string& path) { files.erase(path); }

 private:
  [[noreturn]] static void ThrowListingFailure(const std::system_error& e);

  platform::FileSystem* fileSystem;
  std::shared_ptr<platform::Directory> directory;  // the one listed; null before a listing
  std::string prefix;                              // its path, as put before the names
  std::set<std::string> files;
};

// Matches a name against a pattern of '*' and '?' wildcards (case-sensitive).
bool MatchesWildcard(std::string_view pattern, std::string_view name);

// The data directory's operations. Holds no state beyond its collaborators: each call finds the
// root afresh. Thread-safe (callers serialize changes to the same files). Throws as each method
// says; file failures are GeneralException with the step's text.
class DataController {
 public:
  // Longest secure-data file read; a blob never exceeds one TLV value, so anything near this
  // is not of the applet's making.
  static constexpr size_t kMaxSecureDataFileSize = 1 << 20;

  DataController(platform::Registry& registryToUse, platform::FileSystem& fileSystemToUse);
  DataController(const DataController&) = delete;
  DataController& operator=(const DataController&) = delete;

  // The root. Throws GeneralException "No ProgramData Folder" when there is no DataDir value
  // and the state directory cannot be resolved.
  std::string GetDataDirectory() const;
  // root + "/Data", created with its parents when missing; throws std::runtime_error
  // "Cannot create MfaBaseDataDirectory directory" when that fails or when the root or Data is
  // refused (an empty or relative root, a link, another owner, writable by others), after an
  // error log line that says why.
  std::string GetBaseDataDirectory() const;
  // The file of a full name (creates the base directory). Throws GeneralException for a name
  // that could leave the base directory.
  std::string GetSecureDataFilePath(const std::string& fullName) const;

  // Whether the file of a full name exists.
  bool SecureDataFileExists(const std::string& fullName) const;
  // Replaces the file's content atomically; GeneralException "CreateFile failed" (the temporary
  // could not be made), "WriteFile failed" or "FlushFileBuffers failed" (flush, rename or
  // directory flush). Any failure but the last leaves the previous content.
  void WriteSecureDataFile(const std::string& fullName, std::span<const uint8_t> bytes) const;
  // The whole content, or empty when the file is absent; GeneralException "ReadFile failed".
  Bytes ReadSecureDataFile(const std::string& fullName) const;

  // Writes _masterVersions, then the second file, then the first; the first failure propagates
  // and the files written before it stay written.
  void SaveSecureDataFiles(const SaveRequest& request) const;
  void SaveSecureDataFiles(std::span<const uint8_t> masterVersions, const std::string& secondName,
                           std::span<const uint8_t> secondData, const std::string& firstName,
                           std::span<const uint8_t> firstData) const;
  // Rewrites _masterVersions (false and nothing deleted when that fails), then deletes every
  // file whose name starts with the prefix. A prefix holding '/', ".." or a NUL is refused with
  // GeneralException before anything changes.
  bool DeleteLevel1Files(const DeleteLevel1Request& request) const;
  bool DeleteLevel1Files(std::span<const uint8_t> masterVersions, const std::string& prefix) const;
  bool DeleteAllSecureDataFiles() const;
  // Deletes every user's action data (every file whose name holds "$A").
  bool DeleteUsersStoredSecureDataFiles() const;
  FileManager EnumerateSecureDataFiles() const;

  // Removes the temporaries that writes of an earlier engine process, killed midway, left in the
  // base directory; logs and returns how many. Never throws.
  size_t RemoveInterruptedWrites() const;

  // Keeps the two newest trace logs of each prefix under root + "/Logs" and deletes the others.
  // Never throws; false when a prefix could not be handled.
  bool DeleteEtlLogs() const;
  // The last-write time of a file; false (and a log line) when it cannot be read.
  bool getTimeFromFile(const std::string& path, platform::FileTime& lastWriteTime) const;

  platform::FileSystem& FileSystemInUse() const { return *fileSystem; }

 private:
  struct BaseDirectory {
    std::string path;
    std::unique_ptr<platform::Directory> directory;
  };

  // The root, opened and checked; created when missing if create is set, else null when
  // missing. Throws std::runtime_error "Cannot create MfaBaseDataDirectory directory".
  std::unique_ptr<platform::Directory> OpenDataRoot(const std::string& root, bool create) const;
  BaseDirectory OpenBaseDirectory() const;
  // Refuses a directory that the engine's user does not own or that others may write to.
  void CheckControlled(platform::Directory& directory, const std::string& path) const;
  [[noreturn]] void RefuseDirectory(const std::string& path, const char* reason) const;
  FileManager EnumerateBase(const std::string& namePattern) const;
  void DeleteOldLogs(const std::string& prefix) const;
  bool DeleteMatching(const std::string& namePattern) const;

  platform::Registry* registry;
  platform::FileSystem* fileSystem;
};

// A stored blob's logical name: an own name under an optional parent. Immutable.
class DataFile {
 public:
  // The controller is borrowed and must outlive the object.
  DataFile(const DataController& controllerToUse, std::shared_ptr<const DataFile> parentFile,
           std::string ownName);

  // The parent's full name, "$" and the own name; the own name alone without a parent.
  const std::string& GetFullName() const { return fullName; }
  const std::string& Name() const { return name; }
  const std::shared_ptr<const DataFile>& Parent() const { return parent; }

  // Whether the blob's file exists. Throws GeneralException for a refused name.
  bool Exists() const;
  // 0x7BB0 with the full name, then 0x7BB1 with the content (empty when the file is gone).
  Bytes Encode() const;

 private:
  const DataController* controller;
  std::shared_ptr<const DataFile> parent;
  std::string name;
  std::string fullName;
};

// Whole-file helper of the attestation component. The interface owns nothing else.
class IBinaryFileHandler {
 public:
  virtual ~IBinaryFileHandler() = default;
};

// Reads and writes whole files. Never throws; each operation reports success.
class BinaryFileHandler : public IBinaryFileHandler {
 public:
  // Largest file Read accepts.
  static constexpr size_t kMaxFileSize = 64u << 20;

  explicit BinaryFileHandler(platform::FileSystem& fileSystemToUse = platform::SystemFileSystem());

  // The whole file; false when it cannot be read, is empty or is larger than kMaxFileSize.
  virtual bool Read(const std::string& path, std::vector<uint8_t>& bytes);
  // Creates the directory with its parents, then writes directory + "/" + fileName.
  virtual bool Write(const std::string& directory, const std::string& fileName,
                     std::span<const uint8_t> bytes);
  // Replaces the file's content (an existing file is truncated first).
  virtual bool Write(const std::string& path, std::span<const uint8_t> bytes);

 private:
  platform::FileSystem* fileSystem;
};

}  // namespace mfab
