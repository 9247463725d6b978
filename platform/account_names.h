#pragma once

// The names behind a user's SID: the account and its domain, the full name a local account
// carries, and the display name a directory holds for a domain account. On Linux a local SID
// (see platform/accounts.h) maps to a passwd entry and its GECOS full name, the domain of a
// local account is the host name, a domain SID is resolved through SSSD when it is installed,
// and the directory is the LDAP server of the system's OpenLDAP configuration.

#include <chrono>
#include <memory>
#include <optional>
#include <string>

namespace platform {

struct SidAccount {
  std::string account;
  std::string domain;
};

enum class SidLookup {
  kFound,
  kNotASid,    // the text is not a SID ("S-1-" followed by decimal groups)
  kNotFound,   // a SID, but no account has it
};

// Thread-safe. Every call may block on the name services (NSS, SSSD, DNS).
class AccountNames {
 public:
  virtual ~AccountNames() = default;

  // The account and domain of a SID; account is filled only for kFound.
  virtual SidLookup LookupSid(const std::string& sidText, SidAccount& account) = 0;
  // This computer's name (the domain of its local accounts). Throws std::system_error.
  virtual std::string ComputerName() = 0;
  // The full name of a local account, empty when it has none. Throws std::system_error with the
  // lookup's error code when the account cannot be read.
  virtual std::string LocalUserFullName(const std::string& account) = 0;
  // Whether a connection to the default directory server succeeds within limit.
  virtual bool DirectoryReachable(std::chrono::milliseconds limit) = 0;
  // The directory's display name of domain\account; nullopt when it has none.
  virtual std::optional<std::string> DirectoryDisplayName(const std::string& domain,
                                                          const std::string& account) = 0;
};

// The accounts of this machine.
std::unique_ptr<AccountNames> CreateSystemAccountNames();

// Whether text has the form of a SID: "S-1-", an identifier authority and up to 15 further
// groups, each decimal without sign, the authority below 2^48 and every group below 2^32.
bool IsSidText(const std::string& text);

}  // namespace platform
