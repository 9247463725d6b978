#pragma once

// Runs the project's built programs from tests: a program with its arguments, environment and
// standard input, bounded in time; and a temporary directory that goes away with its owner.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace keystone::testing {

// Changes to the test's own environment: NAME=value; an empty value removes NAME.
using EnvChanges = std::vector<std::pair<std::string, std::string>>;

struct ProgramOptions {
  EnvChanges env;
  std::string input;            // standard input; at its end at once when empty
  std::optional<uint32_t> uid;  // run as this user and group (the test must be root)
  std::chrono::milliseconds limit = std::chrono::seconds(30);
};

struct ProgramResult {
  int exitCode = -1;  // the exit status; 128 + signal when killed; -1 when it overran the limit
  std::string out;
  std::string err;
};

// Runs the program at path and waits for it; one still running at the limit is killed.
ProgramResult RunProgram(const std::string& path, const std::vector<std::string>& args,
                         const ProgramOptions& options = {});

// Starts the program with standard input from /dev/null and standard output and error appended to
// logPath; the caller reaps it with WaitForExit.
pid_t SpawnProgram(const std::string& path, const std::vector<std::string>& args,
                   const EnvChanges& env, const std::string& logPath);

// Waits up to limit for the child to end and reaps it; kills it at the limit. Returns the exit
// code as ProgramResult::exitCode.
int WaitForExit(pid_t pid, std::chrono::milliseconds limit);

// The words of a command line split at spaces (no quoting).
std::vector<std::string> Words(const std::string& line);

std::string ReadFileText(const std::string& path);

// The NAME=value lines of a file (a program's report) as a map; empty when it cannot be read.
std::map<std::string, std::string> ReadValues(const std::string& path);

// Whether the process is gone, or only its exit status is left, within limit.
bool ProcessGone(const std::string& pid, std::chrono::milliseconds limit = std::chrono::seconds(10));

// This test binary started again to do a helper's work: each HelperRole checks at static
// initialisation whether it is the one asked for, and if so runs it and exits with its result.
bool HelperRole(const char* role, int (*body)(const std::string& argument));
// The environment that starts a helper.
EnvChanges HelperEnv(const std::string& role, const std::string& argument);
// Runs a helper to its end, as the given user (which needs root); returns its exit code.
int RunHelper(const std::string& role, const std::string& argument,
              std::optional<uint32_t> uid = std::nullopt);

// A fresh directory under the system's temporary directory, removed with its content on
// destruction.
class TempDirectory {
 public:
  TempDirectory();
  ~TempDirectory();
  TempDirectory(const TempDirectory&) = delete;
  TempDirectory& operator=(const TempDirectory&) = delete;

  const std::string& Path() const { return path; }
  std::string File(const std::string& name) const { return path + "/" + name; }

 private:
  std::string path;
};

}  // namespace keystone::testing
