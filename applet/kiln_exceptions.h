#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "common/exceptions.h"

namespace mfab {

// A call was started while the adapter still runs a call or the recovery after a time-out.
class KILNBusyException : public std::runtime_error {
 public:
  KILNBusyException() : std::runtime_error("KILN is busy") {}
};

// The library call did not return within the adapter's limit; it goes on in the background.
class KILNCallTimeoutException : public std::runtime_error {
 public:
  KILNCallTimeoutException() : std::runtime_error("KILN Timeout exception") {}
};

// There is no open session, or the library no longer knows the session handle.
class KilnInvalidSessionException : public MfaException {
 public:
  KilnInvalidSessionException() : MfaException("KILN session handle is invalid") {}
};

// The channel to the TEE failed (version query, or a send failing twice with 0x300).
class KilnCommunicationErrorException : public MfaException {
 public:
  KilnCommunicationErrorException() : MfaException("KILN communication error") {}
};

// A send failed twice with a status that has no meaning of its own; ErrorCode() is that status.
class KilnGeneralException : public MfaException {
 public:
  explicit KilnGeneralException(uint32_t libraryStatus);
  int32_t ErrorCode() const override { return static_cast<int32_t>(status); }

 private:
  uint32_t status;
};

// The host-interface library could not be loaded or lacks one of its functions.
class KilnLibraryException : public MfaException {
 public:
  using MfaException::MfaException;
};

}  // namespace mfab
