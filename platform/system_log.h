#pragma once

#include <memory>

#include "log/logger.h"

namespace platform {

// The system's log backend for the engine: the journal (structured fields) when its socket
// exists and stderr is not a terminal, otherwise one line per record on stderr.
// KEYSTONE_LOG=journal or KEYSTONE_LOG=stderr forces a choice.
std::shared_ptr<mfab::LogBackend> CreateSystemLogBackend();

}  // namespace platform
