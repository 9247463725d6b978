#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/mutex.h"
#include "platform/account_names.h"
#include "storage/user_records_interface.h"

namespace platform {
class Registry;
}  // namespace platform

namespace mfab {

struct UserRecordsOptions {
  // How long the directory test waits for the LDAP connection.
  std::chrono::milliseconds directoryConnectLimit{500};
};

// Readable names for the users of the registry mirror: resolves each user's SID to a display
// name (the directory's, else a local account's full name) and stores it as DisplayName under
// the user's mirror key, for clients to fetch quickly. A SID that does not resolve gets an empty
// name, never an error. The one instance the service owns.
//
// Thread-safe: the update runs on the resource manager's task, the reads on RPC threads. The
// user list has a lock of its own, held only to swap the list.
class UserRecords final : public IUserRecords {
 public:
  using Options = UserRecordsOptions;

  // Collaborators are borrowed and must outlive the object.
  UserRecords(platform::Registry& registry, platform::AccountNames& accounts,
              Options options = {});
  UserRecords(const UserRecords&) = delete;
  UserRecords& operator=(const UserRecords&) = delete;

  std::vector<std::string> LoadUserList() override;
  void updateUserRecord() override;
  Bytes getSavedDisplayName(const std::string& sid) override;

  // Account and domain of a SID; nullopt (logged) when the SID does not convert or resolve.
  std::optional<platform::SidAccount> sidToUserData(const std::string& sid);
  // Whether an account of this domain belongs to this computer.
  bool islocalUser(const std::string& domain);
  // The local account's full name; empty (logged) when it cannot be read.
  std::string getUserFullName(const std::string& account);
  // Whether the directory answers within the options' limit.
  bool can_resolve_principal();
  // The display name of a SID, empty when nothing resolved.
  std::string sidToDisplayName(const std::string& sid);
  // Writes each name as DisplayName of its user's key; a user without a key is skipped (logged).
  void saveUserRecord(const std::map<std::string, std::string>& names);

 private:
  platform::Registry& registry;
  platform::AccountNames& accounts;
  const Options options;

  keystone::Mutex listMutex;  // Guards the member below.
  std::vector<std::string> userList GUARDED_BY(listMutex);
};

}  // namespace mfab
