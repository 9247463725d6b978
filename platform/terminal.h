#pragma once

// The controlling terminal of an interactive tool: one line of input, typed with or without
// echo (a PIN), while the tool can still give up on it (Ctrl-C handled by the tool).

#include <cstddef>
#include <functional>
#include <string>

namespace platform {

enum class TerminalInput {
  kEntered,    // line holds what was typed, without the newline
  kTooLong,    // more than maxBytes were typed; line is empty
  kCancelled,  // cancelled() turned true before the line was complete
  kClosed,     // no terminal, or it closed
};

// Writes prompt to the terminal and reads one line from it; with echo false the characters are
// not shown (the terminal's settings are restored before returning). Looks at cancelled about
// every 100 ms while waiting. Never throws; the line is wiped from its buffers.
TerminalInput ReadTerminalLine(const std::string& prompt, bool echo, size_t maxBytes,
                               std::string& line, const std::function<bool()>& cancelled);

}  // namespace platform
