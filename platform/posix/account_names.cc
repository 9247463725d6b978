#include "platform/account_names.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#ifdef KEYSTONE_HAVE_SSS_NSS_IDMAP
// The header declares C functions without a C++ guard.
extern "C" {
#include <sss_nss_idmap.h>
}
#endif
#ifdef KEYSTONE_HAVE_LDAP
#include <ldap.h>
#endif

#include "platform/accounts.h"
#include "platform/shared_library.h"

namespace platform {
namespace {

// Large enough for any passwd entry a name service hands out; getpw*_r says ERANGE otherwise.
constexpr size_t kInitialPasswdBuffer = 1024;
constexpr size_t kMaxPasswdBuffer = 1 << 20;

struct PasswdEntry {
  std::string name;
  std::string gecos;
};

// Runs a getpw*_r call with a growing buffer. nullopt when there is no such entry; throws
// std::system_error when the name service failed.
template <typename Lookup>
std::optional<PasswdEntry> ReadPasswd(Lookup lookup) {
  std::vector<char> buffer(kInitialPasswdBuffer);
  for (;;) {
    struct passwd entry {};
    struct passwd* found = nullptr;
    const int error = lookup(&entry, buffer.data(), buffer.size(), &found);
    if (error == ERANGE && buffer.size() < kMaxPasswdBuffer) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (error != 0) throw std::system_error(error, std::generic_category(), "passwd lookup");
    if (found == nullptr) return std::nullopt;
    return PasswdEntry{found->pw_name ? found->pw_name : "", found->pw_gecos ? found->pw_gecos : ""};
  }
}

std::optional<PasswdEntry> PasswdByUid(uid_t uid) {
  return ReadPasswd([uid](struct passwd* entry, char* buffer, size_t size, struct passwd** found) {
    return ::getpwuid_r(uid, entry, buffer, size, found);
  });
}

std::optional<PasswdEntry> PasswdByName(const std::string& name) {
  return ReadPasswd([&name](struct passwd* entry, char* buffer, size_t size,
                            struct passwd** found) {
    return ::getpwnam_r(name.c_str(), entry, buffer, size, found);
  });
}

// The full name is the GECOS field's first comma-separated part.
std::string FullNameOf(const PasswdEntry& entry) {
  return entry.gecos.substr(0, entry.gecos.find(','));
}

// The rid of a SID of this machine's local accounts; nullopt for any other SID.
std::optional<uint32_t> LocalRid(const std::string& sid) {
  MachineSidAuthorities machine;
  try {
    machine = posix::ThisMachineSidAuthorities();
  } catch (const std::runtime_error&) {
    return std::nullopt;  // without a machine id there are no local SIDs
  }
  std::string prefix = LocalAccountSid(machine, 0);
  prefix.pop_back();  // "S-1-5-21-A-B-C-"
  if (!sid.starts_with(prefix)) return std::nullopt;
  const std::string rid = sid.substr(prefix.size());
  if (rid.empty() || rid.size() > 10 || rid.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  const unsigned long long value = std::stoull(rid);
  if (value > UINT32_MAX) return std::nullopt;
  return static_cast<uint32_t>(value);
}

#ifdef KEYSTONE_HAVE_SSS_NSS_IDMAP
// A domain SID through SSSD: "user@domain" split at the last '@'.
bool LookupDomainSid(const std::string& sid, SidAccount& account) {
  char* rawName = nullptr;
  enum sss_id_type type = SSS_ID_TYPE_NOT_SPECIFIED;
  if (sss_nss_getnamebysid(sid.c_str(), &rawName, &type) != 0 || rawName == nullptr) return false;
  const std::unique_ptr<char, decltype(&std::free)> owned(rawName, &std::free);
  if (type != SSS_ID_TYPE_UID && type != SSS_ID_TYPE_BOTH) return false;
  const std::string qualified = rawName;
  const size_t at = qualified.rfind('@');
  account.account = qualified.substr(0, at);
  account.domain = at == std::string::npos ? std::string() : qualified.substr(at + 1);
  return !account.account.empty();
}
#else
bool LookupDomainSid(const std::string& /*sid*/, SidAccount& /*account*/) { return false; }
#endif

class PosixAccountNames final : public AccountNames {
 public:
  SidLookup LookupSid(const std::string& sidText, SidAccount& account) override {
    if (!IsSidText(sidText)) return SidLookup::kNotASid;
    if (const std::optional<uint32_t> rid = LocalRid(sidText)) {
      const std::optional<PasswdEntry> entry = PasswdByUid(static_cast<uid_t>(*rid));
      if (!entry) return SidLookup::kNotFound;
      account.account = entry->name;
      account.domain = ComputerName();
      return SidLookup::kFound;
    }
    return LookupDomainSid(sidText, account) ? SidLookup::kFound : SidLookup::kNotFound;
  }

  std::string ComputerName() override {
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof(name) - 1) != 0) {
      throw std::system_error(errno, std::generic_category(), "gethostname");
    }
    return name;
  }

  std::string LocalUserFullName(const std::string& account) override {
    const std::optional<PasswdEntry> entry = PasswdByName(account);
    if (!entry) throw std::system_error(ENOENT, std::generic_category(), "no such account");
    return FullNameOf(*entry);
  }

  bool DirectoryReachable(std::chrono::milliseconds limit) override {
#ifdef KEYSTONE_HAVE_LDAP
    // The library (and the TLS and SASL libraries it links) is loaded at the first test, not
    // with the engine: most runs never make one. Without it the directory is unreachable.
    decltype(&ldap_initialize) initialize = nullptr;
    decltype(&ldap_set_option) setOption = nullptr;
    decltype(&ldap_connect) connectTo = nullptr;
    decltype(&ldap_unbind_ext_s) unbind = nullptr;
    try {
      const SharedLibrary& library = ResidentLibrary(KEYSTONE_LDAP_LIBRARY);
      library.Resolve(initialize, "ldap_initialize");
      library.Resolve(setOption, "ldap_set_option");
      library.Resolve(connectTo, "ldap_connect");
      library.Resolve(unbind, "ldap_unbind_ext_s");
    } catch (const SharedLibraryError&) {
      return false;
    }
    LDAP* ld = nullptr;
    // A null URI takes the system's configured default (ldap.conf), plain LDAP on port 389.
    if (initialize(&ld, nullptr) != LDAP_SUCCESS || ld == nullptr) return false;
    const int version = LDAP_VERSION3;
    setOption(ld, LDAP_OPT_PROTOCOL_VERSION, &version);
    struct timeval timeout {};
    timeout.tv_sec = static_cast<time_t>(limit.count() / 1000);
    timeout.tv_usec = static_cast<suseconds_t>((limit.count() % 1000) * 1000);
    setOption(ld, LDAP_OPT_NETWORK_TIMEOUT, &timeout);
    const bool connected = connectTo(ld) == LDAP_SUCCESS;
    unbind(ld, nullptr, nullptr);
    return connected;
#else
    (void)limit;
    return false;
#endif
  }

  std::optional<std::string> DirectoryDisplayName(const std::string& domain,
                                                  const std::string& account) override {
    // Directory users reach NSS under their qualified name (SSSD's default form).
    const std::optional<PasswdEntry> entry =
        PasswdByName(domain.empty() ? account : account + "@" + domain);
    if (!entry) return std::nullopt;
    std::string name = FullNameOf(*entry);
    if (name.empty()) return std::nullopt;
    return name;
  }
};

}  // namespace

std::unique_ptr<AccountNames> CreateSystemAccountNames() {
  return std::make_unique<PosixAccountNames>();
}

}  // namespace platform
