// Revocation-list downloads over real HTTP from a server on the loopback.

#include "platform/http_fetch.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace keystone::testing {
namespace {

// Answers each connection with one canned response; a silent one never accepts, so a connection
// waits in its backlog without a word.
class LoopbackServer {
 public:
  explicit LoopbackServer(std::string cannedResponse, bool silent = false)
      : response(std::move(cannedResponse)) {
    listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener, 4);
    socklen_t length = sizeof address;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    if (!silent) thread = std::jthread([this](std::stop_token stop) { Serve(stop); });
  }
  ~LoopbackServer() {
    thread = std::jthread();  // stops and joins the server before its socket goes
    ::close(listener);
  }

  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port) + path;
  }

 private:
  void Serve(std::stop_token stop) {
    while (!stop.stop_requested()) {
      pollfd p{listener, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      char request[4096];
      (void)::recv(client, request, sizeof request, 0);
      (void)::send(client, response.data(), response.size(), MSG_NOSIGNAL);
      ::close(client);
    }
  }

  std::string response;
  int listener = -1;
  uint16_t port = 0;
  std::jthread thread;
};

std::string Ok(const std::string& body) {
  return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nConnection: close\r\n\r\n" + body;
}

class HttpFetchTest : public ::testing::Test {
 protected:
  std::unique_ptr<platform::HttpFetch> fetch = platform::CreateHttpFetch();
};

TEST(HttpFetchLibraryTest, AMissingLibraryFailsEachDownloadSayingSo) {
  LoopbackServer server(Ok("list bytes"));
  const std::unique_ptr<platform::HttpFetch> fetch =
      platform::CreateHttpFetch("libkeystone-no-such-curl.so.4");
  for (int attempt = 0; attempt < 2; ++attempt) {
    try {
      fetch->Get(server.Url("/a.crl"), std::chrono::seconds(5), 1024);
      ADD_FAILURE() << "a download without its library";
    } catch (const platform::HttpFetchError& e) {
      EXPECT_NE(std::string(e.what()).find("no HTTP downloads: cannot load library "
                                           "libkeystone-no-such-curl.so.4"),
                std::string::npos)
          << e.what();
    }
  }
}

TEST_F(HttpFetchTest, BodyIsReturned) {
  LoopbackServer server(Ok("list bytes"));
  const auto body = fetch->Get(server.Url("/a.crl"), std::chrono::seconds(5), 1024);
  EXPECT_EQ(std::string(body.begin(), body.end()), "list bytes");
}

// An error status, a body past the bound (declared or not) and a redirect elsewhere all fail.
TEST_F(HttpFetchTest, ResponseOtherThanABoundedBodyFails) {
  const std::string tail = "\r\nConnection: close\r\n\r\n";
  const struct {
    const char* name;
    std::string response;
  } cases[] = {
      {"404", "HTTP/1.1 404 Not Found\r\nContent-Length: 0" + tail},
      {"declared too long", Ok(std::string(5000, 'x'))},
      {"undeclared too long", "HTTP/1.1 200 OK" + tail + std::string(5000, 'x')},
      {"redirect to file:",
       "HTTP/1.1 302 Found\r\nLocation: file:///etc/passwd\r\nContent-Length: 0" + tail},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LoopbackServer server(c.response);
    EXPECT_THROW(fetch->Get(server.Url("/a.crl"), std::chrono::seconds(5), 4096),
                 platform::HttpFetchError);
  }
}

TEST_F(HttpFetchTest, SilentServerFailsAtTheLimit) {
  LoopbackServer server("", true);
  EXPECT_THROW(fetch->Get(server.Url("/a.crl"), std::chrono::milliseconds(200), 1024),
               platform::HttpFetchError);
}

TEST_F(HttpFetchTest, OtherSchemesAreRefused) {
  for (const char* url : {"https://127.0.0.1/a.crl", "file:///etc/passwd", "ldap://x/y"}) {
    EXPECT_THROW(fetch->Get(url, std::chrono::seconds(1), 1024), platform::HttpFetchError) << url;
  }
}

}  // namespace
}  // namespace keystone::testing
