#include "platform/unix_socket.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/posix/error.h"
#include "platform/posix/poll_timeout.h"

namespace platform {
namespace {

[[noreturn]] void ThrowCode(int code, const char* what) {
  throw std::system_error(code, std::generic_category(), what);
}

// Waits for events on one descriptor; false when the deadline passed first.
bool PollOne(int fd, short events, Deadline deadline) {
  for (;;) {
    pollfd entry{fd, events, 0};
    const int timeout = posix::PollTimeoutMs(deadline);
    const int ready = ::poll(&entry, 1, timeout);
    if (ready > 0) return true;
    if (ready == 0) {
      if (timeout == -1) continue;
      if (std::chrono::steady_clock::now() >= deadline) return false;
      continue;
    }
    if (errno != EINTR) posix::ThrowErrno("poll");
  }
}

sockaddr_un Address(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof(address.sun_path)) {
    errno = ENAMETOOLONG;
    posix::ThrowErrno("socket path", path);
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return address;
}

int NewSocket() {
  return posix::ThrowIfFailed(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0), "socket");
}

void CloseFd(int& fd) noexcept {
  if (fd >= 0) {
    ::close(fd);
    fd = -1;
  }
}

// Whether something answers on the socket file at path.
bool SomeoneListens(const std::string& path) {
  UnixStream probe;
  try {
    probe = UnixStream::Connect(path);
    return true;
  } catch (const std::system_error& e) {
    if (e.code().value() == ECONNREFUSED) return false;
    throw;
  }
}

#ifndef SO_PEERPIDFD
constexpr int SO_PEERPIDFD = 77;  // Linux 6.5; older headers lack the name
#endif

// The start time of a process in clock ticks since boot (field 22 of /proc/<pid>/stat), or
// nullopt when the process is gone.
std::optional<uint64_t> ProcessStartTicks(uint32_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(file, text)) return std::nullopt;
  // The command name in parentheses may hold spaces and parentheses; the fields follow the last.
  const std::string::size_type close = text.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream fields(text.substr(close + 1));
  std::string field;
  for (int index = 3; index <= 22; ++index) {
    if (!(fields >> field)) return std::nullopt;
  }
  try {
    return std::stoull(field);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

// A pidfd for the process of a connection whose kernel cannot hand one over: taken by number,
// kept only when the process under that number started before this moment and is still the
// same one once the pidfd is held (so the number was not reused in between).
int PidFdByNumber(uint32_t pid) {
  timespec now{};
  ::clock_gettime(CLOCK_BOOTTIME, &now);
  const uint64_t nowTicks = static_cast<uint64_t>(now.tv_sec) * ::sysconf(_SC_CLK_TCK) +
                            static_cast<uint64_t>(now.tv_nsec) * ::sysconf(_SC_CLK_TCK) / 1'000'000'000;
  const std::optional<uint64_t> before = ProcessStartTicks(pid);
  if (!before || *before > nowTicks) return -1;
  const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (fd < 0) return -1;
  if (ProcessStartTicks(pid) != before) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

ProcessHandle::~ProcessHandle() { CloseFd(fd); }

ProcessHandle::ProcessHandle(ProcessHandle&& other) noexcept : fd(other.fd) { other.fd = -1; }

ProcessHandle& ProcessHandle::operator=(ProcessHandle&& other) noexcept {
  if (this != &other) {
    CloseFd(fd);
    fd = other.fd;
    other.fd = -1;
  }
  return *this;
}

bool ProcessHandle::Exited() const {
  if (fd < 0) return true;
  // A pidfd becomes readable when its process ends.
  pollfd entry{fd, POLLIN, 0};
  return ::poll(&entry, 1, 0) != 0;
}

Deadline DeadlineAfter(std::chrono::milliseconds limit) {
  if (limit.count() <= 0) return kNoDeadline;
  return std::chrono::steady_clock::now() + limit;
}

UnixStream::~UnixStream() { Close(); }

UnixStream::UnixStream(UnixStream&& other) noexcept : fd(other.fd) { other.fd = -1; }

UnixStream& UnixStream::operator=(UnixStream&& other) noexcept {
  if (this != &other) {
    Close();
    fd = other.fd;
    other.fd = -1;
  }
  return *this;
}

UnixStream UnixStream::Connect(const std::string& path) {
  const sockaddr_un address = Address(path);
  UnixStream stream(NewSocket());
  for (;;) {
    if (::connect(stream.fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) {
      return stream;
    }
    if (errno != EINTR) posix::ThrowErrno("connect", path);
  }
}

UnixStream UnixStream::Connect(const std::string& path, Deadline deadline) {
  const sockaddr_un address = Address(path);
  UnixStream stream(
      posix::ThrowIfFailed(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0),
                           "socket"));
  // A full queue makes a non-blocking connect fail with EAGAIN and nothing to poll for, so the
  // attempt is repeated after a short pause until the deadline.
  constexpr auto kRetryPause = std::chrono::milliseconds(5);
  for (;;) {
    if (::connect(stream.fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) {
      break;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN) posix::ThrowErrno("connect", path);
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) ThrowCode(ETIMEDOUT, "connect");
    const auto pause = std::min<std::chrono::steady_clock::duration>(kRetryPause, deadline - now);
    const timespec wait{0, static_cast<long>(
                               std::chrono::duration_cast<std::chrono::nanoseconds>(pause).count())};
    ::nanosleep(&wait, nullptr);
  }
  const int flags = posix::ThrowIfFailed(::fcntl(stream.fd, F_GETFL), "fcntl");
  posix::ThrowIfFailed(::fcntl(stream.fd, F_SETFL, flags & ~O_NONBLOCK), "fcntl");
  return stream;
}

std::pair<UnixStream, UnixStream> UnixStream::Pair() {
  int fds[2] = {-1, -1};
  posix::ThrowIfFailed(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), "socketpair");
  return {UnixStream(fds[0]), UnixStream(fds[1])};
}

void UnixStream::SendAll(std::span<const uint8_t> data, Deadline deadline) {
  if (fd < 0) ThrowCode(EBADF, "send");
  size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t n =
        ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) posix::ThrowErrno("send");
    if (!PollOne(fd, POLLOUT, deadline)) ThrowCode(ETIMEDOUT, "send");
  }
}

size_t UnixStream::ReceiveSome(std::span<uint8_t> buffer, Deadline deadline) {
  if (fd < 0) ThrowCode(EBADF, "recv");
  if (buffer.empty()) return 0;
  if (deadline == kNoDeadline) {
    for (;;) {
      const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
      if (n >= 0) return static_cast<size_t>(n);
      if (errno == ECONNRESET) return 0;
      if (errno != EINTR) posix::ThrowErrno("recv");
    }
  }
  for (;;) {
    // Waiting first saves a system call in the usual request-and-answer exchange, where the
    // answer is not there yet when the reader arrives.
    if (!PollOne(fd, POLLIN, deadline)) ThrowCode(ETIMEDOUT, "recv");
    const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (n >= 0) return static_cast<size_t>(n);
    if (errno == ECONNRESET) return 0;
    if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) posix::ThrowErrno("recv");
  }
}

std::optional<size_t> UnixStream::TryReceive(std::span<uint8_t> buffer) {
  if (fd < 0) ThrowCode(EBADF, "recv");
  if (buffer.empty()) ThrowCode(EINVAL, "recv");
  for (;;) {
    const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (n >= 0) return static_cast<size_t>(n);
    if (errno == EAGAIN || errno == EWOULDBLOCK) return std::nullopt;
    if (errno == ECONNRESET) return 0;
    if (errno != EINTR) posix::ThrowErrno("recv");
  }
}

bool UnixStream::WaitReadable(Deadline deadline) {
  if (fd < 0) ThrowCode(EBADF, "poll");
  return PollOne(fd, POLLIN, deadline);
}

PeerCredentials UnixStream::Credentials() const {
  ucred credentials{};
  socklen_t size = sizeof(credentials);
  posix::ThrowIfFailed(::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size),
                       "getsockopt", "SO_PEERCRED");
  PeerCredentials peer;
  peer.pid = static_cast<uint32_t>(credentials.pid);
  peer.uid = credentials.uid;
  peer.gid = credentials.gid;
  return peer;
}

ProcessHandle UnixStream::PeerProcess() const {
  if (fd < 0) return {};
  int pidFd = -1;
  socklen_t size = sizeof(pidFd);
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERPIDFD, &pidFd, &size) == 0 && pidFd >= 0) {
    return ProcessHandle(pidFd);
  }
  if (errno != ENOPROTOOPT && errno != EINVAL) return {};  // ESRCH: the process is gone
  ucred credentials{};
  size = sizeof(credentials);
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0 ||
      credentials.pid <= 0) {
    return {};
  }
  return ProcessHandle(PidFdByNumber(static_cast<uint32_t>(credentials.pid)));
}

void UnixStream::ShutdownRead() noexcept {
  if (fd >= 0) ::shutdown(fd, SHUT_RD);
}

void UnixStream::ShutdownBoth() noexcept {
  if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

void UnixStream::Close() noexcept { CloseFd(fd); }

UnixListener::~UnixListener() { Close(); }

UnixListener::UnixListener(UnixListener&& other) noexcept
    : fd(other.fd),
      wakeRead(other.wakeRead),
      wakeWrite(other.wakeWrite),
      reserve(other.reserve),
      path(std::move(other.path)) {
  other.fd = other.wakeRead = other.wakeWrite = other.reserve = -1;
}

UnixListener& UnixListener::operator=(UnixListener&& other) noexcept {
  if (this != &other) {
    Close();
    fd = other.fd;
    wakeRead = other.wakeRead;
    wakeWrite = other.wakeWrite;
    reserve = other.reserve;
    path = std::move(other.path);
    other.fd = other.wakeRead = other.wakeWrite = other.reserve = -1;
  }
  return *this;
}

UnixListener UnixListener::Bind(const std::string& socketPath, unsigned mode) {
  const sockaddr_un address = Address(socketPath);
  struct stat st {};
  if (::lstat(socketPath.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) ThrowCode(EEXIST, "bind: a file that is not a socket is in the way");
    if (SomeoneListens(socketPath)) ThrowCode(EADDRINUSE, "bind: another server listens there");
    RemoveSocketFile(socketPath);
  } else if (errno != ENOENT) {
    posix::ThrowErrno("lstat", socketPath);
  }

  UnixListener listener;
  listener.path = socketPath;
  listener.fd = NewSocket();
  posix::ThrowIfFailed(::fcntl(listener.fd, F_SETFL, O_NONBLOCK), "fcntl", socketPath);
  posix::ThrowIfFailed(
      ::bind(listener.fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)), "bind",
      socketPath);
  // bind applies the umask; the mode is meant as given.
  posix::ThrowIfFailed(::chmod(socketPath.c_str(), static_cast<mode_t>(mode)), "chmod", socketPath);
  int pipeFds[2] = {-1, -1};
  posix::ThrowIfFailed(::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK), "pipe2");
  listener.wakeRead = pipeFds[0];
  listener.wakeWrite = pipeFds[1];
  listener.reserve = posix::ThrowIfFailed(::open("/dev/null", O_RDONLY | O_CLOEXEC), "open",
                                          "/dev/null");
  return listener;
}

void UnixListener::Listen(int backlog) {
  if (fd < 0) ThrowCode(EBADF, "listen");
  posix::ThrowIfFailed(::listen(fd, backlog), "listen", path);
}

std::optional<UnixStream> UnixListener::Accept(Deadline deadline) {
  if (fd < 0) ThrowCode(EBADF, "accept");
  for (;;) {
    pollfd entries[2] = {{fd, POLLIN, 0}, {wakeRead, POLLIN, 0}};
    const int timeout = posix::PollTimeoutMs(deadline);
    const int ready = ::poll(entries, 2, timeout);
    if (ready < 0) {
      if (errno == EINTR) continue;
      posix::ThrowErrno("poll", path);
    }
    if (entries[1].revents != 0) return std::nullopt;
    if (ready == 0) {
      if (timeout != -1 && std::chrono::steady_clock::now() >= deadline) return std::nullopt;
      continue;
    }
    const int client = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (client >= 0) return UnixStream(client);
    // The connection may have gone away between poll and accept.
    if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED) {
      continue;
    }
    posix::ThrowErrno("accept", path);
  }
}

std::optional<UnixStream> UnixListener::TryAccept(std::span<const uint8_t> farewell,
                                                 bool& refused) {
  refused = false;
  if (fd < 0) ThrowCode(EBADF, "accept");
  for (;;) {
    const int client = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (client >= 0) return UnixStream(client);
    if (errno == EINTR || errno == ECONNABORTED) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return std::nullopt;
    if ((errno != EMFILE && errno != ENFILE) || reserve < 0) posix::ThrowErrno("accept", path);
    // Out of descriptors: the reserve makes room for one, to tell the client and let it go.
    CloseFd(reserve);
    const int doomed = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (doomed >= 0) {
      [[maybe_unused]] const ssize_t n =
          ::send(doomed, farewell.data(), farewell.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      ::close(doomed);
      refused = true;
    }
    reserve = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    return std::nullopt;
  }
}

void UnixListener::Wake() noexcept {
  if (wakeWrite < 0) return;
  const uint8_t byte = 1;
  // A full pipe already holds a wake-up; nothing else can fail here that matters.
  [[maybe_unused]] const ssize_t n = ::write(wakeWrite, &byte, 1);
}

void UnixListener::Close() noexcept {
  CloseFd(fd);
  CloseFd(wakeRead);
  CloseFd(wakeWrite);
  CloseFd(reserve);
}

void RemoveSocketFile(const std::string& socketPath) {
  if (::unlink(socketPath.c_str()) != 0 && errno != ENOENT) posix::ThrowErrno("unlink", socketPath);
}

std::string UntrustedSocketDirectory(const std::string& socketPath,
                                     const std::vector<uint32_t>& owners) {
  const std::string::size_type slash = socketPath.rfind('/');
  const std::string directory =
      slash == std::string::npos ? "." : slash == 0 ? "/" : socketPath.substr(0, slash);
  struct stat st {};
  // A directory that cannot be looked at holds nothing to connect to; connecting says why.
  if (::lstat(directory.c_str(), &st) != 0) return {};
  if (S_ISLNK(st.st_mode)) return directory + " is a symbolic link";
  if (!S_ISDIR(st.st_mode)) return directory + " is not a directory";
  if (std::find(owners.begin(), owners.end(), st.st_uid) == owners.end()) {
    return directory + " belongs to uid " + std::to_string(st.st_uid);
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof(mode), "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return directory + " is writable by others (mode " + mode + ")";
  }
  return {};
}

uint32_t CurrentUserId() { return ::getuid(); }

}  // namespace platform
