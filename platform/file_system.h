#pragma once

// Whole-file access to the local file system, shaped by what the engine's data directory needs.
// Paths are narrow UTF-8 strings with '/' as the separator; nothing here interprets them beyond
// handing them to the operating system.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/directory.h"

namespace platform {

// Thread-safe: calls share no state beyond the file system itself. Every failure is a
// std::system_error carrying the operating system's error and "operation: path" as context.
class FileSystem {
 public:
  static constexpr size_t kNoLimit = std::numeric_limits<size_t>::max();

  virtual ~FileSystem() = default;

  // Replaces the file's whole content atomically, as Directory::ReplaceFile does in the file's
  // directory: a failure at any step leaves the previous file whole. Throws FileWriteError naming
  // the failed step.
  virtual void WriteFile(const std::string& path, std::span<const uint8_t> bytes) = 0;

  // Opens an existing directory. The last component of the path is not followed when it is a
  // symbolic link (std::errc::too_many_symbolic_link_levels); the ones before it are the
  // caller's to trust.
  virtual std::unique_ptr<Directory> OpenDirectory(const std::string& path) = 0;

  // The whole content of a regular file; the last component is not followed when it is a link.
  // Throws std::system_error when the file cannot be opened or read, and with
  // std::errc::file_too_large when it holds more than maxBytes.
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

  // Removes one file (not a directory); a link is removed itself.
  virtual void DeleteFile(const std::string& path) = 0;

  // The last-write time of a regular file; a link is not followed.
  virtual FileTime LastWriteTime(const std::string& path) = 0;
};

// The operating system's file system.
FileSystem& SystemFileSystem();

}  // namespace platform
