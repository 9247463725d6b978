#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "platform/control_client.h"
#include "platform/posix/error.h"

namespace platform {
namespace {

// A reply longer than this is not one of ours.
constexpr size_t kMaxReplyLength = 4096;

class Fd {
 public:
  explicit Fd(int value) : fd(value) {}
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd; }

 private:
  int fd;
};

}  // namespace

std::string SendControlRequest(const std::string& runtimeDirectory, std::string_view line,
                               std::chrono::milliseconds timeout) {
  if (line.find('\n') != std::string_view::npos) {
    throw std::invalid_argument("a control request is one line");
  }
  const std::string path = runtimeDirectory + "/" + kControlSocketName;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof(address.sun_path)) {
    errno = ENAMETOOLONG;
    posix::ThrowErrno("connect", path);
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  Fd socket(posix::ThrowIfFailed(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0), "socket"));
  posix::ThrowIfFailed(
      ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)),
      "connect", path);

  std::string request(line);
  request += '\n';
  size_t sent = 0;
  while (sent < request.size()) {
    const ssize_t n =
        ::send(socket.get(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    // The engine may refuse a peer before it reads anything; its reply says why.
    if (n < 0 && (errno == EPIPE || errno == ECONNRESET)) break;
    posix::ThrowIfFailed(n, "send", path);
    sent += static_cast<size_t>(n);
  }

  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::string reply;
  for (;;) {
    const size_t newline = reply.find('\n');
    if (newline != std::string::npos) return reply.substr(0, newline);
    if (reply.size() > kMaxReplyLength) throw std::runtime_error("the engine's reply is too long");
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      throw std::runtime_error("no reply from the engine within " +
                               std::to_string(timeout.count()) + " ms");
    }
    pollfd entry{socket.get(), POLLIN, 0};
    const int ready = ::poll(&entry, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    posix::ThrowIfFailed(ready, "poll", path);
    if (ready == 0) continue;
    char chunk[512];
    const ssize_t n = ::recv(socket.get(), chunk, sizeof(chunk), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != ECONNRESET) posix::ThrowIfFailed(n, "recv", path);
    if (n <= 0) {
      // A final line without its newline still counts.
      if (!reply.empty()) return reply;
      throw std::runtime_error("the engine closed the connection without a reply");
    }
    reply.append(chunk, static_cast<size_t>(n));
  }
}

}  // namespace platform
