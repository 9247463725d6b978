#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace platform {

// Name of the engine's control socket in the runtime directory.
inline constexpr const char* kControlSocketName = "control";

// How long a client waits for the engine's reply.
inline constexpr std::chrono::milliseconds kControlReplyLimit{5000};

// Sends one request line (without newline) to the engine's control socket in runtimeDirectory
// and returns the reply line without its newline. Blocks at most timeout for the reply. Throws
// std::system_error when the socket cannot be reached and std::runtime_error when no complete
// reply arrives in time.
std::string SendControlRequest(const std::string& runtimeDirectory, std::string_view line,
                               std::chrono::milliseconds timeout = kControlReplyLimit);

}  // namespace platform
