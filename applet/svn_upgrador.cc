#include "applet/svn_upgrador.h"

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "applet/applet_session.h"
#include "applet/request_processor.h"
#include "common/config_keys.h"
#include "common/exceptions.h"
#include "common/status.h"
#include "log/logger.h"
#include "platform/registry.h"
#include "storage/data_controller.h"
#include "tlv/host_messages.h"
#include "tlv/message_types.h"

namespace mfab {
namespace {

AuthenticateLogger& Log() { return AuthenticateLoggerService::Instance(); }

constexpr char kUpgradeText[] = "SVN version upgrade was identify";
constexpr char kMigrationFailedText[] = "data migration process failed";
constexpr char kSecureDataExtension[] = ".SDS";
constexpr uint32_t kMigrationModuleId = 10;
constexpr uint32_t kMigrationCategory = 1;

// The full name of a secure-data file from its path: the file name without the extension.
std::string FullNameOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const std::string extension = kSecureDataExtension;
  if (name.size() > extension.size() &&
      name.compare(name.size() - extension.size(), extension.size(), extension) == 0) {
    name.resize(name.size() - extension.size());
  }
  return name;
}

}  // namespace

SVNUpgrador::SVNUpgrador(AppletSession& appletSession, const AppletSessionServices& sessionServices)
    : session(appletSession), services(sessionServices) {}

void SVNUpgrador::Activate() {
  try {
    Run();
  } catch (const SVNUpgradeException&) {
    throw;
  } catch (const std::exception& e) {
    services.apiBusy.Clear();
    KS_LOG(Log(), kLogError, "SVN upgrade", "%s", e.what());
  } catch (...) {
    services.apiBusy.Clear();
    KS_LOG(Log(), kLogError, "SVN upgrade", "Unknown exception");
  }
  throw GeneralException(kUpgradeText);
}

void SVNUpgrador::Run() {
  CheckIfDataMigrationIsNeeded();
  services.apiBusy.Set();
  DeleteUsersPasswords();
  RevokeCertificates();

  const Bytes migrationReply =
      session.Send(kUpgradeCommandId, BuildMigrationRequest(), RequestContext{});
  const Message migrated = StoreMigratedFiles(migrationReply);

  SaveMigratedFilesResponse stored;
  stored.result = 1;
  Message storedAnswer;
  storedAnswer.moduleId = migrated.moduleId;
  storedAnswer.messageType = message_type::kSaveResponse;
  storedAnswer.payload = stored.Serialize();
  storedAnswer.isResponse = true;
  const Bytes saveReply =
      session.Send(kUpgradeCommandId, storedAnswer.Serialize(), RequestContext{});

  const Message saveRequest = Message::Parse(saveReply);
  if (saveRequest.messageType != message_type::kSaveRequest) {
    throw std::runtime_error(kMigrationFailedText);
  }
  const Bytes saveAnswer =
      RequestProcessor(services.dataController).ProcessSaveRequest(saveRequest);
  const Bytes finalReply = session.Send(kUpgradeCommandId, saveAnswer, RequestContext{});

  if (Message::Parse(finalReply).messageType == message_type::kDataMigrationEnd) {
    services.apiBusy.Clear();
    throw SVNUpgradeException(kUpgradeText);
  }
  KS_LOG(Log(), kLogError, "FLOW", "SVN upgrade process failed at the last stage");
  throw std::runtime_error(kMigrationFailedText);
}

void SVNUpgrador::CheckIfDataMigrationIsNeeded() {
  const std::optional<uint32_t> optIn = platform::ReadRegistryDword(
      services.registry, keystone::kEngineKey, kDataMigrationOptInValue);
  if (optIn != 1u) {
    KS_LOG(Log(), kLogWarning, "FLOW", "data migration was not choosen");
    throw GeneralException(kUpgradeText);
  }
}

void SVNUpgrador::DeleteUsersPasswords() {
  KS_LOG(Log(), kLogInfo, "FLOW", "deleting all secure data files");
  services.dataController.DeleteUsersStoredSecureDataFiles();

  std::vector<std::string> users;
  {
    std::unique_ptr<platform::RegistryKey> usersKey =
        services.registry.OpenKey(keystone::kClientUsersKey,
                                  platform::reg_access::kRead | platform::reg_access::kWow64_32Key);
    if (!usersKey) return;
    for (uint32_t index = 0;; ++index) {
      std::optional<std::string> name = usersKey->EnumKey(index);
      if (!name) break;
      users.push_back(std::move(*name));
    }
  }
  for (const std::string& user : users) {
    std::unique_ptr<platform::RegistryKey> userKey = services.registry.OpenKey(
        std::string(keystone::kClientUsersKey) + "\\" + user, platform::reg_access::kReadWrite);
    if (!userKey) continue;  // removed meanwhile
    userKey->SetValue("IsSSOAvailable", platform::RegValue::Dword(0));
    userKey->DeleteValue("SmartCardContainerName");
    userKey->DeleteValue("ReaderName");
    userKey->Flush();
  }
}

void SVNUpgrador::RevokeCertificates() {
  // The platform's key-storage provider revokes its certificates on this request. It is not part
  // of the engine and has no counterpart here, so only the step itself is recorded.
  KS_LOG(Log(), kLogInfo, "FLOW", "revoking all VOX-PKI certificates");
}

Bytes SVNUpgrador::BuildMigrationRequest() {
  DataMigrationMessage migration;
  const FileManager files = services.dataController.EnumerateSecureDataFiles();
  for (const std::string& path : files.Files()) {
    FileData file;
    file.fileName = FullNameOf(path);
    file.content = services.dataController.ReadSecureDataFile(file.fileName);
    migration.files.push_back(std::move(file));
  }
  Message request;
  request.moduleId = kMigrationModuleId;
  request.messageType = message_type::kDataMigrationRequest;
  request.category = kMigrationCategory;
  request.payload = migration.Serialize();
  request.isResponse = false;
  request.sessionId = keystone::kNoSessionId;
  return request.Serialize();
}

Message SVNUpgrador::StoreMigratedFiles(const Bytes& reply) {
  KS_LOG(Log(), kLogInfo, "FLOW", "storing all files after migration");
  Message message = Message::Parse(reply);
  if (message.messageType != message_type::kDataMigrationFiles) {
    throw std::runtime_error(kMigrationFailedText);
  }
  DataMigrationMessage migration;
  migration.Deserialize(message.payload);
  for (const FileData& file : migration.files) {
    services.dataController.WriteSecureDataFile(file.fileName, file.content);
  }
  return message;
}

}  // namespace mfab
