#include "storage/user_records.h"

#include <exception>
#include <memory>
#include <system_error>
#include <utility>

#include "log/logger.h"
#include "platform/registry.h"
#include "platform/registry_path.h"
#include "storage/mirror_records.h"
#include "tlv/host_messages.h"

namespace mfab {
namespace {

namespace records = ::AuthenticateDataMirroring;
using platform::RegistryError;

// The display name is read into a buffer of this many bytes; a longer value reads as no name.
constexpr size_t kDisplayNameBuffer = 520;

AuthenticateLogger& Log() { return AuthenticateLoggerService::Instance(); }

// The user's mirror key, or "" when the SID cannot name one key.
std::string UserKeyPath(const std::string& sid) {
  if (sid.empty() || sid.size() > platform::kMaxKeyNameLength ||
      sid.find_first_of(std::string("\\\0", 2)) != std::string::npos) {
    return {};
  }
  return records::MirrorPath(records::kUsersKey) + "\\" + sid;
}

bool SameNameIgnoringCase(const std::string& a, const std::string& b) {
  return platform::FoldRegistryName(a) == platform::FoldRegistryName(b);
}

}  // namespace

UserRecords::UserRecords(platform::Registry& registryToUse, platform::AccountNames& accountNames,
                         Options recordOptions)
    : registry(registryToUse), accounts(accountNames), options(recordOptions) {}

std::vector<std::string> UserRecords::LoadUserList() {
  std::vector<std::string> users;
  try {
    std::unique_ptr<platform::RegistryKey> key =
        registry.OpenKey(records::MirrorPath(records::kUsersKey), platform::reg_access::kRead);
    if (key) {
      for (uint32_t index = 0;; ++index) {
        std::optional<std::string> name = key->EnumKey(index);
        if (!name) break;
        users.push_back(std::move(*name));
      }
    }
  } catch (const RegistryError& e) {
    // The enumeration ends where the store failed, as an enumeration by index does.
    KS_LOG(Log(), kLogWarning, "FLOW", "Enumerating the mirrored users failed (%d)",
           e.code().value());
  }
  keystone::MutexLock lock(listMutex);
  userList = users;
  return users;
}

std::optional<platform::SidAccount> UserRecords::sidToUserData(const std::string& sid) {
  KS_LOG(Log(), kLogInfo, "FLOW", "SId To Name");
  platform::SidAccount account;
  platform::SidLookup lookup = platform::SidLookup::kNotFound;
  try {
    lookup = accounts.LookupSid(sid, account);
  } catch (const std::exception& e) {
    KS_LOG(Log(), kLogWarning, "FLOW", "SID look-up failed (%s)", e.what());
  }
  if (lookup == platform::SidLookup::kNotASid) {
    KS_LOG(Log(), kLogError, "FLOW", "failed to convert stringSID to SID");
    return std::nullopt;
  }
  if (lookup != platform::SidLookup::kFound) {
    KS_LOG(Log(), kLogError, "FLOW", "failed to LookupAccountSid");
    return std::nullopt;
  }
  KS_LOG(Log(), kLogInfo, "FLOW", "SIdToUserData succesed account: %s domain: %s",
         account.account.c_str(), account.domain.c_str());
  return account;
}

bool UserRecords::islocalUser(const std::string& domain) {
  KS_LOG(Log(), kLogInfo, "FLOW", "Testing if the user is local user");
  try {
    // Computer names compare without case, as the original platform's do.
    return SameNameIgnoringCase(domain, accounts.ComputerName());
  } catch (const std::exception& e) {
    KS_LOG(Log(), kLogError, "FLOW", "GetComputerName failed (%s)", e.what());
    return false;
  }
}

std::string UserRecords::getUserFullName(const std::string& account) {
  KS_LOG(Log(), kLogInfo, "FLOW", "Try to get user full name");
  try {
    return accounts.LocalUserFullName(account);
  } catch (const std::system_error& e) {
    KS_LOG(Log(), kLogError, "FLOW", "NetUserGetinfo failed with error: %d ", e.code().value());
  } catch (const std::exception& e) {
    KS_LOG(Log(), kLogError, "FLOW", "NetUserGetinfo failed with error: %d (%s)", -1, e.what());
  }
  return {};
}

bool UserRecords::can_resolve_principal() {
  KS_LOG(Log(), kLogInfo, "FLOW", "Testing whether able to resolve user principal names");
  try {
    return accounts.DirectoryReachable(options.directoryConnectLimit);
  } catch (const std::exception& e) {
    KS_LOG(Log(), kLogWarning, "FLOW", "The directory test failed (%s)", e.what());
    return false;
  }
}

std::string UserRecords::sidToDisplayName(const std::string& sid) {
  KS_LOG(Log(), kLogInfo, "FLOW", "convet the account name to display name if possible");
  std::string displayName;
  const std::optional<platform::SidAccount> account = sidToUserData(sid);
  if (account) {
    if (can_resolve_principal()) {
      KS_LOG(Log(), kLogInfo, "FLOW", "can resolve principal - about to TranslateName");
      std::optional<std::string> translated;
      try {
        translated = accounts.DirectoryDisplayName(account->domain, account->account);
      } catch (const std::exception& e) {
        KS_LOG(Log(), kLogWarning, "FLOW", "The directory look-up failed (%s)", e.what());
      }
      if (translated) {
        displayName = *translated;
      } else {
        KS_LOG(Log(), kLogError, "FLOW",
               "Failed to resolve user display name from legacy account name");
      }
    } else {
      KS_LOG(Log(), kLogInfo, "FLOW", "Failed to resolve principal");
    }
    if (displayName.empty() && islocalUser(account->domain)) {
      KS_LOG(Log(), kLogInfo, "FLOW", "The user is local");
      displayName = getUserFullName(account->account);
    }
  }
  KS_LOG(Log(), kLogInfo, "FLOW", "displayName is = %s", displayName.c_str());
  return displayName;
}

void UserRecords::saveUserRecord(const std::map<std::string, std::string>& names) {
  for (const auto& [sid, name] : names) {
    const std::string path = UserKeyPath(sid);
    try {
      std::unique_ptr<platform::RegistryKey> key =
          path.empty() ? nullptr : registry.OpenKey(path, platform::reg_access::kWrite);
      if (!key) {
        KS_LOG(Log(), kLogWarning, "FLOW", "failed open key");
        continue;
      }
      key->SetValue(records::kDisplayNameValue, platform::RegValue::String(name));
    } catch (const RegistryError& e) {
      // The user's key went away meanwhile, or the store failed: the next update writes it.
      KS_LOG(Log(), kLogWarning, "FLOW", "failed open key (%d)", e.code().value());
    }
  }
}

void UserRecords::updateUserRecord() {
  KS_LOG(Log(), kLogInfo, "FLOW-START", "updateUserRecord");
  std::map<std::string, std::string> names;
  for (const std::string& sid : LoadUserList()) names[sid] = sidToDisplayName(sid);
  saveUserRecord(names);
  KS_LOG(Log(), kLogInfo, "FLOW-END", "updateUserRecord");
}

Bytes UserRecords::getSavedDisplayName(const std::string& sid) {
  KS_LOG(Log(), kLogInfo, "FLOW", "get Saved DisplayName from userSID:%s", sid.c_str());
  UserRecordResponse response;
  const std::string path = UserKeyPath(sid);
  try {
    std::unique_ptr<platform::RegistryKey> key =
        path.empty() ? nullptr : registry.OpenKey(path, platform::reg_access::kRead);
    const std::optional<platform::RegValue> value =
        key ? key->QueryValue(records::kDisplayNameValue) : std::nullopt;
    if (value &&
        (value->type == platform::RegType::kSz || value->type == platform::RegType::kExpandSz) &&
        value->data.size() <= kDisplayNameBuffer) {
      const std::string text(value->data.begin(), value->data.end());
      response.displayName = text.substr(0, text.find('\0'));
    }
  } catch (const RegistryError& e) {
    KS_LOG(Log(), kLogWarning, "FLOW", "Reading the saved display name failed (%d)",
           e.code().value());
  }
  return response.Serialize();
}

}  // namespace mfab
