#pragma once

#include <string>

#include "tlv/message.h"
#include "tlv/tlv.h"

namespace mfab {

class AppletSession;
struct AppletSessionServices;

// Runs the security-version upgrade that the applet demands with error 0x7F24: wipes what the old
// security version protected, hands the stored files to the applet to re-seal, stores what comes
// back and ends the exchange by raising SVNUpgradeException. Lives for one Activate call on the
// session's thread; client requests are refused (the busy flag) while it runs.
class SVNUpgrador {
 public:
  static constexpr char kDataMigrationOptInValue[] = "DataMigrationOptIn";
  // Command identifier of every exchange of the upgrade.
  static constexpr uint32_t kUpgradeCommandId = 2;

  // Both are borrowed for the upgrader's life.
  SVNUpgrador(AppletSession& session, const AppletSessionServices& services);

  // Never returns normally: throws SVNUpgradeException "SVN version upgrade was identify" once the
  // applet confirmed the migration, GeneralException with the same text on any failure
  // (including the opt-in being absent). The busy flag is lowered on every path.
  [[noreturn]] void Activate();

  // Throws GeneralException unless "DataMigrationOptIn" under the engine key is 1.
  void CheckIfDataMigrationIsNeeded();
  // Deletes every user's action data and invalidates each client user's single-sign-on settings.
  void DeleteUsersPasswords();
  void RevokeCertificates();
  // Stores the files of the applet's migration reply; returns the reply's envelope. Throws
  // std::runtime_error "data migration process failed" for a reply of another type.
  Message StoreMigratedFiles(const Bytes& reply);

 private:
  Bytes BuildMigrationRequest();
  void Run();

  AppletSession& session;
  const AppletSessionServices& services;
};

}  // namespace mfab
