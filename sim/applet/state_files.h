#pragma once

// File primitives of the simulated firmware's state directory. Every file is replaced whole
// (temporary in the same directory, flushed, renamed over the old one, directory flushed), so a
// reader in another process sees the old or the new content, never a mix. Read-modify-write
// sequences hold StateLock, an advisory lock on one lock file shared by every process that uses
// the directory.

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kilnsim {

// The whole content of a file, or nullopt when it does not exist. Throws std::system_error on
// other failures and std::runtime_error when the file is larger than maxSize.
std::optional<std::string> ReadSmallFile(const std::string& path, size_t maxSize);

// Replaces path with content, created with the given mode; with durable set, the file and its
// directory are flushed to the disk before this returns. Throws std::system_error.
void ReplaceFile(const std::string& path, std::string_view content, mode_t mode,
                 bool durable = true);

// Identity of a file's current content, for cheap change detection (a replaced file always gets
// a new inode).
struct FileStamp {
  bool exists = false;
  uint64_t device = 0;
  uint64_t inode = 0;
  int64_t size = 0;
  int64_t modifiedNs = 0;
  bool operator==(const FileStamp&) const = default;
};
FileStamp StampOf(const std::string& path);

// Holds an exclusive advisory lock on lockPath (created 0600 when missing) for its lifetime.
// Threads of one process exclude each other too, since every holder opens its own descriptor.
class StateLock {
 public:
  // Waits at most timeout; throws std::runtime_error when the lock stays taken, std::system_error
  // when the file cannot be opened.
  StateLock(const std::string& lockPath, std::chrono::milliseconds timeout);
  ~StateLock();
  StateLock(const StateLock&) = delete;
  StateLock& operator=(const StateLock&) = delete;

 private:
  int fd = -1;
};

}  // namespace kilnsim
