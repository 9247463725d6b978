#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/file_system.h"
#include "tests/fakes/locked.h"

namespace keystone::testing {

// An in-memory platform::FileSystem with POSIX-like behaviour ("/" always exists, a file needs
// its parent directory, errors carry errno values) and failure injection. Every write stamps the
// file with a logical clock one second after the previous change, so later writes are newer.
// Writes replace a file's content whole, as the real ones do: a failed step before the rename
// leaves the previous content. Directories opened with OpenDirectory work on the same nodes by
// path and never outlive the file system. Thread-safe.
class MemoryFileSystem final : public platform::FileSystem {
 public:
  enum class Op {
    kCreate,
    kWrite,
    kFlush,
    kRename,
    kFlushDirectory,
    kRead,
    kCreateDirectories,
    kList,
    kDelete,
    kTime
  };

  void WriteFile(const std::string& path, std::span<const uint8_t> bytes) override;
  std::unique_ptr<platform::Directory> OpenDirectory(const std::string& path) override;
  std::vector<uint8_t> ReadFile(const std::string& path, size_t maxBytes = kNoLimit) override;
  bool Exists(const std::string& path) override;
  void CreateDirectories(const std::string& path) override;
  std::vector<std::string> ListDirectory(const std::string& path) override;
  void DeleteFile(const std::string& path) override;
  platform::FileTime LastWriteTime(const std::string& path) override;

  // Makes every later op on exactly this path fail with the code (the write steps kCreate to
  // kFlushDirectory are named by the file's path). Only a failing kFlushDirectory leaves the new
  // content in place.
  void FailOn(Op op, const std::string& path, std::errc code);
  // Who controls the directory at path (owned by the process user and private by default).
  void SetAccess(const std::string& path, platform::DirectoryAccess access);

  // Test set-up shortcuts; they bypass failure injection and create missing parents.
  void PutFile(const std::string& path, const std::string& content);
  void SetLastWriteTime(const std::string& path, platform::FileTime time);

  bool HasFile(const std::string& path) const;
  // Content of a file; throws std::out_of_range when there is none.
  std::vector<uint8_t> Content(const std::string& path) const;
  // Every path written through WriteFile, in call order (failed writes included).
  std::vector<std::string> WriteLog() const { return LockedCopy(mutex, writeLog); }

 private:
  class MemoryDirectory;

  struct Node {
    bool directory = false;
    std::vector<uint8_t> content;
    platform::FileTime mtime{};
    platform::DirectoryAccess access{true, false};
  };

  static std::string Normalize(const std::string& path);
  static std::string ParentOf(const std::string& path);
  void ThrowIfInjectedLocked(Op op, const std::string& path) const;
  // The node at path after injected failures of op; throws ENOENT naming `what` when none.
  const Node& FindLocked(Op op, const std::string& path, const char* what) const;
  // The directory at path, without failure injection; ENOENT or ENOTDIR naming `what`.
  const Node& DirectoryLocked(const std::string& path, const char* what) const;
  void EnsureDirectoriesLocked(const std::string& path);
  platform::FileTime TickLocked();

  mutable std::mutex mutex;
  std::map<std::string, Node> nodes;
  std::map<std::pair<Op, std::string>, std::errc> failures;
  std::vector<std::string> writeLog;
  int64_t clockSeconds = 1'700'000'000;
};

}  // namespace keystone::testing
