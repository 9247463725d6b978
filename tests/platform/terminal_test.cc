// One line typed on the controlling terminal: a program whose terminal is a pseudo-terminal made
// here, so the test types on the other end and sees what the program shows.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>

#include <gtest/gtest.h>

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kLimit = std::chrono::seconds(10);

class TerminalProgram {
 public:
  TerminalProgram(const std::string& echo, const std::string& maxBytes,
                  const std::string& cancelAfterMs) {
    master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) return;
    const std::string slave = ::ptsname(master);
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    const char* argv[] = {KEYSTONE_TEST_TERMINAL_PROGRAM, echo.c_str(), maxBytes.c_str(),
                          cancelAfterMs.c_str(), nullptr};
    pid = ::fork();
    if (pid == 0) {
      // A new session without a terminal: the first terminal it opens becomes its own. The
      // hang-up signal is ignored so that a vanished terminal is seen by the read itself.
      ::setsid();
      ::signal(SIGHUP, SIG_IGN);
      const int terminal = ::open(slave.c_str(), O_RDWR);
      if (terminal < 0 || ::dup2(out[1], STDOUT_FILENO) < 0) ::_exit(126);
      ::execv(argv[0], const_cast<char* const*>(argv));
      ::_exit(127);
    }
    ::close(out[1]);
    output = out[0];
  }
  ~TerminalProgram() {
    if (pid > 0) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
    if (master >= 0) ::close(master);
    if (output >= 0) ::close(output);
  }

  bool Started() const { return pid > 0 && output >= 0; }

  // What the terminal showed, read until it holds text (or the limit passed).
  std::string ShownUntil(const std::string& text) {
    ReadUntil(master, shown, [&] { return shown.find(text) != std::string::npos; });
    return shown;
  }
  void Type(const std::string& text) {
    ASSERT_EQ(::write(master, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  void HangUp() {
    ::close(master);
    master = -1;
  }
  bool TerminalEchoes() const {
    termios settings{};
    return ::tcgetattr(master, &settings) == 0 && (settings.c_lflag & ECHO) != 0;
  }

  // The program's report, once it ended: "<outcome> <line>".
  std::string Outcome() {
    std::string report;
    ReadUntil(output, report, [] { return false; });  // to the end of the output
    int status = 0;
    if (::waitpid(pid, &status, 0) == pid) pid = -1;
    while (!report.empty() && report.back() == '\n') report.pop_back();
    return report;
  }

 private:
  // Appends what fd delivers to into until done() holds, fd ends, or the limit passed.
  static void ReadUntil(int fd, std::string& into, const std::function<bool()>& done) {
    const auto deadline = Clock::now() + kLimit;
    while (!done() && Clock::now() < deadline) {
      pollfd entry{fd, POLLIN, 0};
      if (::poll(&entry, 1, 100) <= 0) continue;
      char buffer[256];
      const ssize_t n = ::read(fd, buffer, sizeof(buffer));
      if (n <= 0) return;
      into.append(buffer, static_cast<size_t>(n));
    }
  }

  int master = -1;
  int output = -1;
  pid_t pid = -1;
  std::string shown;
};

TEST(TerminalLineTest, HiddenLineIsReadWithoutShowingIt) {
  TerminalProgram program("0", "256", "0");
  ASSERT_TRUE(program.Started());
  ASSERT_NE(program.ShownUntil("PIN: ").find("PIN: "), std::string::npos);
  EXPECT_FALSE(program.TerminalEchoes());
  program.Type("2468\n");
  EXPECT_EQ(program.Outcome(), "entered 2468");
  EXPECT_EQ(program.ShownUntil("\n").find("2468"), std::string::npos);
  EXPECT_TRUE(program.TerminalEchoes());
}

TEST(TerminalLineTest, ShownLineIsEchoed) {
  TerminalProgram program("1", "16", "0");
  ASSERT_TRUE(program.Started());
  program.ShownUntil("PIN: ");
  program.Type("yes\n");
  EXPECT_EQ(program.Outcome(), "entered yes");
  EXPECT_NE(program.ShownUntil("yes").find("yes"), std::string::npos);
}

// Every way a hidden line can fail leaves the terminal echoing again and hands back no text.
TEST(TerminalLineTest, FailedHiddenLineLeavesNothingBehind) {
  struct Case {
    const char* name;
    const char* maxBytes;
    const char* cancelAfterMs;
    const char* typed;  // null: nothing typed
    bool hangUp;
    const char* outcome;
  } cases[] = {
      {"too long", "4", "0", "123456\n", false, "too-long "},
      {"cancelled", "16", "300", nullptr, false, "cancelled "},
      {"terminal gone", "16", "0", "12", true, "closed "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TerminalProgram program("0", c.maxBytes, c.cancelAfterMs);
    ASSERT_TRUE(program.Started());
    program.ShownUntil("PIN: ");
    if (c.typed) program.Type(c.typed);
    if (c.hangUp) {
      program.HangUp();
      EXPECT_EQ(program.Outcome(), c.outcome);
      continue;
    }
    EXPECT_EQ(program.Outcome(), c.outcome);
    EXPECT_TRUE(program.TerminalEchoes());
  }
}

}  // namespace
