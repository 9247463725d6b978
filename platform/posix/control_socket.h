#pragma once

// The administrators' control socket: a Unix stream socket "control" in the runtime directory,
// mode 0600, served by the service host's event loop. Only root and the engine's own user may
// connect (checked with SO_PEERCRED on accept).
//
// Protocol (docs/service-host.md): the client sends request lines, each at most
// ControlSocketOptions::maxLineLength bytes including the terminating "\n", printable ASCII
// words separated by blanks; the server answers each with one line, "ok" or "error <reason>".
//   sleep | resume | standby-enter | standby-exit | lock | unlock | logoff | stop | preshutdown
//   log-level <Engine|BluetoothBridge|Proximity|ClassicBluetooth> <0-4>
//   status                          answered "ok <one line of JSON>"
// A line that is too long ends the connection after its error reply.

#include <poll.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "log/logger.h"
#include "platform/control_client.h"
#include "platform/service_host.h"
#include "platform/unix_socket.h"

namespace platform::posix {

// A request the protocol does not allow; what() is the reason sent back.
class ControlProtocolError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct ControlRequest {
  enum class Kind { kControl, kLogLevel, kStatus };
  Kind kind = Kind::kControl;
  std::string command;  // the first word
  // kControl: the control and event type to hand the service.
  uint32_t control = 0;
  uint32_t eventType = 0;
  // kControl with kPbtPowerSettingChange: the kGuidMonitorPowerOn value (0 off, 1 on).
  uint8_t monitorPowerOn = 0;
  // kLogLevel.
  mfab::LogSink sink = mfab::LogSink::kService;
  uint32_t threshold = 0;
};

// Parses one request line (without its newline; a trailing "\r" is allowed). Throws
// ControlProtocolError for a malformed or unknown request.
ControlRequest ParseControlRequest(std::string_view line);

// The socket's server side. Not thread-safe: used by the event loop's thread only.
class ControlSocketServer {
 public:
  // Handles one request line and returns the reply line without its newline.
  using RequestHandler = std::function<std::string(std::string_view line)>;

  // Creates the runtime directory (0755) when missing (it must be this user's and not writable by
  // others), replaces a stale socket file and listens. Throws std::system_error.
  ControlSocketServer(const std::string& runtimeDirectory, ControlSocketOptions options,
                      RequestHandler handler);
  ~ControlSocketServer();
  ControlSocketServer(const ControlSocketServer&) = delete;
  ControlSocketServer& operator=(const ControlSocketServer&) = delete;

  const std::string& Path() const { return path; }

  // Appends the descriptors to poll; OnPoll gets back exactly the entries appended.
  void AppendPollFds(std::vector<pollfd>& fds) const;
  void OnPoll(std::span<const pollfd> fds);
  // Milliseconds until the next idle connection expires; -1 when there is none.
  int PollTimeoutMs() const;
  // Closes connections idle past the limit.
  void ExpireIdle();

 private:
  struct Client {
    UnixStream stream;
    uid_t uid = 0;
    std::string pending;
    std::chrono::steady_clock::time_point lastActivity;
  };

  void Accept();
  // Returns false when the connection is to be closed.
  bool ReadFrom(Client& client);
  bool ServeLines(Client& client, bool atEnd);
  bool Reply(Client& client, const std::string& reply);

  std::string path;
  ControlSocketOptions options;
  RequestHandler handler;
  UnixListener listener;
  std::vector<Client> clients;
};

}  // namespace platform::posix
