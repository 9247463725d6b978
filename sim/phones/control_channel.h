#pragma once

// Carrying the phone simulator's control protocol (sim/phones/phone_protocol.h) over a local
// stream socket: one request line per connection, the reply up to the end of the stream.

#include <chrono>
#include <string>

#include "platform/unix_socket.h"
#include "sim/phones/phone_protocol.h"

namespace phonesim {

// The largest reply text a client accepts.
inline constexpr size_t kMaxReply = (kMaxListLines + 1) * (kMaxLine + 1);

// Reads one request line (without its "\n"); throws ProtocolError for a line over kMaxLine or
// a stream that ends first, std::system_error (ETIMEDOUT) at the deadline.
std::string ReadRequestLine(platform::UnixStream& stream, platform::Deadline deadline);

// Connects to the control socket, sends the line and reads the reply until the simulator closes
// the stream. Throws std::system_error when the simulator cannot be reached or the limit
// passes, ProtocolError for a malformed or oversized reply.
Reply Call(const std::string& controlPath, const std::string& line,
           std::chrono::milliseconds limit);

}  // namespace phonesim
