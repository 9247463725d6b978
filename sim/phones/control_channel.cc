#include "sim/phones/control_channel.h"

#include <array>
#include <cstdint>
#include <span>

namespace phonesim {

std::string ReadRequestLine(platform::UnixStream& stream, platform::Deadline deadline) {
  std::string line;
  std::array<uint8_t, 256> buffer;
  for (;;) {
    const size_t n = stream.ReceiveSome(buffer, deadline);
    if (n == 0) throw ProtocolError("request ended before its line did");
    line.append(reinterpret_cast<const char*>(buffer.data()), n);
    if (const size_t end = line.find('\n'); end != std::string::npos) {
      if (end + 1 != line.size()) throw ProtocolError("bytes after the request line");
      line.resize(end);
      if (line.size() > kMaxLine) throw ProtocolError("line too long");
      return line;
    }
    if (line.size() > kMaxLine) throw ProtocolError("line too long");
  }
}

Reply Call(const std::string& controlPath, const std::string& line,
           std::chrono::milliseconds limit) {
  if (line.size() > kMaxLine || line.find('\n') != std::string::npos) {
    throw ProtocolError("request line too long or not one line");
  }
  const platform::Deadline deadline = platform::DeadlineAfter(limit);
  platform::UnixStream stream = platform::UnixStream::Connect(controlPath);
  const std::string request = line + "\n";
  stream.SendAll(std::span(reinterpret_cast<const uint8_t*>(request.data()), request.size()),
                 deadline);
  std::string text;
  std::array<uint8_t, 4096> buffer;
  for (;;) {
    const size_t n = stream.ReceiveSome(buffer, deadline);
    if (n == 0) break;
    if (text.size() + n > kMaxReply) throw ProtocolError("reply too large");
    text.append(reinterpret_cast<const char*>(buffer.data()), n);
  }
  return ParseReply(text);
}

}  // namespace phonesim
