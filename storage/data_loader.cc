#include "storage/data_loader.h"

#include <utility>

#include "common/exceptions.h"
#include "log/logger.h"

namespace mfab {
namespace {

constexpr const char* kMasterVersions = "_masterVersions";
constexpr const char* kSys = "_Sys";
constexpr const char* kUserPrefix = "_U";

AuthenticateLogger& Log() { return AuthenticateLoggerService::Instance(); }

void AppendUint32Item(Bytes& out, uint16_t tag, uint32_t value) {
  const uint8_t bytes[4] = {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
                            static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
  AppendTlv(out, tag, std::span<const uint8_t>(bytes, 4));
}

// One container item holding one string item per id; nothing when there are no ids.
void AppendIdList(Bytes& out, uint16_t listTag, uint16_t idTag, const std::set<std::string>& ids) {
  if (ids.empty()) return;
  Bytes list;
  for (const std::string& id : ids) AppendTlv(list, idTag, id);
  AppendTlv(out, listTag, list);
}

}  // namespace

AuthenticateDataLoader::AuthenticateDataLoader(const DataController& controllerToUse,
                                               IPolicyMirrorReader& policyReader)
    : controller(&controllerToUse), policy(&policyReader) {}

std::shared_ptr<const DataFile> AuthenticateDataLoader::MakeFile(
    std::shared_ptr<const DataFile> parent, std::string name) const {
  return std::make_shared<const DataFile>(*controller, std::move(parent), std::move(name));
}

void AuthenticateDataLoader::LoadKeys(const DataCategories& categories) {
  for (const uint16_t code : categories) {
    switch (code) {
      case data_category::kSystemFiles:
        if (!LoadSystemFiles()) return;
        break;
      case data_category::kPolicy:
        LoadPolicy();
        break;
      case data_category::kCertificate:
        LoadCertificates();
        break;
      case data_category::kUserEnrollment:
        LoadUserEnrollment();
        break;
      case data_category::kUserActions:
        LoadUserActions();
        break;
      case data_category::kFactorSystem:
        LoadFactorSystem();
        break;
      default:
        break;
    }
  }
}

bool AuthenticateDataLoader::LoadSystemFiles() {
  KS_LOG(Log(), kLogInfo, "FLOW", "Piggy-backing system files");
  const auto masterVersions = MakeFile(nullptr, kMasterVersions);
  // Without the master-version record the applet has no stored data at all.
  if (!masterVersions->Exists()) return false;
  Add(masterVersions);
  const auto sys = MakeFile(nullptr, kSys);
  if (sys->Exists()) Add(sys);
  if (!user.empty()) {
    const auto userFile = MakeFile(nullptr, kUserPrefix + user);
    if (userFile->Exists()) Add(userFile);
  }
  loadedCategories.insert(data_category::kSystemFiles);
  return true;
}

void AuthenticateDataLoader::LoadPolicy() {
  KS_LOG(Log(), kLogInfo, "FLOW", "Piggy-backing policy data");
  const auto sys = MakeFile(nullptr, kSys);
  if (!sys->Exists()) return;
  const auto policyFile = MakeFile(sys, "Policy");
  if (!policyFile->Exists()) return;
  Add(sys);
  Add(policyFile);
  loadedCategories.insert(data_category::kPolicy);
}

void AuthenticateDataLoader::LoadCertificates() {
  KS_LOG(Log(), kLogInfo, "FLOW", "Piggy-backing certificate data");
  const auto sys = MakeFile(nullptr, kSys);
  if (!sys->Exists()) return;
  const auto credential = MakeFile(sys, "Credential");
  if (!credential->Exists()) return;
  Add(sys);
  Add(credential);
  for (const char* keyName : {"publicKey", "publicKey2"}) {
    const auto key = MakeFile(sys, keyName);
    if (key->Exists()) Add(key);
  }
  loadedCategories.insert(data_category::kCertificate);
}

void AuthenticateDataLoader::LoadUserEnrollment() {
  KS_LOG(Log(), kLogInfo, "FLOW", "Piggy-backing enrollment data for a user");
  if (user.empty()) throw InvalidParamException("Enrollment data piggyback missing user name");
  const auto userFile = MakeFile(nullptr, kUserPrefix + user);
  if (!userFile->Exists()) return;
  Add(userFile);
  for (const std::string& factorId : policy->FactorIds()) {
    const auto factorFile = MakeFile(userFile, "E" + factorId);
    if (factorFile->Exists()) {
      Add(factorFile);
      factorIds.insert(factorId);
    }
  }
  loadedCategories.insert(data_category::kUserEnrollment);
}

void AuthenticateDataLoader::LoadUserActions() {
  KS_LOG(Log(), kLogInfo, "FLOW", "Piggy-backing action secure data");
  if (user.empty()) throw InvalidParamException("Action data piggyback missing user name");
  const auto userFile = MakeFile(nullptr, kUserPrefix + user);
  if (!userFile->Exists()) return;
  Add(userFile);
  for (const std::string& actionId : policy->ActionIds()) {
    const auto actionFile = MakeFile(userFile, "A" + actionId);
    if (actionFile->Exists()) {
      Add(actionFile);
      actionIds.insert(actionId);
    }
  }
  loadedCategories.insert(data_category::kUserActions);
}

void AuthenticateDataLoader::LoadFactorSystem() {
  KS_LOG(Log(), kLogInfo, "FLOW", "Piggy-backing factor system data");
  const auto sys = MakeFile(nullptr, kSys);
  if (!sys->Exists()) return;
  Add(sys);
  for (const std::string& factorId : policy->FactorIds()) {
    const auto factorFile = MakeFile(sys, "F" + factorId);
    if (factorFile->Exists()) {
      Add(factorFile);
      factorIds.insert(factorId);
    }
  }
  loadedCategories.insert(data_category::kFactorSystem);
}

Bytes AuthenticateDataLoader::Encode() const {
  Bytes categoryList;
  for (const uint16_t code : loadedCategories) {
    AppendUint32Item(categoryList, piggyback_tag::kCategory, code);
  }
  Bytes fileList;
  for (const auto& file : files) AppendTlv(fileList, piggyback_tag::kFile, file->Encode());

  Bytes userSection;
  if (!user.empty()) AppendTlv(userSection, piggyback_tag::kUser, user);
  AppendIdList(userSection, piggyback_tag::kFactorIdList, piggyback_tag::kFactorId, factorIds);
  AppendIdList(userSection, piggyback_tag::kActionIdList, piggyback_tag::kActionId, actionIds);

  Bytes body;
  AppendTlv(body, piggyback_tag::kCategoryList, categoryList);
  AppendTlv(body, piggyback_tag::kFileList, fileList);
  AppendTlv(body, piggyback_tag::kUserSection, userSection);
  Bytes block;
  AppendTlv(block, piggyback_tag::kBlock, body);
  return block;
}

Bytes BuildPiggyBackBlock(const std::string& user, DataCategories& categories,
                          const DataController& controller, IPolicyMirrorReader& policyReader) {
  if (categories.empty()) return {};
  AuthenticateDataLoader loader(controller, policyReader);
  loader.SetUser(user);
  loader.LoadKeys(categories);
  categories = loader.LoadedCategories();
  if (categories.empty()) return {};
  return loader.Encode();
}

}  // namespace mfab
