#include "platform/terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace platform {
namespace {

constexpr int kCancelTickMs = 100;

void WriteAll(int fd, const std::string& text) {
  size_t written = 0;
  while (written < text.size()) {
    const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    written += static_cast<size_t>(n);
  }
}

}  // namespace

TerminalInput ReadTerminalLine(const std::string& prompt, bool echo, size_t maxBytes,
                               std::string& line, const std::function<bool()>& cancelled) {
  line.clear();
  const int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return TerminalInput::kClosed;
  termios saved{};
  const bool isTerminal = ::tcgetattr(fd, &saved) == 0;
  if (isTerminal && !echo) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    ::tcsetattr(fd, TCSAFLUSH, &quiet);
  }
  WriteAll(fd, prompt);
  TerminalInput result = TerminalInput::kClosed;
  bool tooLong = false;
  for (;;) {
    if (cancelled && cancelled()) {
      result = TerminalInput::kCancelled;
      break;
    }
    pollfd entry{fd, POLLIN, 0};
    const int ready = ::poll(&entry, 1, kCancelTickMs);
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    char c = 0;
    const ssize_t n = ::read(fd, &c, 1);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) break;
    if (c == '\n') {
      result = tooLong ? TerminalInput::kTooLong : TerminalInput::kEntered;
      break;
    }
    // Past the limit the rest of the line is read and dropped, so it never reaches the next
    // prompt.
    if (line.size() >= maxBytes) {
      tooLong = true;
      std::fill(line.begin(), line.end(), '\0');
      line.clear();
    }
    if (!tooLong) line.push_back(c);
  }
  if (isTerminal && !echo) {
    ::tcsetattr(fd, TCSAFLUSH, &saved);
    if (result != TerminalInput::kEntered && result != TerminalInput::kTooLong) WriteAll(fd, "\n");
  }
  ::close(fd);
  if (result != TerminalInput::kEntered) {
    std::fill(line.begin(), line.end(), '\0');
    line.clear();
  }
  return result;
}

}  // namespace platform
