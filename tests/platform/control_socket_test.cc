#include "platform/posix/control_socket.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "platform/control_client.h"
#include "tests/fakes/log_capture.h"

namespace platform::posix {
namespace {

using keystone::testing::LogCapture;
using namespace std::chrono_literals;

// A fresh directory under the system's temporary directory, removed at the end.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "ks-ctl-XXXXXX").string();
    path = ::mkdtemp(pattern.data());
  }
  ~TempDir() { std::filesystem::remove_all(path); }
  std::string path;
};

// Runs a server's poll loop on its own thread (the server is used by that thread only).
class ServerThread {
 public:
  ServerThread(const std::string& dir, ControlSocketOptions options,
               ControlSocketServer::RequestHandler handler)
      : server(std::make_unique<ControlSocketServer>(dir, options, std::move(handler))) {
    thread = std::jthread([this](std::stop_token stop) {
      std::vector<pollfd> fds;
      while (!stop.stop_requested()) {
        fds.clear();
        server->AppendPollFds(fds);
        int timeout = server->PollTimeoutMs();
        if (timeout < 0 || timeout > 10) timeout = 10;
        if (::poll(fds.data(), fds.size(), timeout) < 0) continue;
        server->OnPoll(fds);
        server->ExpireIdle();
      }
    });
  }
  ~ServerThread() {
    thread.request_stop();
    thread.join();
  }
  std::unique_ptr<ControlSocketServer> server;
  std::jthread thread;
};

int RawConnect(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    ::close(fd);
    return -1;
  }
  timeval limit{10, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
  return fd;
}

// Everything the peer sends until it closes (or 10 s pass).
std::string ReadAll(int fd) {
  std::string text;
  char buffer[256];
  ssize_t n;
  while ((n = ::recv(fd, buffer, sizeof(buffer), 0)) > 0) text.append(buffer, static_cast<size_t>(n));
  return text;
}

std::string EchoHandler(std::string_view line) { return "ok " + std::string(line); }

class ControlSocketTest : public ::testing::Test {
 protected:
  void SetUp() override { capture = LogCapture::Install(); }
  void TearDown() override { capture->Uninstall(); }
  TempDir dir;
  std::shared_ptr<LogCapture> capture;
};

TEST(ControlRequestTest, EventCommandsMapToControlsAndEventTypes) {
  struct Row {
    const char* line;
    uint32_t control;
    uint32_t eventType;
    uint8_t monitorPowerOn;
  };
  const Row rows[] = {
      {"sleep", 13, 4, 0},          {"resume", 13, 18, 0},   {"standby-enter", 13, 0x8013, 0},
      {"standby-exit", 13, 0x8013, 1}, {"lock", 14, 7, 0},   {"unlock", 14, 8, 0},
      {"logoff", 14, 6, 0},         {"stop", 1, 0, 0},       {"preshutdown", 15, 0, 0},
  };
  for (const Row& row : rows) {
    const ControlRequest request = ParseControlRequest(row.line);
    EXPECT_EQ(request.kind, ControlRequest::Kind::kControl) << row.line;
    EXPECT_EQ(request.control, row.control) << row.line;
    EXPECT_EQ(request.eventType, row.eventType) << row.line;
    EXPECT_EQ(request.monitorPowerOn, row.monitorPowerOn) << row.line;
  }
  // Blanks around the words and a carriage return are tolerated.
  EXPECT_EQ(ParseControlRequest("  lock\t\r").eventType, 7u);
}

TEST(ControlRequestTest, LogLevelNamesASinkAndALevel) {
  const ControlRequest request = ParseControlRequest("log-level classicbluetooth 3");
  EXPECT_EQ(request.kind, ControlRequest::Kind::kLogLevel);
  EXPECT_EQ(request.sink, mfab::LogSink::kMsftBt);
  EXPECT_EQ(request.threshold, 3u);
  EXPECT_EQ(ParseControlRequest("log-level Engine 0").threshold, 0u);
}

TEST(ControlRequestTest, RefusesMalformedRequestsWithAReason) {
  const std::pair<std::string, std::string> cases[] = {
      {"", "empty request"},
      {"   ", "empty request"},
      {"reboot", "unknown command 'reboot'"},
      {"sleep now", "'sleep' takes no arguments"},
      {"log-level Engine", "usage: log-level <sink> <0-4>"},
      {"log-level Engine 5", "log level must be 0 to 4"},
      {"log-level Engine 01", "log level must be 0 to 4"},
      {"log-level Engine -1", "log level must be 0 to 4"},
      {"log-level Disk 2", "unknown log sink 'Disk'"},
      {std::string("sl\0ep", 5), "malformed request: not printable text"},
      {"sleep\x1b", "malformed request: not printable text"},
      {"\xc3\xa9t\xc3\xa9", "malformed request: not printable text"},
      {std::string(100, 'z'), "unknown command '" + std::string(32, 'z') + "...'"},
  };
  for (const auto& [line, reason] : cases) {
    try {
      ParseControlRequest(line);
      ADD_FAILURE() << "accepted: " << line;
    } catch (const ControlProtocolError& e) {
      EXPECT_EQ(std::string(e.what()).rfind(reason, 0), 0u) << e.what();
    }
  }
}

TEST_F(ControlSocketTest, AnswersEachRequestLineWithOneReply) {
  const std::string runtime = dir.path + "/run/nested";
  ServerThread server(runtime, {}, EchoHandler);
  EXPECT_EQ(SendControlRequest(runtime, "sleep"), "ok sleep");

  const int fd = RawConnect(runtime + "/control");
  ASSERT_GE(fd, 0);
  const std::string requests = "lock\nunlock\r\npartial";
  ASSERT_EQ(::send(fd, requests.data(), requests.size(), 0), static_cast<ssize_t>(requests.size()));
  ::shutdown(fd, SHUT_WR);  // a last line without its newline still counts
  EXPECT_EQ(ReadAll(fd), "ok lock\nok unlock\r\nok partial\n");
  ::close(fd);

  struct stat st {};
  ASSERT_EQ(::stat((runtime + "/control").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(runtime.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u);
}

TEST_F(ControlSocketTest, OverLongLineIsRefusedAndTheConnectionClosed) {
  ServerThread server(dir.path, {}, EchoHandler);
  // 255 characters and the newline fit exactly.
  EXPECT_EQ(SendControlRequest(dir.path, std::string(255, 'a')), "ok " + std::string(255, 'a'));

  const int fd = RawConnect(dir.path + "/control");
  ASSERT_GE(fd, 0);
  const std::string flood(300, 'x');
  ASSERT_EQ(::send(fd, flood.data(), flood.size(), 0), 300);
  EXPECT_EQ(ReadAll(fd), "error request line too long (limit 256 bytes)\n");
  ::close(fd);
  EXPECT_TRUE(capture->Contains("longer than 256 bytes"));

  // The server goes on serving.
  EXPECT_EQ(SendControlRequest(dir.path, "resume"), "ok resume");
}

TEST_F(ControlSocketTest, IdleConnectionsAreClosedAndConnectionsAreBounded) {
  ControlSocketOptions options;
  options.clientIdleLimit = 50ms;
  options.maxClients = 2;
  ServerThread server(dir.path, options, EchoHandler);
  const int idle = RawConnect(dir.path + "/control");
  ASSERT_GE(idle, 0);
  EXPECT_EQ(ReadAll(idle), "");  // closed by the server, not by the 10 s receive limit
  ::close(idle);

  options.clientIdleLimit = 10s;
  ServerThread bounded(dir.path + "/b", options, EchoHandler);
  int held[2];
  for (int& fd : held) {
    fd = RawConnect(dir.path + "/b/control");
    ASSERT_EQ(::send(fd, "x\n", 2, 0), 2);
    char reply[8];
    ASSERT_EQ(::recv(fd, reply, sizeof(reply), 0), 5);  // "ok x\n": accepted and served
  }
  const int third = RawConnect(dir.path + "/b/control");
  EXPECT_EQ(ReadAll(third), "error too many connections\n");
  ::close(third);
  for (int fd : held) ::close(fd);
}

TEST_F(ControlSocketTest, SocketFileIsReplacedOnlyWhenStale) {
  const std::string path = dir.path + "/control";
  {
    ServerThread first(dir.path, {}, EchoHandler);
    // A second server while the first one answers is refused.
    try {
      ControlSocketServer second(dir.path, {}, EchoHandler);
      ADD_FAILURE() << "a second server started";
    } catch (const std::system_error& e) {
      EXPECT_EQ(e.code().value(), EADDRINUSE);
    }
  }
  EXPECT_FALSE(std::filesystem::exists(path));  // removed by the server that made it

  // A socket file nobody serves (a crashed engine's) is taken over.
  const int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  ASSERT_EQ(::bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  ::close(stale);
  {
    ServerThread taken(dir.path, {}, EchoHandler);
    EXPECT_EQ(SendControlRequest(dir.path, "stop"), "ok stop");
  }

  // Anything else in its place is left alone.
  std::ofstream(path) << "not a socket";
  EXPECT_THROW(ControlSocketServer(dir.path, {}, EchoHandler), std::system_error);
  EXPECT_TRUE(std::filesystem::is_regular_file(path));
}

TEST_F(ControlSocketTest, ClientReportsMissingSocketAndMissingReply) {
  try {
    SendControlRequest(dir.path, "sleep", 100ms);
    ADD_FAILURE() << "reached a socket that does not exist";
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code().value(), ENOENT);
  }
  ServerThread slow(dir.path, {}, [](std::string_view) {
    std::this_thread::sleep_for(300ms);
    return std::string("ok");
  });
  EXPECT_THROW(SendControlRequest(dir.path, "sleep", 20ms), std::runtime_error);
  EXPECT_THROW(SendControlRequest(dir.path, "two\nlines"), std::invalid_argument);
}

// Connects as the unprivileged user "nobody" from a child process; the child's exit status says
// what it saw: 0 refused with the expected reply, 1 something else, 2 connect refused (EACCES).
int ConnectAsNobody(const std::string& path) {
  const pid_t child = ::fork();
  if (child == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
      ::_exit(errno == EACCES ? 2 : 1);
    }
    ::send(fd, "stop\n", 5, MSG_NOSIGNAL);
    char reply[200] = {};
    size_t got = 0;
    ssize_t n;
    while (got < sizeof(reply) - 1 && (n = ::recv(fd, reply + got, sizeof(reply) - 1 - got, 0)) > 0) {
      got += static_cast<size_t>(n);
    }
    const char* expected = "error permission denied: uid 65534 may not use the control socket\n";
    ::_exit(std::strcmp(reply, expected) == 0 ? 0 : 1);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(ControlSocketTest, PeersOfOtherUsersAreRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to connect as another user";
  int served = 0;
  std::mutex mutex;
  ServerThread server(dir.path, {}, [&](std::string_view) {
    std::lock_guard<std::mutex> lock(mutex);
    ++served;
    return std::string("ok");
  });
  ::chmod(dir.path.c_str(), 0755);
  // The file mode alone keeps others out.
  EXPECT_EQ(ConnectAsNobody(dir.path + "/control"), 2);
  // With a mode opened too wide, the credential check still refuses them.
  ASSERT_EQ(::chmod((dir.path + "/control").c_str(), 0666), 0);
  EXPECT_EQ(ConnectAsNobody(dir.path + "/control"), 0);
  EXPECT_TRUE(capture->Contains("refused a connection of uid 65534"));
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(served, 0);
}

}  // namespace
}  // namespace platform::posix
