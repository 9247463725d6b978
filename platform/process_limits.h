#pragma once

#include <cstdint>

namespace platform {

// The limit of open descriptors of this process, after raising its soft limit to the hard one
// (which an unprivileged process may do). Never throws; what cannot be raised stays as it was.
uint64_t RaiseOpenFileLimit() noexcept;

// The current soft limit of open descriptors.
uint64_t OpenFileLimit() noexcept;

}  // namespace platform
