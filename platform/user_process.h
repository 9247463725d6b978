#pragma once

// Programs the engine starts for a user: a verified program (never a path, so nothing can be
// swapped in between the check and the start) run as that user in a process group of its own,
// with its arguments handed over as they are (no shell), ended together with everything it
// started in its group.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

class VerifiedFile;

struct UserProcessRequest {
  uint32_t uid = 0;                    // runs as this user, with its primary and other groups
  std::vector<std::string> arguments;  // after the program's own name
  // NAME=value entries on top of the account's HOME, USER, LOGNAME, SHELL and a fixed PATH.
  std::vector<std::string> environment;
};

// How a program ended.
struct ProcessExit {
  bool bySignal = false;
  int code = 0;  // the exit status (0-255), or the signal's number
  bool operator==(const ProcessExit&) const = default;
};

// One started program. Not thread-safe: one owner waits for it. Destroying it while the program
// runs kills the program's group first.
class UserProcess {
 public:
  virtual ~UserProcess() = default;

  virtual uint32_t Id() const = 0;
  // Waits up to limit. When the program ended: how, after every process still in its group was
  // killed; the program is reaped. nullopt while it still runs. Waits again after a signal.
  virtual std::optional<ProcessExit> Wait(std::chrono::milliseconds limit) = 0;
  // Kills the whole group and reaps the program, waiting at most the launcher's reap limit.
  // False when the program still had not ended then (it is reaped later, when it has).
  virtual bool Kill() = 0;
};

struct UserProcessOptions {
  // How long a killed program may take to be gone (it cannot ignore the kill; only a process
  // stuck in the kernel is slower).
  std::chrono::milliseconds reapLimit{std::chrono::seconds(5)};
};

// Thread-safe.
class UserProcessLauncher {
 public:
  virtual ~UserProcessLauncher() = default;

  // Starts the program with standard input and output on the null device, standard error
  // shared with the engine, in the user's home directory (or the root directory), the
  // program's file name as its first argument. Throws std::system_error when the user has no
  // account, or the program could not be started (the error of the failing step).
  virtual std::unique_ptr<UserProcess> Start(const VerifiedFile& program,
                                             const UserProcessRequest& request) = 0;
};

std::unique_ptr<UserProcessLauncher> CreateUserProcessLauncher(UserProcessOptions options = {});

}  // namespace platform
