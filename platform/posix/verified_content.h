#pragma once

// The sealed copy behind a VerifiedFile on Linux: a memfd holding the file's bytes, sealed against
// every change (write, grow, shrink, further seals), and a read-only mapping of it. Programs are
// started with fexecve of the descriptor, shared libraries loaded through /proc/self/fd/<n>.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "platform/posix/unique_fd.h"

namespace platform {

class VerifiedContent {
 public:
  // Copies the rest of the open file (path names it) into a new sealed memfd. Throws
  // UntrustedFileError when the file cannot be read or holds more than maxBytes, and
  // std::system_error when the memfd cannot be made.
  static std::unique_ptr<VerifiedContent> CopySealed(int sourceFd, const std::string& path,
                                                     size_t maxBytes);

  // Takes ownership of the memfd and of the mapping (unmapped on destruction).
  VerifiedContent(int memfd, const void* map, size_t length)
      : fd(memfd), mapping(map), size(length) {}
  ~VerifiedContent();
  VerifiedContent(const VerifiedContent&) = delete;
  VerifiedContent& operator=(const VerifiedContent&) = delete;

  // The memfd; close-on-exec, valid while this object lives.
  int Descriptor() const { return fd.get(); }
  std::span<const uint8_t> Bytes() const { return {static_cast<const uint8_t*>(mapping), size}; }

 private:
  posix::UniqueFd fd;
  const void* mapping = nullptr;
  size_t size = 0;
};

}  // namespace platform
