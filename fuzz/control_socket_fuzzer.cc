// libFuzzer target over the administrators' control socket (docs/service-host.md). The first
// input byte says what the rest is:
//   even  one request line for ParseControlRequest. A request it accepts must be printable words,
//         the command its first word, and must parse the same in its canonical spelling and with
//         other blanks; a refusal's reason must be one of the documented ones, on one printable
//         line, echoing at most 32 characters of the request.
//   odd   the bytes a client sends on a connection, up to kMaxLines lines. A real server in a
//         temporary runtime directory serves them (its handler parses each line); the client
//         must get exactly one reply per request line, in order, the too-long refusal where the
//         line limit says, and the connection must then be closed.

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "log/logger.h"
#include "platform/posix/control_socket.h"

namespace {

using platform::posix::ControlProtocolError;
using platform::posix::ControlRequest;
using platform::posix::ParseControlRequest;

// Replies to a connection are sent without waiting; this many short ones fit in a socket's
// buffer while the client is not reading.
constexpr size_t kMaxLines = 64;
constexpr size_t kMaxStream = 16 * 1024;
constexpr int kMaxPollRounds = 200;
constexpr int kPollMs = 100;
// The echo of an unknown word is cut to 32 characters and marked with "...".
constexpr size_t kMaxEcho = 32 + 3;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "control socket fuzz: %s\n", what);
  std::abort();
}

bool Printable(std::string_view text, bool tabs) {
  return std::all_of(text.begin(), text.end(), [tabs](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return (byte >= 0x20 && byte <= 0x7E) || (tabs && c == '\t');
  });
}

std::vector<std::string_view> Words(std::string_view line) {
  std::vector<std::string_view> words;
  size_t start = 0;
  while (start < line.size()) {
    start = line.find_first_not_of(" \t", start);
    if (start == std::string_view::npos) break;
    const size_t end = std::min(line.find_first_of(" \t", start), line.size());
    words.push_back(line.substr(start, end - start));
    start = end;
  }
  return words;
}

bool Same(const ControlRequest& a, const ControlRequest& b) {
  return a.kind == b.kind && a.command == b.command && a.control == b.control &&
         a.eventType == b.eventType && a.monitorPowerOn == b.monitorPowerOn && a.sink == b.sink &&
         a.threshold == b.threshold;
}

// The part of text between prefix and suffix, or false when it does not have that form.
bool Between(std::string_view text, std::string_view prefix, std::string_view suffix,
             std::string_view& middle) {
  if (text.size() < prefix.size() + suffix.size() || !text.starts_with(prefix) ||
      !text.ends_with(suffix)) {
    return false;
  }
  middle = text.substr(prefix.size(), text.size() - prefix.size() - suffix.size());
  return true;
}

void CheckRefusal(std::string_view reason) {
  if (reason.empty() || !Printable(reason, false)) Fail("a refusal that is not one printable line");
  static constexpr std::string_view kFixed[] = {"malformed request: not printable text",
                                                "empty request", "usage: log-level <sink> <0-4>",
                                                "log level must be 0 to 4"};
  if (std::find(std::begin(kFixed), std::end(kFixed), reason) != std::end(kFixed)) return;
  std::string_view echoed;
  if (Between(reason, "unknown command '", "'", echoed) ||
      Between(reason, "unknown log sink '",
              "' (Engine, BluetoothBridge, Proximity, ClassicBluetooth)", echoed) ||
      Between(reason, "'", "' takes no arguments", echoed)) {
    if (echoed.empty() || echoed.size() > kMaxEcho) Fail("a refusal echoes too much or nothing");
    return;
  }
  Fail("a refusal that is not a documented one");
}

std::string Canonical(const ControlRequest& request) {
  if (request.kind != ControlRequest::Kind::kLogLevel) return request.command;
  return "log-level " + std::string(mfab::LogSinkName(request.sink)) + " " +
         std::to_string(request.threshold);
}

void CheckLine(std::string_view line) {
  ControlRequest request;
  try {
    request = ParseControlRequest(line);
  } catch (const ControlProtocolError& e) {
    CheckRefusal(e.what());
    return;
  }
  std::string_view body = line;
  if (body.ends_with('\r')) body.remove_suffix(1);
  if (!Printable(body, true)) Fail("a line with unprintable bytes was accepted");
  const std::vector<std::string_view> words = Words(body);
  if (words.empty() || request.command != words[0]) Fail("the command is not the first word");
  if (request.kind != ControlRequest::Kind::kLogLevel) {
    if (words.size() != 1) Fail("a control or status with arguments was accepted");
    if (request.kind == ControlRequest::Kind::kStatus && words[0] != "status") {
      Fail("a status request under another name was accepted");
    }
  } else if (words.size() != 3 || words[0] != "log-level" || request.threshold > 4 ||
             words[2] != std::to_string(request.threshold)) {
    Fail("a log-level request other than 'log-level <sink> <0-4>' was accepted");
  }
  std::string spaced = "\t ";
  for (const std::string_view word : words) spaced += std::string(word) + " \t";
  spaced += "\r";
  for (const std::string& again : {Canonical(request), spaced}) {
    try {
      if (!Same(ParseControlRequest(again), request)) Fail("another spelling parses otherwise");
    } catch (const ControlProtocolError&) {
      Fail("another spelling of an accepted request is refused");
    }
  }
}

std::string Handle(std::string_view line) {
  try {
    ParseControlRequest(line);
    return "ok";
  } catch (const ControlProtocolError& e) {
    return std::string("error ") + e.what();
  }
}

// The server under test, in a runtime directory of its own, removed at exit.
struct ServerUnderTest {
  ServerUnderTest() {
    char pattern[] = "/tmp/keystone-control-fuzz-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) Fail("mkdtemp");
    directory = pattern;
    server = std::make_unique<platform::posix::ControlSocketServer>(
        directory, platform::ControlSocketOptions{}, Handle);
  }
  ~ServerUnderTest() {
    server.reset();
    std::error_code ignored;
    std::filesystem::remove_all(directory, ignored);
  }
  std::string directory;
  std::unique_ptr<platform::posix::ControlSocketServer> server;
};

ServerUnderTest* target = nullptr;

// What the client must read back for the bytes it sent.
std::string ExpectedReplies(std::string_view sent, size_t maxLineLength) {
  const std::string tooLong =
      "error request line too long (limit " + std::to_string(maxLineLength) + " bytes)\n";
  std::string replies;
  while (!sent.empty()) {
    const size_t newline = sent.find('\n');
    if (newline == std::string_view::npos) {
      // A last line without its newline is served at the end of the stream, unless it is
      // already as long as a line may be with its newline.
      return replies + (sent.size() >= maxLineLength ? tooLong : Handle(sent) + "\n");
    }
    if (newline + 1 > maxLineLength) return replies + tooLong;
    replies += Handle(sent.substr(0, newline)) + "\n";
    sent.remove_prefix(newline + 1);
  }
  return replies;
}

void CheckConnection(std::string_view input) {
  // Up to kMaxLines lines, so that every reply fits while the client is not reading.
  size_t cut = 0;
  for (size_t lines = 0; lines < kMaxLines && cut < input.size(); ++lines) {
    const size_t newline = input.find('\n', cut);
    cut = newline == std::string_view::npos ? input.size() : newline + 1;
  }
  const std::string_view sent = input.substr(0, std::min(cut, kMaxStream));

  platform::posix::ControlSocketServer& server = *target->server;
  const int client = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (client < 0) Fail("socket");
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, server.Path().c_str(), sizeof(address.sun_path) - 1);
  if (::connect(client, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    Fail("connect");
  }
  if (!sent.empty() &&
      ::send(client, sent.data(), sent.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(sent.size())) {
    Fail("send");
  }
  ::shutdown(client, SHUT_WR);

  std::string replies;
  bool closed = false;
  for (int round = 0; round < kMaxPollRounds && !closed; ++round) {
    std::vector<pollfd> fds;
    server.AppendPollFds(fds);
    ::poll(fds.data(), fds.size(), kPollMs);
    server.OnPoll(fds);
    for (;;) {
      pollfd readable{client, POLLIN, 0};
      if (::poll(&readable, 1, 0) != 1) break;
      char chunk[4096];
      const ssize_t n = ::recv(client, chunk, sizeof(chunk), 0);
      if (n <= 0) {
        closed = true;  // closed, or reset because requests were left unread
        break;
      }
      replies.append(chunk, static_cast<size_t>(n));
    }
  }
  ::close(client);
  if (!closed) Fail("the server kept a finished connection open");
  if (server.PollTimeoutMs() != -1) Fail("the server still counts a closed connection");
  if (replies != ExpectedReplies(sent, platform::ControlSocketOptions{}.maxLineLength)) {
    Fail("the replies do not answer the request lines one by one");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The refusals are logged; the target makes many.
  for (int sink = 0; sink < mfab::kLogSinkCount; ++sink) {
    mfab::SetLogThreshold(static_cast<mfab::LogSink>(sink), 0);
  }
  static ServerUnderTest server;
  target = &server;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  if (data[0] % 2 == 0) {
    CheckLine(rest);
  } else {
    CheckConnection(rest);
  }
  return 0;
}
