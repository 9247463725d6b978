#pragma once

// The account facts the engine decides by: who sits at the console, and which SID a local user
// has. Users are named by SID text as on Windows.
//
// Local account SIDs on Linux: "S-1-5-21-A-B-C-<uid>", where A, B and C are the first three
// big-endian 32-bit words of SHA-256("keystone-machine-sid:" + the 32 lowercase hex digits of
// /etc/machine-id). The hash keeps the machine id itself out of every SID that is logged or
// mirrored, and the SID stays the same for as long as the machine id does.

#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

// Thread-safe.
class Accounts {
 public:
  virtual ~Accounts() = default;

  // The SID text of the user of the active session on the console; empty when there is no
  // active session there or it belongs to nobody (a login screen). Throws std::runtime_error
  // when the session facts or the machine's identity cannot be read.
  virtual std::string ConsoleUserSid() = 0;

  // The SID text of the local account with this user id. Throws std::runtime_error when the
  // machine's identity cannot be read.
  virtual std::string UserSid(uint32_t uid) = 0;
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

}  // namespace posix
}  // namespace platform
