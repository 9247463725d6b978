#include "storage/authenticate_data_mirroring.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "common/exceptions.h"
#include "common/status.h"
#include "log/logger.h"
#include "platform/account_names.h"
#include "platform/registry.h"
#include "storage/data_controller.h"
#include "storage/mirroring_host.h"
#include "tlv/discovery_messages.h"
#include "tlv/host_messages.h"
#include "tlv/message.h"
#include "tlv/message_types.h"
#include "tlv/metadata.h"

namespace mfab {
namespace {

namespace records = ::AuthenticateDataMirroring;
using platform::RegistryErrc;
using platform::RegistryError;
using platform::RegistryTransaction;

// The applet module and category of the engine's data requests (as for the policy request).
constexpr uint32_t kDataModule = 5;
constexpr uint32_t kDataCategory = 1;
// The stored policy: _Sys$Policy in the data directory.
constexpr const char* kPolicyFile = "_Sys$Policy";

AuthenticateLogger& Log() { return AuthenticateLoggerService::Instance(); }

// The reply's envelope when it is of the expected type. An error reply whose code is
// acceptedError gives nullopt; any other error reply throws TEEException with the applet's text.
std::optional<Message> ParseReply(const Bytes& reply, uint32_t expectedType, const char* what,
                                  uint16_t acceptedError = 0) {
  Message message;
  try {
    message = Message::Parse(reply);
  } catch (const TlvException& e) {
    throw GeneralException(std::string("Malformed ") + what + " reply from the applet (" +
                           e.what() + ")");
  }
  if (message.messageType == message_type::kErrorReply) {
    ErrorMessage error;
    try {
      error.Deserialize(message.payload);
    } catch (const TlvException& e) {
      throw GeneralException(std::string("Malformed ") + what + " error reply (" + e.what() + ")");
    }
    if (acceptedError != 0 && error.errorCode == acceptedError) return std::nullopt;
    KS_LOG(Log(), kLogError, "FLOW", "The applet refused the %s request (%#x): %s", what,
           static_cast<unsigned>(error.errorCode), error.errorText.c_str());
    throw TEEException(error.errorText);
  }
  if (message.messageType != expectedType) {
    throw GeneralException(std::string("Unexpected ") + what + " reply type from the applet");
  }
  return message;
}

template <typename Payload>
Payload DecodePayload(const Message& message, const char* what) {
  Payload payload;
  try {
    payload.Deserialize(message.payload);
  } catch (const TlvException& e) {
    throw GeneralException(std::string("Malformed ") + what + " from the applet (" + e.what() +
                           ")");
  }
  return payload;
}

// Deletes a mirror subtree inside a rewrite; deletion errors are ignored, as the layout allows.
void DeleteQuietly(platform::Registry& registry, RegistryTransaction& transaction,
                   const std::string& path) {
  try {
    registry.DeleteTree(path, &transaction);
  } catch (const RegistryError&) {
  }
}

}  // namespace

AuthenticateDataMirroring::AuthenticateDataMirroring(platform::Registry& registryToUse,
                                                     const DataController& controller,
                                                     IMirroringHost& mirroringHost)
    : registry(registryToUse), dataController(controller), host(mirroringHost) {}

template <typename Body>
void AuthenticateDataMirroring::RewriteLocked(Body body) {
  std::unique_ptr<RegistryTransaction> transaction;
  try {
    transaction = registry.BeginTransaction();
  } catch (const RegistryError& e) {
    KS_LOG(Log(), kLogError, "FLOW", "Error writing to registry (%d)", e.code().value());
    throw WriteMirrorDataException(std::string("Couldn't start a registry transaction (") +
                                   e.what() + ")");
  }
  body(*transaction);
  try {
    transaction->Commit();
  } catch (const RegistryError& e) {
    KS_LOG(Log(), kLogError, "FLOW", "Error writing to registry (%d)", e.code().value());
    throw WriteMirrorDataException(std::string("Couldn't commit the mirror (") + e.what() + ")");
  }
}

void AuthenticateDataMirroring::MirrorDataIfEmpty() {
  {
    keystone::MutexLock lock(mutex);
    try {
      if (registry.OpenKey(records::MirrorPath(""), platform::reg_access::kRead)) {
        KS_LOG(Log(), kLogInfo, "FLOW", "Data Mirroring reg already exist");
        return;
      }
    } catch (const RegistryError& e) {
      KS_LOG(Log(), kLogError, "FLOW", "Error reading from registry (%d)", e.code().value());
      throw ReadMirrorDataException("Error reading from registry");
    }
  }
  if (!dataController.SecureDataFileExists(kPolicyFile)) {
    KS_LOG(Log(), kLogInfo, "FLOW", "policy file not exist");
    return;
  }
  KS_LOG(Log(), kLogInfo, "FLOW", "preformed data mirror");
  UpdateAll();
  UpdateSupportedFactors();
}

AuthenticateDataMirroring::PolicyRecords AuthenticateDataMirroring::FetchPolicy() {
  const std::optional<Message> reply =
      ParseReply(host.GetPolicyData(), message_type::kGetPolicyDataResponse, "policy data",
                 applet_error::kPolicyNotSet);
  PolicyRecords policy;
  if (!reply) {
    KS_LOG(Log(), kLogInfo, "FLOW", "The applet holds no policy; the mirror holds none either");
    return policy;
  }
  const auto data = DecodePayload<GetPolicyDataResponse>(*reply, "policy data");
  policy.factors = records::PolicyFactors::Decode(data.factorsData);
  policy.actions = records::PolicyActions::Decode(data.actionsData);
  policy.params = records::SystemParams::Decode(data.systemParamsData);
  return policy;
}

void AuthenticateDataMirroring::PolicyUpdated() {
  KS_LOG(Log(), kLogInfo, "FLOW", "Trigger: Policy Updated ");
  // Decoded in full before anything is deleted, so a bad reply leaves the mirror as it was.
  const PolicyRecords policy = FetchPolicy();
  keystone::MutexLock lock(mutex);
  RewriteLocked([&](RegistryTransaction& transaction) REQUIRES(mutex) {
    ClearPolicyMirrorDataLocked(transaction);
    MirrorPolicyLocked(policy, transaction);
  });
}

void AuthenticateDataMirroring::ClearPolicyMirrorDataLocked(RegistryTransaction& transaction) {
  KS_LOG(Log(), kLogInfo, "FLOW", "Clear Actions Mirror Data");
  DeleteQuietly(registry, transaction, records::MirrorPath(records::kActionsKey));
  KS_LOG(Log(), kLogInfo, "FLOW", "Clear Factors Mirror Data");
  DeleteQuietly(registry, transaction, records::MirrorPath(records::kFactorsKey));
  KS_LOG(Log(), kLogInfo, "FLOW", "Clear System settings Mirror Data");
  DeleteQuietly(registry, transaction, records::MirrorPath(records::kSystemSettingsKey));
}

void AuthenticateDataMirroring::MirrorPolicyLocked(const PolicyRecords& policy,
                                                   RegistryTransaction& transaction) {
  KS_LOG(Log(), kLogInfo, "FLOW", "Trigger: Mirror Policy");
  policy.factors.WriteToRegistry(registry, &transaction);
  policy.actions.WriteToRegistry(registry, &transaction);
  policy.params.WriteToRegistry(registry, &transaction);
}

void AuthenticateDataMirroring::DataCleared() {
  KS_LOG(Log(), kLogInfo, "FLOW", "Trigger: Applet Data Cleared");
  keystone::MutexLock lock(mutex);
  KS_LOG(Log(), kLogInfo, "FLOW", "Clear Mirror Data");
  try {
    registry.DeleteTree(records::MirrorPath(""));
  } catch (const RegistryError& e) {
    if (e.code() == RegistryErrc::kNotFound) return;
    KS_LOG(Log(), kLogError, "FLOW", "Error writing to registry (%d)", e.code().value());
    throw WriteMirrorDataException(std::string("Couldn't delete the mirror (") + e.what() + ")");
  }
}

void AuthenticateDataMirroring::UserUpdated(const std::string& user) {
  KS_LOG(Log(), kLogInfo, "FLOW", "Trigger: User Data Updated %s", user.c_str());
  if (!user.empty() && !platform::IsSidText(user)) {
    KS_LOG(Log(), kLogError, "FLOW", "'%s' is not a user SID", user.c_str());
    throw InvalidParamException("'" + user + "' is not a user SID");
  }
  {
    keystone::MutexLock lock(mutex);
    records::PolicyFactors factors;
    factors.ReadFromRegistry(registry);
    if (factors.factors.empty()) {
      KS_LOG(Log(), kLogInfo, "FLOW", "Policy not set, cancelling user data mirroring");
      return;
    }
  }
  GetUserDataRequest query;
  query.user = user;
  Message request;
  request.moduleId = kDataModule;
  request.messageType = message_type::kGetUserDataRequest;
  request.category = kDataCategory;
  request.payload = query.Serialize();
  request.sessionId = keystone::kNoSessionId;
  const std::optional<Message> reply = ParseReply(host.SendMessageUsingQueue(request.Serialize()),
                                                  message_type::kGetUserDataResponse, "user data");
  const auto response = DecodePayload<GetUserDataResponse>(*reply, "user data");
  const records::UserData users = records::UserData::Decode(response.userData);

  keystone::MutexLock lock(mutex);
  RewriteLocked([&](RegistryTransaction& transaction) REQUIRES(mutex) {
    users.WriteToRegistry(registry, &transaction, user);
  });
}

void AuthenticateDataMirroring::UpdateAll() {
  PolicyUpdated();
  UserUpdated("");
  host.StartUserRecordTask();
  host.ClearUserData();
}

void AuthenticateDataMirroring::MirrorFactorStatus(std::span<const uint8_t> support) {
  KS_LOG(Log(), kLogInfo, "FLOW", "Trigger: Mirror Factor Status");
  keystone::MutexLock lock(mutex);
  records::PolicyFactors factors;
  factors.ReadFromRegistry(registry);
  if (factors.factors.empty()) {
    KS_LOG(Log(), kLogError, "FLOW", "Policy Not Set");
    throw PolicyNotSetException("Policy Not Set");
  }
  ExternalFactorsSupport supported;
  try {
    supported.Deserialize(support);
  } catch (const TlvException& e) {
    KS_LOG(Log(), kLogError, "FLOW", "Malformed factor support data (%s)", e.what());
    throw InvalidInputException(std::string("Malformed factor support data (") + e.what() + ")");
  }
  std::set<std::string> ids;
  for (const ExternalFactorsSupport::Factor& factor : supported.factors) ids.insert(factor.factorId);
  for (auto& [id, factor] : factors.factors) factor.isSupported = ids.count(id) != 0;
  RewriteLocked([&](RegistryTransaction& transaction) REQUIRES(mutex) {
    factors.WriteToRegistry(registry, &transaction);
  });
  externalSupport = std::move(ids);
}

void AuthenticateDataMirroring::UpdateSupportedFactors() {
  keystone::MutexLock lock(mutex);
  records::PolicyFactors factors;
  factors.ReadFromRegistry(registry);
  if (!externalSupport) {
    KS_LOG(Log(), kLogInfo, "FLOW",
           "No factor support data received yet; IsSupported stays as the policy gives it");
  }
  RewriteLocked([&](RegistryTransaction& transaction) REQUIRES(mutex) {
    for (const auto& [id, factor] : factors.factors) {
      KS_LOG(Log(), kLogInfo, "FLOW", "about to update supported status for factor: %s",
             id.c_str());
      if (!externalSupport) continue;
      const std::string path = records::MirrorPath(records::kFactorsKey) + "\\" + id;
      try {
        std::unique_ptr<platform::RegistryKey> key =
            registry.OpenKey(path, platform::reg_access::kWrite, &transaction);
        if (key) {
          key->SetValue("IsSupported",
                        platform::RegValue::Dword(externalSupport->count(id) != 0 ? 1 : 0));
        }
      } catch (const RegistryError& e) {
        KS_LOG(Log(), kLogError, "FLOW", "Error writing to registry (%d)", e.code().value());
        throw WriteMirrorDataException("Couldn't write " + path + " (" + e.what() + ")");
      }
    }
  });
}

EnrolledFactors AuthenticateDataMirroring::EnrolledFactorsLocked(const std::string& user) {
  records::UserData data;
  if (!user.empty() && platform::IsSidText(user)) data.ReadFromRegistry(registry, nullptr, user);
  auto found = data.users.find(user);
  if (found == data.users.end()) {
    KS_LOG(Log(), kLogWarning, "FLOW", "GetUsersPrefixes failed");
    return {};
  }
  EnrolledFactors enrolled;
  for (auto& [factorId, entry] : found->second) {
    if (records::UserData::IsEnrolled(entry)) enrolled.emplace(factorId, std::move(entry));
  }
  return enrolled;
}

EnrolledFactors AuthenticateDataMirroring::GetEnrolledFactors(const std::string& user) {
  keystone::MutexLock lock(mutex);
  return EnrolledFactorsLocked(user);
}

MirrorView AuthenticateDataMirroring::ReadView(const std::string& user, bool withActions) {
  keystone::MutexLock lock(mutex);
  MirrorView view;
  view.factors.ReadFromRegistry(registry);
  if (withActions) view.actions.ReadFromRegistry(registry);
  if (!user.empty()) view.enrolled = EnrolledFactorsLocked(user);
  return view;
}

std::vector<std::string> AuthenticateDataMirroring::SubkeyNamesLocked(const std::string& path) {
  std::vector<std::string> names;
  try {
    std::unique_ptr<platform::RegistryKey> key =
        registry.OpenKey(path, platform::reg_access::kRead);
    if (!key) return names;
    for (uint32_t index = 0;; ++index) {
      std::optional<std::string> name = key->EnumKey(index);
      if (!name) break;
      names.push_back(std::move(*name));
    }
  } catch (const RegistryError& e) {
    KS_LOG(Log(), kLogError, "FLOW", "Error reading from registry (%d)", e.code().value());
    throw ReadMirrorDataException("Error reading from registry");
  }
  return names;
}

std::vector<std::string> AuthenticateDataMirroring::FactorIds() {
  keystone::MutexLock lock(mutex);
  std::vector<std::string> ids = SubkeyNamesLocked(records::MirrorPath(records::kFactorsKey));
  // Keyed by identifier in byte order; the store lists names without regard to case.
  std::sort(ids.begin(), ids.end());
  return ids;
}

std::vector<std::string> AuthenticateDataMirroring::ActionIds() {
  keystone::MutexLock lock(mutex);
  return SubkeyNamesLocked(records::MirrorPath(records::kActionsKey));
}

}  // namespace mfab
