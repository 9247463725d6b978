#pragma once

// Owns one file descriptor; closing on destruction never throws.

#include <unistd.h>

#include <utility>

namespace platform::posix {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int descriptor) : fd(descriptor) {}
  ~UniqueFd() {
    if (fd >= 0) ::close(fd);
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd(UniqueFd&& other) noexcept : fd(std::exchange(other.fd, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      if (fd >= 0) ::close(fd);
      fd = std::exchange(other.fd, -1);
    }
    return *this;
  }

  int get() const { return fd; }
  // Closes now and reports the result, so a failing close of a written file is seen. Closing
  // twice is a no-op that reports success.
  int Close() {
    if (fd < 0) return 0;
    return ::close(std::exchange(fd, -1));
  }
  // Gives up ownership without closing: the caller closes the descriptor.
  int Release() { return std::exchange(fd, -1); }

 private:
  int fd = -1;
};

}  // namespace platform::posix
