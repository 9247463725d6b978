#include "platform/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>

#include "platform/paths.h"
#include "platform/posix/error.h"
#include "platform/posix/unique_fd.h"

namespace platform {
namespace {

using posix::ThrowErrno;
using posix::ThrowIfFailed;
using posix::UniqueFd;

constexpr std::string_view kTemporaryPrefix = ".replace-";
constexpr std::string_view kTemporarySuffix = ".tmp";
// Names tried before a replacement gives up on finding a free temporary name.
constexpr int kTemporaryAttempts = 16;

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

[[noreturn]] void ThrowCode(int code, std::string_view what, std::string_view subject) {
  errno = code;
  ThrowErrno(what, subject);
}

[[noreturn]] void ThrowWrite(WriteStep step, int code, std::string_view what,
                             const std::string& subject) {
  throw FileWriteError(step, std::error_code(code, std::generic_category()),
                       std::string(what) + ": " + subject);
}

bool IsPlainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

FileTime ModificationTime(const struct stat& st) {
  const auto since =
      std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec);
  return FileTime(std::chrono::duration_cast<std::chrono::nanoseconds>(since));
}

// Reads an open regular file to its end; subject names it in errors.
std::vector<uint8_t> ReadAll(int fd, size_t maxBytes, const std::string& subject) {
  struct stat st {};
  ThrowIfFailed(::fstat(fd, &st), "fstat", subject);
  if (!S_ISREG(st.st_mode)) ThrowCode(S_ISDIR(st.st_mode) ? EISDIR : EINVAL, "read", subject);
  std::vector<uint8_t> content;
  if (st.st_size > 0 && static_cast<uint64_t>(st.st_size) <= maxBytes) {
    content.reserve(static_cast<size_t>(st.st_size));
  }
  // Read to the end rather than trusting the size: the file may change under us.
  uint8_t buffer[16384];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof(buffer));
    if (n < 0) {
      if (errno == EINTR) continue;
      ThrowErrno("read", subject);
    }
    if (n == 0) break;
    if (static_cast<size_t>(n) > maxBytes - content.size()) ThrowCode(EFBIG, "read", subject);
    content.insert(content.end(), buffer, buffer + n);
  }
  return content;
}

// Directory and last component of a path ("." for a bare name, "/" for a top-level one).
std::pair<std::string, std::string> SplitPath(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {".", path};
  return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

// The name ReplaceFile gives its temporary: the writer's process id, so that a later process can
// tell abandoned temporaries from those still being written, and random bits against collisions.
std::string TemporaryName() {
  uint64_t random = 0;
  if (::getrandom(&random, sizeof(random), 0) != static_cast<ssize_t>(sizeof(random))) {
    random = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  }
  char name[64];
  std::snprintf(name, sizeof(name), "%.*s%ld-%016" PRIx64 "%.*s",
                static_cast<int>(kTemporaryPrefix.size()), kTemporaryPrefix.data(),
                static_cast<long>(::getpid()), random, static_cast<int>(kTemporarySuffix.size()),
                kTemporarySuffix.data());
  return name;
}

// The process id in a temporary's name; 0 when the name is not one of ours.
long TemporaryOwner(std::string_view name) {
  if (name.size() <= kTemporaryPrefix.size() + kTemporarySuffix.size() ||
      name.substr(0, kTemporaryPrefix.size()) != kTemporaryPrefix ||
      name.substr(name.size() - kTemporarySuffix.size()) != kTemporarySuffix) {
    return 0;
  }
  name.remove_prefix(kTemporaryPrefix.size());
  long pid = 0;
  size_t digits = 0;
  for (; digits < name.size() && digits < 10 && name[digits] >= '0' && name[digits] <= '9';
       ++digits) {
    pid = pid * 10 + (name[digits] - '0');
  }
  return digits > 0 && digits < name.size() && name[digits] == '-' ? pid : 0;
}

// Opens a directory without following a link in its last component; a link gives ELOOP.
UniqueFd OpenDirectoryAt(int parent, const std::string& name, const std::string& subject) {
  UniqueFd fd(::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (fd.get() >= 0) return fd;
  const int code = errno;
  struct stat st {};
  // With O_DIRECTORY the kernel reports a link as "not a directory"; say what it is.
  if (code == ENOTDIR && ::fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISLNK(st.st_mode)) {
    ThrowCode(ELOOP, "open", subject);
  }
  ThrowCode(code, "open", subject);
}

class PosixDirectory final : public Directory {
 public:
  PosixDirectory(UniqueFd directory, std::string directoryPath)
      : fd(std::move(directory)), path(std::move(directoryPath)) {}

  DirectoryAccess Access() override {
    struct stat st {};
    ThrowIfFailed(::fstat(fd.get(), &st), "fstat", path);
    return DirectoryAccess{st.st_uid == ::geteuid(), (st.st_mode & (S_IWGRP | S_IWOTH)) != 0};
  }

  std::unique_ptr<Directory> OpenDirectory(const std::string& name, bool create) override {
    const std::string subject = Subject(name);
    if (!IsPlainName(name)) ThrowCode(EINVAL, "open", subject);
    try {
      return std::make_unique<PosixDirectory>(OpenDirectoryAt(fd.get(), name, subject), subject);
    } catch (const std::system_error& e) {
      if (!create || e.code() != std::errc::no_such_file_or_directory) throw;
    }
    // Made here, so whoever made it first (another thread) does not matter.
    if (::mkdirat(fd.get(), name.c_str(), 0700) != 0 && errno != EEXIST) {
      ThrowErrno("mkdir", subject);
    }
    UniqueFd opened = OpenDirectoryAt(fd.get(), name, subject);
    // The umask may have taken bits away; 0700 is meant.
    ThrowIfFailed(::fchmod(opened.get(), 0700), "chmod", subject);
    return std::make_unique<PosixDirectory>(std::move(opened), subject);
  }

  void ReplaceFile(const std::string& name, std::span<const uint8_t> bytes) override {
    const std::string target = Subject(name);
    if (!IsPlainName(name)) ThrowWrite(WriteStep::kCreate, EINVAL, "open", target);

    std::string temporary;
    UniqueFd file;
    for (int attempt = 0; attempt < kTemporaryAttempts && file.get() < 0; ++attempt) {
      temporary = TemporaryName();
      file = UniqueFd(::openat(fd.get(), temporary.c_str(),
                               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
      if (file.get() < 0 && errno != EEXIST) break;
    }
    if (file.get() < 0) {
      const int code = errno;
      ThrowWrite(WriteStep::kCreate, code, "open", Subject(temporary));
    }

    // Every failure below removes the temporary; the code is taken before that can change errno.
    const auto fail = [&](WriteStep step, const char* what, int code) {
      file.Close();
      ::unlinkat(fd.get(), temporary.c_str(), 0);
      ThrowWrite(step, code, what, target);
    };
    size_t written = 0;
    while (written < bytes.size()) {
      const ssize_t n = ::write(file.get(), bytes.data() + written, bytes.size() - written);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) fail(WriteStep::kWrite, "write", n < 0 ? errno : EIO);
      written += static_cast<size_t>(n);
    }
    if (::fsync(file.get()) != 0) fail(WriteStep::kFlush, "fsync", errno);
    if (file.Close() != 0) fail(WriteStep::kFlush, "close", errno);
    if (::renameat(fd.get(), temporary.c_str(), fd.get(), name.c_str()) != 0) {
      fail(WriteStep::kRename, "rename", errno);
    }
    // Makes the rename itself durable; without it a power loss could bring the old file back.
    if (::fsync(fd.get()) != 0) ThrowWrite(WriteStep::kFlushDirectory, errno, "fsync", path);
  }

  std::vector<uint8_t> ReadFile(const std::string& name, size_t maxBytes) override {
    const std::string subject = Subject(name);
    if (!IsPlainName(name)) ThrowCode(EINVAL, "open", subject);
    UniqueFd file(ThrowIfFailed(
        ::openat(fd.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK), "open",
        subject));
    return ReadAll(file.get(), maxBytes, subject);
  }

  bool Exists(const std::string& name) override {
    struct stat st {};
    return IsPlainName(name) && ::fstatat(fd.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
  }

  std::vector<std::string> List() override {
    // The stream gets a descriptor of its own; rewinding makes a second listing start over.
    UniqueFd copy(ThrowIfFailed(::fcntl(fd.get(), F_DUPFD_CLOEXEC, 0), "dup", path));
    std::unique_ptr<DIR, DirCloser> dir(::fdopendir(copy.get()));
    if (!dir) ThrowErrno("opendir", path);
    copy.Release();
    ::rewinddir(dir.get());
    std::vector<std::string> names;
    for (;;) {
      errno = 0;
      const dirent* entry = ::readdir(dir.get());
      if (entry == nullptr) {
        if (errno != 0) ThrowErrno("readdir", path);
        break;
      }
      if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
      names.emplace_back(entry->d_name);
    }
    return names;
  }

  void DeleteFile(const std::string& name) override {
    const std::string subject = Subject(name);
    if (!IsPlainName(name)) ThrowCode(EINVAL, "unlink", subject);
    ThrowIfFailed(::unlinkat(fd.get(), name.c_str(), 0), "unlink", subject);
  }

  FileTime LastWriteTime(const std::string& name) override {
    const std::string subject = Subject(name);
    if (!IsPlainName(name)) ThrowCode(EINVAL, "stat", subject);
    struct stat st {};
    ThrowIfFailed(::fstatat(fd.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW), "stat", subject);
    if (S_ISLNK(st.st_mode)) ThrowCode(ELOOP, "stat", subject);
    return ModificationTime(st);
  }

  size_t RemoveInterruptedWrites() override {
    const long self = static_cast<long>(::getpid());
    size_t removed = 0;
    for (const std::string& name : List()) {
      const long owner = TemporaryOwner(name);
      if (owner != 0 && owner != self && ::unlinkat(fd.get(), name.c_str(), 0) == 0) ++removed;
    }
    return removed;
  }

 private:
  std::string Subject(const std::string& name) const {
    return path == "/" ? "/" + name : path + "/" + name;
  }

  UniqueFd fd;
  const std::string path;
};

class PosixFileSystem final : public FileSystem {
 public:
  void WriteFile(const std::string& path, std::span<const uint8_t> bytes) override {
    const auto [parent, name] = SplitPath(path);
    std::unique_ptr<Directory> directory;
    try {
      directory = OpenDirectory(parent);
    } catch (const std::system_error& e) {
      throw FileWriteError(WriteStep::kCreate, e.code(), e.what());
    }
    directory->ReplaceFile(name, bytes);
  }

  std::unique_ptr<Directory> OpenDirectory(const std::string& path) override {
    const std::string target = path.empty() ? "." : path;
    return std::make_unique<PosixDirectory>(OpenDirectoryAt(AT_FDCWD, target, target), target);
  }

  std::vector<uint8_t> ReadFile(const std::string& path, size_t maxBytes) override {
    UniqueFd fd(ThrowIfFailed(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK),
                              "open", path));
    return ReadAll(fd.get(), maxBytes, path);
  }

  bool Exists(const std::string& path) override {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
  }

  void CreateDirectories(const std::string& path) override { platform::CreateDirectories(path); }

  std::vector<std::string> ListDirectory(const std::string& path) override {
    return OpenDirectory(path)->List();
  }

  void DeleteFile(const std::string& path) override {
    ThrowIfFailed(::unlink(path.c_str()), "unlink", path);
  }

  FileTime LastWriteTime(const std::string& path) override {
    struct stat st {};
    ThrowIfFailed(::lstat(path.c_str(), &st), "stat", path);
    if (S_ISLNK(st.st_mode)) ThrowCode(ELOOP, "stat", path);
    return ModificationTime(st);
  }
};

}  // namespace

FileSystem& SystemFileSystem() {
  static PosixFileSystem fileSystem;
  return fileSystem;
}

}  // namespace platform
