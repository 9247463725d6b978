#include <algorithm>
#include <cerrno>
#include <span>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "platform/control_client.h"
#include "platform/unix_socket.h"

namespace platform {
namespace {

// A reply longer than this is not one of ours.
constexpr size_t kMaxReplyLength = 4096;

int CodeOf(const std::system_error& e) { return e.code().value(); }

}  // namespace

std::string SendControlRequest(const std::string& runtimeDirectory, std::string_view line,
                               std::chrono::milliseconds timeout) {
  if (line.find('\n') != std::string_view::npos) {
    throw std::invalid_argument("a control request is one line");
  }
  const std::string path = runtimeDirectory + "/" + kControlSocketName;
  // Only an engine of root or of this user is told anything.
  const std::vector<uint32_t> trusted{0, CurrentUserId()};
  if (const std::string problem = UntrustedSocketDirectory(path, trusted); !problem.empty()) {
    throw std::runtime_error("not the engine's control socket: " + problem);
  }
  UnixStream stream = UnixStream::Connect(path);
  if (const uint32_t owner = stream.Credentials().uid;
      std::find(trusted.begin(), trusted.end(), owner) == trusted.end()) {
    throw std::runtime_error("not the engine's control socket: its server runs as uid " +
                             std::to_string(owner));
  }
  const Deadline deadline = DeadlineAfter(timeout);
  const std::string noReply =
      "no reply from the engine within " + std::to_string(timeout.count()) + " ms";

  std::string request(line);
  request += '\n';
  try {
    stream.SendAll({reinterpret_cast<const uint8_t*>(request.data()), request.size()}, deadline);
  } catch (const std::system_error& e) {
    // The engine may refuse a peer before it reads anything; its reply says why.
    if (CodeOf(e) == ETIMEDOUT) throw std::runtime_error(noReply);
    if (CodeOf(e) != EPIPE && CodeOf(e) != ECONNRESET) throw;
  }

  std::string reply;
  for (;;) {
    const size_t newline = reply.find('\n');
    if (newline != std::string::npos) return reply.substr(0, newline);
    if (reply.size() > kMaxReplyLength) throw std::runtime_error("the engine's reply is too long");
    uint8_t chunk[512];
    size_t n = 0;
    try {
      n = stream.ReceiveSome(chunk, deadline);
    } catch (const std::system_error& e) {
      if (CodeOf(e) == ETIMEDOUT) throw std::runtime_error(noReply);
      throw;
    }
    if (n == 0) {
      // A final line without its newline still counts.
      if (!reply.empty()) return reply;
      throw std::runtime_error("the engine closed the connection without a reply");
    }
    reply.append(reinterpret_cast<const char*>(chunk), n);
  }
}

}  // namespace platform
