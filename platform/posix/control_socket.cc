#include "platform/posix/control_socket.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <system_error>

#include "platform/paths.h"
#include "platform/posix/error.h"

namespace platform::posix {
namespace {

mfab::AuthenticateLogger& Log() { return mfab::AuthenticateLoggerService::Instance(); }

constexpr int kListenBacklog = 16;
constexpr size_t kReadChunk = 512;
// Unknown words are echoed back cut to this length.
constexpr size_t kMaxEchoedWord = 32;

struct EventCommand {
  const char* name;
  uint32_t control;
  uint32_t eventType;
  uint8_t monitorPowerOn;
};

constexpr EventCommand kEventCommands[] = {
    {"sleep", kServiceControlPowerEvent, kPbtApmSuspend, 0},
    {"resume", kServiceControlPowerEvent, kPbtApmResumeAutomatic, 0},
    {"standby-enter", kServiceControlPowerEvent, kPbtPowerSettingChange, 0},
    {"standby-exit", kServiceControlPowerEvent, kPbtPowerSettingChange, 1},
    {"lock", kServiceControlSessionChange, kWtsSessionLock, 0},
    {"unlock", kServiceControlSessionChange, kWtsSessionUnlock, 0},
    {"logoff", kServiceControlSessionChange, kWtsSessionLogoff, 0},
    {"stop", kServiceControlStop, 0, 0},
    {"preshutdown", kServiceControlPreshutdown, 0, 0},
};

std::vector<std::string_view> SplitWords(std::string_view line) {
  std::vector<std::string_view> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    size_t end = i;
    while (end < line.size() && line[end] != ' ' && line[end] != '\t') ++end;
    if (end > i) words.push_back(line.substr(i, end - i));
    i = end;
  }
  return words;
}

std::string Echo(std::string_view word) {
  if (word.size() <= kMaxEchoedWord) return std::string(word);
  return std::string(word.substr(0, kMaxEchoedWord)) + "...";
}

const std::string kOutOfDescriptors = "error the engine has no descriptor left\n";

}  // namespace

ControlRequest ParseControlRequest(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  for (char c : line) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && c != '\t') || byte > 0x7e) {
      throw ControlProtocolError("malformed request: not printable text");
    }
  }
  const std::vector<std::string_view> words = SplitWords(line);
  if (words.empty()) throw ControlProtocolError("empty request");
  ControlRequest request;
  request.command = std::string(words[0]);
  for (const EventCommand& command : kEventCommands) {
    if (words[0] != command.name) continue;
    if (words.size() != 1) {
      throw ControlProtocolError("'" + request.command + "' takes no arguments");
    }
    request.kind = ControlRequest::Kind::kControl;
    request.control = command.control;
    request.eventType = command.eventType;
    request.monitorPowerOn = command.monitorPowerOn;
    return request;
  }
  if (words[0] == "status") {
    if (words.size() != 1) throw ControlProtocolError("'status' takes no arguments");
    request.kind = ControlRequest::Kind::kStatus;
    return request;
  }
  if (words[0] == "log-level") {
    if (words.size() != 3) throw ControlProtocolError("usage: log-level <sink> <0-4>");
    request.kind = ControlRequest::Kind::kLogLevel;
    if (!mfab::ParseLogSink(words[1], request.sink)) {
      throw ControlProtocolError("unknown log sink '" + Echo(words[1]) +
                                 "' (Engine, BluetoothBridge, Proximity, ClassicBluetooth)");
    }
    if (words[2].size() != 1 || words[2][0] < '0' || words[2][0] > '4') {
      throw ControlProtocolError("log level must be 0 to 4");
    }
    request.threshold = static_cast<uint32_t>(words[2][0] - '0');
    return request;
  }
  throw ControlProtocolError("unknown command '" + Echo(words[0]) + "'");
}

ControlSocketServer::ControlSocketServer(const std::string& runtimeDirectory,
                                         ControlSocketOptions serverOptions,
                                         RequestHandler requestHandler)
    : path(runtimeDirectory + "/" + kControlSocketName),
      options(serverOptions),
      handler(std::move(requestHandler)) {
  CreateDirectories(runtimeDirectory, 0755);
  if (const std::string problem = UntrustedSocketDirectory(path, {CurrentUserId()});
      !problem.empty()) {
    throw std::system_error(EPERM, std::generic_category(),
                            "runtime directory not safe for the control socket: " + problem);
  }
  // The peer check on accept is what keeps others out; the mode keeps them from connecting.
  listener = UnixListener::Bind(path, 0600);
  listener.Listen(kListenBacklog);
}

ControlSocketServer::~ControlSocketServer() {
  clients.clear();
  if (listener.IsOpen()) {
    listener.Close();
    try {
      RemoveSocketFile(path);
    } catch (const std::system_error&) {
      // Left for the next start, which replaces a stale socket.
    }
  }
}

void ControlSocketServer::AppendPollFds(std::vector<pollfd>& fds) const {
  fds.push_back({listener.Descriptor(), POLLIN, 0});
  for (const Client& client : clients) fds.push_back({client.stream.Descriptor(), POLLIN, 0});
}

void ControlSocketServer::OnPoll(std::span<const pollfd> fds) {
  // The entries follow the order of AppendPollFds: the listener, then each client.
  const size_t known = std::min(clients.size(), fds.empty() ? 0 : fds.size() - 1);
  for (size_t i = 0; i < known; ++i) {
    Client& client = clients[i];
    if (!client.stream.IsOpen() || fds[i + 1].revents == 0) continue;
    if (!ReadFrom(client)) client.stream.Close();
  }
  std::erase_if(clients, [](const Client& c) { return !c.stream.IsOpen(); });
  if (!fds.empty() && (fds[0].revents & POLLIN)) Accept();
}

int ControlSocketServer::PollTimeoutMs() const {
  if (clients.empty()) return -1;
  const auto now = std::chrono::steady_clock::now();
  auto next = std::chrono::milliseconds::max();
  for (const Client& client : clients) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        client.lastActivity + options.clientIdleLimit - now);
    next = std::min(next, left);
  }
  // Rounded up by one so the loop wakes after, not just before, the expiry.
  return static_cast<int>(std::max<int64_t>(0, next.count() + 1));
}

void ControlSocketServer::ExpireIdle() {
  const auto now = std::chrono::steady_clock::now();
  for (Client& client : clients) {
    if (client.stream.IsOpen() && now - client.lastActivity >= options.clientIdleLimit) {
      KS_LOG(Log(), mfab::kLogWarning, "FLOW",
             "Control socket: closing a connection of uid %u idle for %lld ms",
             static_cast<unsigned>(client.uid),
             static_cast<long long>(options.clientIdleLimit.count()));
      client.stream.Close();
    }
  }
  std::erase_if(clients, [](const Client& c) { return !c.stream.IsOpen(); });
}

void ControlSocketServer::Accept() {
  const std::span<const uint8_t> farewell(
      reinterpret_cast<const uint8_t*>(kOutOfDescriptors.data()), kOutOfDescriptors.size());
  for (;;) {
    bool refused = false;
    std::optional<UnixStream> stream;
    try {
      stream = listener.TryAccept(farewell, refused);
    } catch (const std::system_error& e) {
      KS_LOG(Log(), mfab::kLogError, "FLOW", "Control socket: accept failed (%s)", e.what());
      return;
    }
    if (refused) {
      KS_LOG(Log(), mfab::kLogError, "FLOW", "Control socket: refused a connection: %s",
             "no descriptor left");
      continue;
    }
    if (!stream) return;
    Client client;
    client.stream = std::move(*stream);
    client.lastActivity = std::chrono::steady_clock::now();
    PeerCredentials credentials;
    try {
      credentials = client.stream.Credentials();
    } catch (const std::system_error& e) {
      KS_LOG(Log(), mfab::kLogError, "FLOW", "Control socket: no peer credentials (%s)",
             e.what());
      continue;
    }
    client.uid = credentials.uid;
    if (credentials.uid != 0 && credentials.uid != ::geteuid()) {
      KS_LOG(Log(), mfab::kLogWarning, "FLOW",
             "Control socket: refused a connection of uid %u (pid %d): administrators only",
             static_cast<unsigned>(credentials.uid), static_cast<int>(credentials.pid));
      Reply(client, "error permission denied: uid " + std::to_string(credentials.uid) +
                        " may not use the control socket");
      continue;
    }
    if (clients.size() >= options.maxClients) {
      KS_LOG(Log(), mfab::kLogWarning, "FLOW",
             "Control socket: refused a connection of uid %u: %zu connections open",
             static_cast<unsigned>(credentials.uid), clients.size());
      Reply(client, "error too many connections");
      continue;
    }
    clients.push_back(std::move(client));
  }
}

bool ControlSocketServer::ReadFrom(Client& client) {
  uint8_t chunk[kReadChunk];
  for (;;) {
    std::optional<size_t> got;
    try {
      got = client.stream.TryReceive(chunk);
    } catch (const std::system_error&) {
      return false;  // reset by the peer
    }
    if (!got) return true;
    if (*got == 0) {
      ServeLines(client, true);
      return false;
    }
    client.lastActivity = std::chrono::steady_clock::now();
    client.pending.append(reinterpret_cast<const char*>(chunk), *got);
    if (!ServeLines(client, false)) return false;
  }
}

bool ControlSocketServer::ServeLines(Client& client, bool atEnd) {
  size_t newline;
  while ((newline = client.pending.find('\n')) != std::string::npos ||
         (atEnd && !client.pending.empty())) {
    const size_t length = newline == std::string::npos ? client.pending.size() : newline + 1;
    if (length > options.maxLineLength) break;
    std::string line = client.pending.substr(0, newline == std::string::npos ? length : newline);
    client.pending.erase(0, length);
    if (!Reply(client, handler(line))) return false;
  }
  if (client.pending.size() >= options.maxLineLength) {
    KS_LOG(Log(), mfab::kLogWarning, "FLOW",
           "Control socket: refused a request line of uid %u longer than %zu bytes",
           static_cast<unsigned>(client.uid), options.maxLineLength);
    Reply(client, "error request line too long (limit " + std::to_string(options.maxLineLength) +
                      " bytes)");
    return false;
  }
  return !atEnd;
}

bool ControlSocketServer::Reply(Client& client, const std::string& reply) {
  std::string line = reply;
  line += '\n';
  // Replies are short; a peer that does not read them is dropped rather than waited for.
  try {
    client.stream.SendAll(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(line.data()),
                                                   line.size()),
                          std::chrono::steady_clock::now());
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

}  // namespace platform::posix
