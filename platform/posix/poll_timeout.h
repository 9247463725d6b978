#pragma once

#include <chrono>

#include "platform/unix_socket.h"

namespace platform::posix {

// Milliseconds left before the deadline, for poll and epoll_wait: -1 for none, rounded up so that
// a wait never ends early.
inline int PollTimeoutMs(Deadline deadline) {
  if (deadline == kNoDeadline) return -1;
  const auto now = std::chrono::steady_clock::now();
  if (deadline <= now) return 0;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
  return left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(left);
}

}  // namespace platform::posix
