// Writes the seed corpus of the control socket's fuzz target into the directory named by argv[1]:
// every request keystonectl sends (each event, log-level for each sink and level), near misses
// of each, and connections carrying several requests, CR LF line ends, a last line without its
// newline and lines at and past the length limit. Each accepted or refused seed is first checked
// against the parser, so a seed that no longer means what it says stops the generator.

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "log/logger.h"
#include "platform/posix/control_socket.h"
#include "platform/service_host.h"

namespace {

constexpr char kLine = 0;
constexpr char kConnection = 1;

const std::vector<std::string> kEvents = {"sleep",        "resume", "standby-enter",
                                          "standby-exit", "lock",   "unlock",
                                          "logoff",       "stop",   "preshutdown"};

class SeedWriter {
 public:
  explicit SeedWriter(std::filesystem::path dir) : directory(std::move(dir)) {}

  void Write(char form, const std::string& body) {
    const std::string name =
        std::string(form == kLine ? "line-" : "connection-") + std::to_string(count++);
    std::ofstream file(directory / name, std::ios::binary | std::ios::trunc);
    file.put(form);
    file.write(body.data(), static_cast<std::streamsize>(body.size()));
    if (!file) {
      std::fprintf(stderr, "control_socket_seed_corpus: cannot write %s\n", name.c_str());
      std::exit(1);
    }
  }

  // A line seed whose verdict is checked first.
  void Line(const std::string& line, bool accepted) {
    bool parsed = true;
    try {
      platform::posix::ParseControlRequest(line);
    } catch (const platform::posix::ControlProtocolError&) {
      parsed = false;
    }
    if (parsed != accepted) {
      std::fprintf(stderr, "control_socket_seed_corpus: '%s' is %s\n", line.c_str(),
                   parsed ? "accepted" : "refused");
      std::exit(1);
    }
    Write(kLine, line);
  }

  int Count() const { return count; }

 private:
  std::filesystem::path directory;
  int count = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: control_socket_seed_corpus DIRECTORY\n");
    return 2;
  }
  const std::filesystem::path directory = argv[1];
  std::filesystem::create_directories(directory);
  SeedWriter seeds(directory);

  std::vector<std::string> valid = kEvents;
  for (const auto sink : {mfab::LogSink::kService, mfab::LogSink::kBt, mfab::LogSink::kProx,
                          mfab::LogSink::kMsftBt}) {
    for (int level = 0; level <= 4; level += 2) {
      valid.push_back("log-level " + std::string(mfab::LogSinkName(sink)) + " " +
                      std::to_string(level));
    }
  }
  for (const std::string& line : valid) seeds.Line(line, true);
  for (const std::string& line :
       {std::string("log-level engine 4"), std::string("log-level PROXIMITY 1"),
        std::string("\tlock  \r"), std::string("  stop")}) {
    seeds.Line(line, true);
  }

  for (const std::string& event : kEvents) {
    seeds.Line(event + " now", false);
    seeds.Line(event + "\r\r", false);
    std::string upper = event;
    upper[0] = static_cast<char>(upper[0] - 'a' + 'A');
    seeds.Line(upper, false);
  }
  for (const std::string& line :
       {std::string(""), std::string(" \t "), std::string("standby_enter"),
        std::string("log-level"), std::string("log-level Engine"),
        std::string("log-level Engine 5"), std::string("log-level Engine -1"),
        std::string("log-level Engine 03"), std::string("log-level Engine 3 x"),
        std::string("log-level Nowhere 1"), std::string("log-level Engine\v3"),
        std::string("sleep\x01"), std::string("lock\xC3\xA9"), std::string("stop\nstop"),
        std::string(40, 'x'), std::string("log-level ") + std::string(300, 'E') + " 1"}) {
    seeds.Line(line, false);
  }

  const size_t limit = platform::ControlSocketOptions{}.maxLineLength;
  std::string all;
  for (const std::string& line : valid) all += line + "\n";
  seeds.Write(kConnection, all);
  seeds.Write(kConnection, "lock\r\nunlock\r\nbogus\r\n\r\nlog-level Engine 9\r\n");
  seeds.Write(kConnection, "sleep\nresume");
  seeds.Write(kConnection, "stop\n" + std::string(limit - 1, ' ') + "\nlock\n");
  seeds.Write(kConnection, "stop\n" + std::string(limit, ' ') + "\nlock\n");
  seeds.Write(kConnection, "lock\n" + std::string(limit - 1, 'a'));
  seeds.Write(kConnection, "lock\n" + std::string(limit, 'a'));
  seeds.Write(kConnection, std::string("\n\n\x7F\n\0\n", 6));
  seeds.Write(kConnection, "");
  std::printf("control_socket_seed_corpus: %d seeds in %s\n", seeds.Count(), directory.c_str());
  return 0;
}
