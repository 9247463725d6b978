#pragma once

// Local stream sockets named by a path: the transport of the client RPC interface.
// Every wait takes a deadline on the steady clock; kNoDeadline waits until something happens.
// Failures throw std::system_error carrying the system's code (ETIMEDOUT when a deadline passed).

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace platform {

using Deadline = std::chrono::steady_clock::time_point;
inline constexpr Deadline kNoDeadline = Deadline::max();

// A deadline that many milliseconds from now; zero or less means none.
Deadline DeadlineAfter(std::chrono::milliseconds limit);

// Who is at the other end of a connection, as the kernel saw it when the connection was made.
// uid and gid are the effective ones of that moment; nothing the peer does later changes them.
struct PeerCredentials {
  uint32_t pid = 0;
  uint32_t uid = 0;
  uint32_t gid = 0;
};

// One process for its whole life (a pidfd on Linux): unlike a process number, it never comes to
// name another process. Movable owner; closing never throws.
class ProcessHandle {
 public:
  ProcessHandle() = default;
  ~ProcessHandle();
  ProcessHandle(ProcessHandle&& other) noexcept;
  ProcessHandle& operator=(ProcessHandle&& other) noexcept;
  ProcessHandle(const ProcessHandle&) = delete;
  ProcessHandle& operator=(const ProcessHandle&) = delete;

  bool IsOpen() const { return fd >= 0; }
  // Whether the process has ended; true for an empty handle. Never blocks or throws.
  bool Exited() const;

 private:
  friend class UnixStream;
  explicit ProcessHandle(int handle) : fd(handle) {}

  int fd = -1;
};

// One connected stream socket. Movable owner; closing never throws.
// Sends and receives may run on two threads at once; two concurrent senders need a lock of
// their own, and Close must not race with either.
class UnixStream {
 public:
  UnixStream() = default;
  ~UnixStream();
  UnixStream(UnixStream&& other) noexcept;
  UnixStream& operator=(UnixStream&& other) noexcept;
  UnixStream(const UnixStream&) = delete;
  UnixStream& operator=(const UnixStream&) = delete;

  // Connects to the socket at path; throws (ENOENT, ECONNREFUSED, ENAMETOOLONG...).
  static UnixStream Connect(const std::string& path);
  // As Connect, but gives up with ETIMEDOUT at the deadline while the listener's queue is full
  // (a server that listens but never accepts cannot hold the caller).
  static UnixStream Connect(const std::string& path, Deadline deadline);
  // Two connected ends, for in-process peers.
  static std::pair<UnixStream, UnixStream> Pair();

  bool IsOpen() const { return fd >= 0; }
  // The descriptor, for event loops inside the platform layer only.
  int Descriptor() const { return fd; }

  // Writes every byte before the deadline. A vanished peer gives EPIPE (never a signal).
  void SendAll(std::span<const uint8_t> data, Deadline deadline = kNoDeadline);
  // Reads what is there (at least one byte) once data arrives; 0 means the peer closed.
  size_t ReceiveSome(std::span<uint8_t> buffer, Deadline deadline = kNoDeadline);
  // Reads what is there without waiting: empty when nothing is, 0 when the peer closed.
  std::optional<size_t> TryReceive(std::span<uint8_t> buffer);
  // Waits until a read would not block (data, end of stream or an error); false at the deadline.
  bool WaitReadable(Deadline deadline);

  // The peer's process, user and group; throws when the kernel cannot tell.
  PeerCredentials Credentials() const;
  // The peer's process as it was when it connected. Empty when the kernel cannot name it for
  // certain: the process is gone, or (on kernels that cannot hand the connecting process over)
  // its number may already belong to a newer process. Never throws.
  ProcessHandle PeerProcess() const;

  // Makes reads see the end of the stream (waking a waiting reader); writes still work.
  void ShutdownRead() noexcept;
  void ShutdownBoth() noexcept;
  void Close() noexcept;

 private:
  explicit UnixStream(int handle) : fd(handle) {}
  friend class UnixListener;
  friend class StreamPoller;

  int fd = -1;
};

// A listening socket bound to a path, with a wake-up that ends a waiting Accept.
class UnixListener {
 public:
  UnixListener() = default;
  ~UnixListener();
  UnixListener(UnixListener&& other) noexcept;
  UnixListener& operator=(UnixListener&& other) noexcept;
  UnixListener(const UnixListener&) = delete;
  UnixListener& operator=(const UnixListener&) = delete;

  // Creates the socket file at path with the given mode. A stale socket file that nobody
  // answers on is replaced; a live one gives EADDRINUSE. Throws std::system_error.
  static UnixListener Bind(const std::string& path, unsigned mode);

  // Starts accepting connections; throws std::system_error.
  void Listen(int backlog);
  // Waits for one connection. Empty when Wake was called or the deadline passed.
  // Throws std::system_error on a failure of the socket itself.
  std::optional<UnixStream> Accept(Deadline deadline = kNoDeadline);
  // Takes one waiting connection without waiting; empty when none waits. When the process has
  // no descriptor left, the waiting connection is taken with a descriptor kept in reserve for
  // this, sent farewell (without waiting) and closed; the result is then empty and refused is
  // set, so that a full process never leaves a client hanging or its acceptor spinning.
  // Throws std::system_error on other failures.
  std::optional<UnixStream> TryAccept(std::span<const uint8_t> farewell, bool& refused);
  // Makes the current and every later Accept return at once. Thread-safe, never throws.
  void Wake() noexcept;

  bool IsOpen() const { return fd >= 0; }
  // The descriptor, for event loops inside the platform layer only.
  int Descriptor() const { return fd; }
  const std::string& Path() const { return path; }
  // Closes the socket; the file stays until RemoveSocketFile.
  void Close() noexcept;

 private:
  friend class StreamPoller;

  int fd = -1;
  int wakeRead = -1;
  int wakeWrite = -1;
  int reserve = -1;  // a descriptor to give up when accept finds none left
  std::string path;
};

// Removes a socket file; a missing file is not an error. Throws std::system_error.
void RemoveSocketFile(const std::string& path);

// Why the directory that holds the socket at socketPath cannot be trusted to hold only a server
// of one of owners: it is a link, not a directory, owned by someone else, or writable by group
// or others (who could put a socket of their own there). Empty when it can be trusted, or when
// it cannot be looked at (connecting there fails and says why).
std::string UntrustedSocketDirectory(const std::string& socketPath,
                                     const std::vector<uint32_t>& owners);

// The real user id of this process.
uint32_t CurrentUserId();

}  // namespace platform
