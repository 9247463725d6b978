#include "platform/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/paths.h"
#include "platform/posix/error.h"
#include "platform/posix/unique_fd.h"

namespace platform {
namespace {

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

[[noreturn]] void ThrowWrite(WriteStep step, const char* what, const std::string& path) {
  const int code = errno;
  throw FileWriteError(step, std::error_code(code, std::generic_category()),
                       std::string(what) + ": " + path);
}

class PosixFileSystem final : public FileSystem {
 public:
  void WriteFile(const std::string& path, std::span<const uint8_t> bytes) override {
    // O_NONBLOCK keeps a FIFO planted under the name from blocking us; files ignore it.
    posix::UniqueFd fd(
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, 0600));
    if (fd.get() < 0) ThrowWrite(WriteStep::kCreate, "open", path);
    size_t written = 0;
    while (written < bytes.size()) {
      const ssize_t n = ::write(fd.get(), bytes.data() + written, bytes.size() - written);
      if (n < 0) {
        if (errno == EINTR) continue;
        ThrowWrite(WriteStep::kWrite, "write", path);
      }
      if (n == 0) {
        errno = EIO;
        ThrowWrite(WriteStep::kWrite, "write", path);
      }
      written += static_cast<size_t>(n);
    }
    if (::fsync(fd.get()) != 0) ThrowWrite(WriteStep::kFlush, "fsync", path);
    if (fd.Close() != 0) ThrowWrite(WriteStep::kFlush, "close", path);
  }

  std::vector<uint8_t> ReadFile(const std::string& path, size_t maxBytes) override {
    posix::UniqueFd fd(posix::ThrowIfFailed(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK),
                                            "open", path));
    struct stat st {};
    posix::ThrowIfFailed(::fstat(fd.get(), &st), "fstat", path);
    if (!S_ISREG(st.st_mode)) {
      errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
      posix::ThrowErrno("read", path);
    }
    std::vector<uint8_t> content;
    if (st.st_size > 0 && static_cast<uint64_t>(st.st_size) <= maxBytes) {
      content.reserve(static_cast<size_t>(st.st_size));
    }
    // Read to the end rather than trusting the size: the file may change under us.
    uint8_t buffer[16384];
    for (;;) {
      const ssize_t n = ::read(fd.get(), buffer, sizeof(buffer));
      if (n < 0) {
        if (errno == EINTR) continue;
        posix::ThrowErrno("read", path);
      }
      if (n == 0) break;
      if (static_cast<size_t>(n) > maxBytes - content.size()) {
        errno = EFBIG;
        posix::ThrowErrno("read", path);
      }
      content.insert(content.end(), buffer, buffer + n);
    }
    return content;
  }

  bool Exists(const std::string& path) override {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
  }

  void CreateDirectories(const std::string& path) override { platform::CreateDirectories(path); }

  std::vector<std::string> ListDirectory(const std::string& path) override {
    const std::string target = path.empty() ? "." : path;
    std::unique_ptr<DIR, DirCloser> dir(::opendir(target.c_str()));
    if (!dir) posix::ThrowErrno("opendir", target);
    std::vector<std::string> names;
    for (;;) {
      errno = 0;
      const dirent* entry = ::readdir(dir.get());
      if (entry == nullptr) {
        if (errno != 0) posix::ThrowErrno("readdir", target);
        break;
      }
      if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
      names.emplace_back(entry->d_name);
    }
    return names;
  }

  void DeleteFile(const std::string& path) override {
    posix::ThrowIfFailed(::unlink(path.c_str()), "unlink", path);
  }

  FileTime LastWriteTime(const std::string& path) override {
    struct stat st {};
    posix::ThrowIfFailed(::stat(path.c_str(), &st), "stat", path);
    const auto since =
        std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec);
    return FileTime(std::chrono::duration_cast<std::chrono::nanoseconds>(since));
  }
};

}  // namespace

FileSystem& SystemFileSystem() {
  static PosixFileSystem fileSystem;
  return fileSystem;
}

}  // namespace platform
