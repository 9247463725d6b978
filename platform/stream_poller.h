#pragma once

// Waits on many local sockets at once for a pool of threads (epoll on Linux).
//
// Every registration is one-shot: once an event for a key went to one waiter, that key stays
// quiet until it is re-armed, so exactly one thread works on a socket at a time and no thread
// is needed for a socket that has nothing to say. A single timer and a stop signal share the
// same wait. Thread-safe: any number of threads may wait at once.

#include <cstdint>

#include "platform/unix_socket.h"

namespace platform {

class StreamPoller {
 public:
  enum class EventKind {
    kReady,    // the key's socket is readable, closed or broken; the key is disarmed
    kTimer,    // the timer fired (once, to one waiter)
    kStopped,  // Stop was called; every wait from now on returns this at once
    kTimeout,  // the wait's deadline passed
  };
  struct Event {
    EventKind kind = EventKind::kTimeout;
    uint64_t key = 0;
  };

  // Throws std::system_error when the kernel gives no poller.
  StreamPoller();
  ~StreamPoller();
  StreamPoller(const StreamPoller&) = delete;
  StreamPoller& operator=(const StreamPoller&) = delete;

  // Registers a socket under key, armed. The socket must stay open until Remove. Throws
  // std::system_error.
  void Add(const UnixStream& stream, uint64_t key);
  void Add(const UnixListener& listener, uint64_t key);
  // Arms a registered socket again after its event was handled. Throws std::system_error.
  void Rearm(const UnixStream& stream, uint64_t key);
  void Rearm(const UnixListener& listener, uint64_t key);
  // Forgets a socket; an event already taken by a waiter may still be handled. Never throws.
  void Remove(const UnixStream& stream) noexcept;
  void Remove(const UnixListener& listener) noexcept;

  // Sets the one timer to fire at when (replacing an earlier setting). Throws std::system_error.
  void SetTimer(Deadline when);

  // Waits for one event until the deadline. Throws std::system_error.
  Event Wait(Deadline deadline);
  // Ends every current and later Wait with kStopped. Never throws.
  void Stop() noexcept;

 private:
  void Control(int operation, int fd, uint64_t key);

  int epollFd = -1;
  int timerFd = -1;
  int stopFd = -1;
};

}  // namespace platform
