#pragma once

// Whole-file access to the local file system, shaped by what the engine's data directory needs.
// Paths are narrow UTF-8 strings with '/' as the separator; nothing here interprets them beyond
// handing them to the operating system.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <system_error>
#include <vector>

namespace platform {

// Last-write time of a file, nanoseconds on the system clock.
using FileTime = std::chrono::sys_time<std::chrono::nanoseconds>;

// The step of a whole-file write that failed; callers report each one differently.
enum class WriteStep { kCreate, kWrite, kFlush };

// Thrown by FileSystem::WriteFile; code() is the operating system's error.
class FileWriteError : public std::system_error {
 public:
  FileWriteError(WriteStep failedStep, std::error_code code, const std::string& what)
      : std::system_error(code, what), step(failedStep) {}
  WriteStep Step() const { return step; }

 private:
  WriteStep step;
};

// Thread-safe: calls share no state beyond the file system itself. Every failure is a
// std::system_error carrying the operating system's error and "operation: path" as context.
class FileSystem {
 public:
  static constexpr size_t kNoLimit = std::numeric_limits<size_t>::max();

  virtual ~FileSystem() = default;

  // Replaces the file's whole content: create (truncating an existing file), write every byte,
  // flush to stable storage, close. No temporary file: a failure after the create step leaves a
  // truncated or partial file. Throws FileWriteError naming the failed step.
  virtual void WriteFile(const std::string& path, std::span<const uint8_t> bytes) = 0;

  // The whole content. Throws std::system_error when the file cannot be opened or read, and
  // with std::errc::file_too_large when it holds more than maxBytes.
  virtual std::vector<uint8_t> ReadFile(const std::string& path, size_t maxBytes = kNoLimit) = 0;

  // Whether anything (file or directory) exists at the path. Never throws.
  virtual bool Exists(const std::string& path) = 0;

  // Creates the directory and its missing parents (mode 0700). Succeeds when it already exists
  // as a directory.
  virtual void CreateDirectories(const std::string& path) = 0;

  // The names of the directory's entries (files and directories alike, without "." and ".."),
  // in no particular order. Throws std::system_error; a missing directory gives
  // std::errc::no_such_file_or_directory.
  virtual std::vector<std::string> ListDirectory(const std::string& path) = 0;

  // Removes one file (not a directory).
  virtual void DeleteFile(const std::string& path) = 0;

  virtual FileTime LastWriteTime(const std::string& path) = 0;
};

// The operating system's file system.
FileSystem& SystemFileSystem();

}  // namespace platform
