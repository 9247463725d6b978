#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace keystonectl {

// Exit codes of every subcommand.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;  // the operation failed or its input was bad
inline constexpr int kExitUsage = 2;    // the command line itself was wrong

// One subcommand: "keystonectl <name> args...". run gets the arguments after the name.
struct Command {
  const char* name;
  const char* summary;  // one line for the command list
  const char* usage;    // the full help text
  int (*run)(const std::vector<std::string>& args);
};

// Every command registers itself from its own file with a static RegisterCommand.
void AddCommand(const Command& command);
const std::vector<Command>& Commands();

struct RegisterCommand {
  explicit RegisterCommand(const Command& command) { AddCommand(command); }
};

// Prints "keystonectl: <text>" on stderr and returns the code, for one-line error exits.
int Fail(int code, const std::string& text);

}  // namespace keystonectl
