#pragma once

// A directory held open. Its entries are reached relative to it, by plain names, and no entry is
// ever followed when it is a symbolic link: once the directory is open, renaming or replacing any
// component of the path it was opened by redirects nothing.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <span>
#include <string>
#include <system_error>
#include <vector>

namespace platform {

// Last-write time of a file, nanoseconds on the system clock.
using FileTime = std::chrono::sys_time<std::chrono::nanoseconds>;

// The step of a file replacement that failed; callers report each one differently. A failure
// before kRename leaves the previous file untouched; a failure of kFlushDirectory comes after the
// new content took its place.
enum class WriteStep { kCreate, kWrite, kFlush, kRename, kFlushDirectory };

// Thrown by Directory::ReplaceFile and FileSystem::WriteFile; code() is the operating system's
// error.
class FileWriteError : public std::system_error {
 public:
  FileWriteError(WriteStep failedStep, std::error_code code, const std::string& what)
      : std::system_error(code, what), step(failedStep) {}
  WriteStep Step() const { return step; }

 private:
  WriteStep step;
};

// Who controls a directory.
struct DirectoryAccess {
  // Owned by the user this process runs as.
  bool ownedByProcessUser = false;
  // Another user may create, rename or remove entries in it (group or world write permission).
  bool writableByOthers = false;
};

// Thread-safe: calls share nothing but the open directory. Names are single path components: one
// that is empty, ".", "..", or holds a '/' or a NUL fails with std::errc::invalid_argument. Every
// failure is a std::system_error carrying the operating system's error and "operation: name" as
// context; an entry that is a symbolic link fails with std::errc::too_many_symbolic_link_levels
// wherever it would have to be followed.
class Directory {
 public:
  static constexpr size_t kNoLimit = std::numeric_limits<size_t>::max();

  virtual ~Directory() = default;

  virtual DirectoryAccess Access() = 0;

  // Opens the subdirectory name; when it is missing and create is set, creates it first (mode
  // 0700). Throws std::errc::not_a_directory for an entry that is not a directory.
  virtual std::unique_ptr<Directory> OpenDirectory(const std::string& name, bool create) = 0;

  // Replaces the file's whole content atomically: a new temporary file in this directory (mode
  // 0600), every byte written, flushed to stable storage, renamed over name, and this directory
  // flushed. A reader, or the next start after a crash, finds the previous content or the new
  // one, never a mix. A symbolic link at name is replaced, not followed. Throws FileWriteError
  // naming the failed step; the temporary is removed on every failure.
  virtual void ReplaceFile(const std::string& name, std::span<const uint8_t> bytes) = 0;

  // The whole content of a regular file. Throws std::system_error, with
  // std::errc::file_too_large when it holds more than maxBytes.
  virtual std::vector<uint8_t> ReadFile(const std::string& name, size_t maxBytes = kNoLimit) = 0;

  // Whether anything (file, directory, link) is there. Never throws.
  virtual bool Exists(const std::string& name) = 0;

  // The names of the entries (without "." and ".."), in no particular order.
  virtual std::vector<std::string> List() = 0;

  // Removes one entry that is not a directory (a link is removed itself).
  virtual void DeleteFile(const std::string& name) = 0;

  // The last-write time of a regular file.
  virtual FileTime LastWriteTime(const std::string& name) = 0;

  // Removes the temporaries that a ReplaceFile of another process, killed midway, left behind;
  // returns how many. Temporaries of this process are left alone.
  virtual size_t RemoveInterruptedWrites() = 0;
};

}  // namespace platform
