#pragma once

// The smart-card readers attached to this machine, as the reader service (PC/SC) reports them.

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace platform {

// The reader service could not be reached (not running, not installed).
class SmartCardServiceError : public std::runtime_error {
 public:
  SmartCardServiceError(const std::string& what, uint32_t serviceCode)
      : std::runtime_error(what), code(serviceCode) {}
  uint32_t Code() const { return code; }

 private:
  uint32_t code;
};

// The service answered, but listing failed or no reader is attached.
class SmartCardListError : public std::runtime_error {
 public:
  SmartCardListError(const std::string& what, uint32_t serviceCode)
      : std::runtime_error(what), code(serviceCode) {}
  uint32_t Code() const { return code; }

 private:
  uint32_t code;
};

// Thread-safe: each call opens and releases its own service context.
class SmartCardReaders {
 public:
  // At most this many names, each at most kMaxReaderName bytes, are taken from the service.
  static constexpr size_t kMaxReaders = 64;
  static constexpr size_t kMaxReaderName = 256;

  virtual ~SmartCardReaders() = default;

  // The names of the readers attached now, in the service's order; never empty. Blocks for the
  // service's round trip. Throws SmartCardServiceError or SmartCardListError.
  virtual std::vector<std::string> ListReaders() = 0;
};

// The PC/SC reader service of this machine.
std::unique_ptr<SmartCardReaders> CreateSmartCardReaders();

}  // namespace platform
