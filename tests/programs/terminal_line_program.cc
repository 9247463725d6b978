// Reads one line from its controlling terminal through ReadTerminalLine and prints the outcome
// and the line on standard output, so a test can type on a pseudo-terminal and see both sides.
//   keystone-test-terminal-line ECHO(0|1) MAX_BYTES CANCEL_AFTER_MS(0: never)

#include <chrono>
#include <cstdio>
#include <string>

#include "platform/terminal.h"

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  const bool echo = std::string(argv[1]) == "1";
  const size_t maxBytes = std::stoul(argv[2]);
  const auto cancelAfter = std::chrono::milliseconds(std::stol(argv[3]));
  const auto start = std::chrono::steady_clock::now();
  std::string line;
  const platform::TerminalInput result =
      platform::ReadTerminalLine("PIN: ", echo, maxBytes, line, [&] {
        return cancelAfter.count() > 0 && std::chrono::steady_clock::now() - start >= cancelAfter;
      });
  static const char* const kNames[] = {"entered", "too-long", "cancelled", "closed"};
  std::printf("%s %s\n", kNames[static_cast<int>(result)], line.c_str());
  return 0;
}
