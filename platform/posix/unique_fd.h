#pragma once

// Owns one file descriptor; closing on destruction never throws.

#include <unistd.h>

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

  int get() const { return fd; }
  // Gives up ownership: the caller closes the descriptor.
  int Release() {
    const int released = fd;
    fd = -1;
    return released;
  }
  // Closes now and reports the result, so a failing close of a written file is seen.
  int Close() {
    const int result = ::close(fd);
    fd = -1;
    return result;
  }

 private:
  int fd = -1;
};

}  // namespace platform::posix
