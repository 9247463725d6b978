#include "sim/applet/state_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>
#include <system_error>
#include <thread>

#include "platform/posix/error.h"

namespace kilnsim {
namespace {

using platform::posix::ThrowIfFailed;

// Closes a descriptor when it goes out of scope.
class Fd {
 public:
  explicit Fd(int descriptor) : fd(descriptor) {}
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int Get() const { return fd; }

 private:
  int fd;
};

bool IsErrc(const std::system_error& error, std::errc value) {
  return error.code() == std::make_error_code(value);
}

std::string DirectoryOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::optional<std::string> ReadSmallFile(const std::string& path, size_t maxSize) {
  int descriptor = -1;
  try {
    descriptor = ThrowIfFailed(::open(path.c_str(), O_RDONLY | O_CLOEXEC), "open", path);
  } catch (const std::system_error& error) {
    if (IsErrc(error, std::errc::no_such_file_or_directory)) return std::nullopt;
    throw;
  }
  Fd fd(descriptor);
  std::string content;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ThrowIfFailed(::read(fd.Get(), buffer, sizeof(buffer)), "read", path);
    if (n == 0) break;
    if (content.size() + static_cast<size_t>(n) > maxSize) {
      throw std::runtime_error("state file " + path + " is larger than " + std::to_string(maxSize) +
                               " bytes");
    }
    content.append(buffer, static_cast<size_t>(n));
  }
  return content;
}

void ReplaceFile(const std::string& path, std::string_view content, mode_t mode, bool durable) {
  std::string temporary = path + ".XXXXXX";
  Fd fd(ThrowIfFailed(::mkstemp(temporary.data()), "mkstemp", temporary));
  try {
    ThrowIfFailed(::fchmod(fd.Get(), mode), "fchmod", temporary);
    size_t written = 0;
    while (written < content.size()) {
      written += static_cast<size_t>(
          ThrowIfFailed(::write(fd.Get(), content.data() + written, content.size() - written),
                        "write", temporary));
    }
    if (durable) ThrowIfFailed(::fsync(fd.Get()), "fsync", temporary);
    ThrowIfFailed(::rename(temporary.c_str(), path.c_str()), "rename", path);
  } catch (...) {
    ::unlink(temporary.c_str());
    throw;
  }
  if (!durable) return;
  const std::string directory = DirectoryOf(path);
  Fd dir(ThrowIfFailed(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC), "open",
                       directory));
  ThrowIfFailed(::fsync(dir.Get()), "fsync", directory);
}

FileStamp StampOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return FileStamp{};
  FileStamp stamp;
  stamp.exists = true;
  stamp.device = static_cast<uint64_t>(st.st_dev);
  stamp.inode = static_cast<uint64_t>(st.st_ino);
  stamp.size = static_cast<int64_t>(st.st_size);
  stamp.modifiedNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
  return stamp;
}

StateLock::StateLock(const std::string& lockPath, std::chrono::milliseconds timeout) {
  fd =
      ThrowIfFailed(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600), "open", lockPath);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    try {
      ThrowIfFailed(::flock(fd, LOCK_EX | LOCK_NB), "flock", lockPath);
      return;
    } catch (const std::system_error& error) {
      const bool busy = IsErrc(error, std::errc::operation_would_block) ||
                        IsErrc(error, std::errc::resource_unavailable_try_again) ||
                        IsErrc(error, std::errc::interrupted);
      if (!busy || std::chrono::steady_clock::now() >= deadline) {
        ::close(fd);
        fd = -1;
        if (!busy) throw;
        throw std::runtime_error("state lock " + lockPath + " still taken after " +
                                 std::to_string(timeout.count()) + " ms");
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

StateLock::~StateLock() {
  if (fd >= 0) ::close(fd);  // closing releases the lock
}

}  // namespace kilnsim
