#include "platform/stream_poller.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>

#include "platform/posix/error.h"
#include "platform/posix/poll_timeout.h"
#include "platform/posix/unique_fd.h"

namespace platform {
namespace {

// Keys of the poller's own descriptors; the caller's keys are stored one above them.
constexpr uint64_t kTimerKey = 0;
constexpr uint64_t kStopKey = 1;
constexpr uint64_t kFirstUserKey = 2;

constexpr uint32_t kSocketEvents = EPOLLIN | EPOLLRDHUP | EPOLLONESHOT;

}  // namespace

StreamPoller::StreamPoller() {
  posix::UniqueFd epoll(::epoll_create1(EPOLL_CLOEXEC));
  if (epoll.get() < 0) posix::ThrowErrno("epoll_create1");
  posix::UniqueFd timer(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK));
  if (timer.get() < 0) posix::ThrowErrno("timerfd_create");
  posix::UniqueFd stop(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (stop.get() < 0) posix::ThrowErrno("eventfd");
  // The timer is one-shot like the sockets; the stop signal stays readable, level-triggered, so
  // that every waiter sees it.
  epoll_event event{};
  event.events = kSocketEvents;
  event.data.u64 = kTimerKey;
  posix::ThrowIfFailed(::epoll_ctl(epoll.get(), EPOLL_CTL_ADD, timer.get(), &event), "epoll_ctl");
  event.events = EPOLLIN;
  event.data.u64 = kStopKey;
  posix::ThrowIfFailed(::epoll_ctl(epoll.get(), EPOLL_CTL_ADD, stop.get(), &event), "epoll_ctl");
  epollFd = epoll.Release();
  timerFd = timer.Release();
  stopFd = stop.Release();
}

StreamPoller::~StreamPoller() {
  for (const int fd : {epollFd, timerFd, stopFd}) ::close(fd);
}

void StreamPoller::Control(int operation, int fd, uint64_t key) {
  epoll_event event{};
  event.events = kSocketEvents;
  event.data.u64 = key;
  posix::ThrowIfFailed(::epoll_ctl(epollFd, operation, fd, &event), "epoll_ctl");
}

void StreamPoller::Add(const UnixStream& stream, uint64_t key) {
  Control(EPOLL_CTL_ADD, stream.fd, key + kFirstUserKey);
}

void StreamPoller::Add(const UnixListener& listener, uint64_t key) {
  Control(EPOLL_CTL_ADD, listener.fd, key + kFirstUserKey);
}

void StreamPoller::Rearm(const UnixStream& stream, uint64_t key) {
  Control(EPOLL_CTL_MOD, stream.fd, key + kFirstUserKey);
}

void StreamPoller::Rearm(const UnixListener& listener, uint64_t key) {
  Control(EPOLL_CTL_MOD, listener.fd, key + kFirstUserKey);
}

void StreamPoller::Remove(const UnixStream& stream) noexcept {
  if (stream.fd >= 0) ::epoll_ctl(epollFd, EPOLL_CTL_DEL, stream.fd, nullptr);
}

void StreamPoller::Remove(const UnixListener& listener) noexcept {
  if (listener.fd >= 0) ::epoll_ctl(epollFd, EPOLL_CTL_DEL, listener.fd, nullptr);
}

void StreamPoller::SetTimer(Deadline when) {
  itimerspec spec{};
  // steady_clock is CLOCK_MONOTONIC; a zero value would disarm, so the earliest is 1 ns.
  const auto since = std::chrono::duration_cast<std::chrono::nanoseconds>(when.time_since_epoch());
  const int64_t ns = std::max<int64_t>(since.count(), 1);
  spec.it_value.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
  spec.it_value.tv_nsec = static_cast<long>(ns % 1'000'000'000);
  posix::ThrowIfFailed(::timerfd_settime(timerFd, TFD_TIMER_ABSTIME, &spec, nullptr),
                       "timerfd_settime");
  // The timer's registration is one-shot too; arm it for this expiry.
  Control(EPOLL_CTL_MOD, timerFd, kTimerKey);
}

StreamPoller::Event StreamPoller::Wait(Deadline deadline) {
  for (;;) {
    epoll_event event{};
    const int n = ::epoll_wait(epollFd, &event, 1, posix::PollTimeoutMs(deadline));
    if (n < 0) {
      if (errno == EINTR) continue;
      posix::ThrowErrno("epoll_wait");
    }
    if (n == 0) {
      if (deadline != kNoDeadline && std::chrono::steady_clock::now() >= deadline) {
        return {EventKind::kTimeout, 0};
      }
      continue;
    }
    if (event.data.u64 == kStopKey) return {EventKind::kStopped, 0};
    if (event.data.u64 == kTimerKey) {
      uint64_t expirations = 0;
      // Clears the expiry; a timer set again meanwhile may have nothing to read.
      [[maybe_unused]] const ssize_t r = ::read(timerFd, &expirations, sizeof(expirations));
      return {EventKind::kTimer, 0};
    }
    return {EventKind::kReady, event.data.u64 - kFirstUserKey};
  }
}

void StreamPoller::Stop() noexcept {
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(stopFd, &one, sizeof(one));
}

}  // namespace platform
