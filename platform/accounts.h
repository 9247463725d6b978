#pragma once

// The account facts the engine decides by: who sits at the console, and whether a client process
// runs with full privileges. Users are named by SID text as on Windows.
//
// Local account SIDs on Linux: "S-1-5-21-A-B-C-<uid>", where A, B and C are the first three
// big-endian 32-bit words of SHA-256("keystone-machine-sid:" + the 32 lowercase hex digits of
// /etc/machine-id). The hash keeps the machine id itself out of every SID that is logged or
// mirrored, and the SID stays the same for as long as the machine id does.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace platform {

// A privilege check that could not be made. step says where it failed, in the terms of the
// original platform's three calls (open the process, open its token, read the token).
class ElevationQueryError : public std::runtime_error {
 public:
  enum class Step { kOpenProcess, kOpenToken, kQueryToken };

  ElevationQueryError(Step failedStep, int errorCode, const std::string& what)
      : std::runtime_error(what), step(failedStep), code(errorCode) {}

  Step FailedStep() const { return step; }
  int Code() const { return code; }

 private:
  Step step;
  int code;
};

// Thread-safe.
class Accounts {
 public:
  virtual ~Accounts() = default;

  // The SID text of the user of the active session on the console; empty when there is no
  // active session there or it belongs to nobody (a login screen). Throws std::runtime_error
  // when the session facts or the machine's identity cannot be read.
  virtual std::string ConsoleUserSid() = 0;

  // Whether the process runs with full privileges (on Linux: effective uid 0). Throws
  // ElevationQueryError when the process cannot be examined (it is gone, or hidden from us).
  virtual bool IsProcessElevated(uint32_t pid) = 0;
};

// The accounts of this machine.
Accounts& SystemAccounts();

// The machine part of local account SIDs.
struct MachineSidAuthorities {
  uint32_t a = 0;
  uint32_t b = 0;
  uint32_t c = 0;
  bool operator==(const MachineSidAuthorities&) const = default;
};

// "S-1-5-21-A-B-C-<rid>" in decimal.
std::string LocalAccountSid(const MachineSidAuthorities& machine, uint32_t rid);

namespace posix {

// The authorities derived from a machine-id text (32 hex digits, either case, one trailing
// newline allowed). Throws std::invalid_argument for anything else.
MachineSidAuthorities DeriveMachineSidAuthorities(std::string_view machineId);

// This machine's authorities from /etc/machine-id (or /var/lib/dbus/machine-id), read once.
// Throws std::runtime_error when neither holds a valid machine id.
MachineSidAuthorities ThisMachineSidAuthorities();

// The effective uid of a /proc/<pid>/status text (second field of its "Uid:" line); nullopt
// when the line is missing or malformed.
std::optional<uint32_t> EffectiveUidFromStatus(std::string_view statusText);

}  // namespace posix
}  // namespace platform
