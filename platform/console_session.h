#pragma once

// The graphical session shown on the machine's console: while the log-in or lock screen is up,
// the greeter's session; otherwise the active user's. A program meant for the person in front of
// the machine runs there, as the session's user, with the session's display.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

struct ConsoleSession {
  std::string id;          // the session manager's id
  uint32_t uid = 0;        // the session's user (a greeter's own user while the greeter shows)
  uint32_t leader = 0;     // the process that leads the session; 0 when unknown
  std::string kind;        // "user", "greeter" or "lock-screen"
  // What a program needs to reach the session's display, as NAME=value: XDG_RUNTIME_DIR, and
  // WAYLAND_DISPLAY or DISPLAY (XAUTHORITY with it when the session has one), XDG_SESSION_ID,
  // XDG_SESSION_TYPE, XDG_SEAT, and DBUS_SESSION_BUS_ADDRESS when the user's bus exists.
  std::vector<std::string> environment;
};

struct ConsoleSessionLookup {
  std::optional<ConsoleSession> session;
  std::string whyNone;  // when there is no session: why, for the log
};

// Thread-safe.
class ConsoleSessions {
 public:
  virtual ~ConsoleSessions() = default;

  // The graphical session on the console now, or why there is none (nobody active, a text
  // console, no display found). Blocks at most for the options' call limit per question to the
  // session manager. Throws std::runtime_error when the session manager cannot be asked.
  virtual ConsoleSessionLookup GraphicalSession() = 0;
};

struct ConsoleSessionOptions {
  // Each question to the session manager must be answered within this.
  std::chrono::milliseconds callLimit{std::chrono::seconds(5)};
};

// The console sessions as the session manager (systemd-logind on Linux, seat0) knows them.
std::unique_ptr<ConsoleSessions> CreateConsoleSessions(ConsoleSessionOptions options = {});

}  // namespace platform
