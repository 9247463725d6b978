#include "sim/applet/applet.h"

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <set>
#include <utility>

#include "common/hex.h"
#include "sim/applet/policy.h"
#include "sim/applet/protocol.h"
#include "sim/applet/records.h"
#include "sim/applet/sealing.h"
#include "tlv/client_messages.h"
#include "tlv/host_messages.h"
#include "tlv/piggyback_block.h"

namespace kilnsim {
namespace {

namespace mt = mfab::message_type;

// Room the envelope and at least a few log lines need besides the payload.
constexpr size_t kMaxSavePayload = kMaxReplySize - 512;

uint64_t UnixSeconds() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                   std::chrono::system_clock::now().time_since_epoch())
                                   .count());
}

mfab::Message ParseEnvelope(std::span<const uint8_t> request) {
  if (request.size() > kMaxRequestSize) {
    throw AppletError(sim_error::kMalformedRequest, "request larger than 65536 bytes");
  }
  try {
    return mfab::Message::Parse(request);
  } catch (const std::exception& error) {
    throw AppletError(sim_error::kMalformedRequest,
                      std::string("malformed request: ") + error.what());
  }
}

// The logical name behind a name the engine uses for a stored file: without directories and
// without the ".SDS" extension.
std::string LogicalName(const std::string& fileName) {
  std::string name =
      fileName.substr(fileName.rfind('/') == std::string::npos ? 0 : fileName.rfind('/') + 1);
  if (name.size() > 4 && name.compare(name.size() - 4, 4, ".SDS") == 0)
    name.resize(name.size() - 4);
  return name;
}

// Checks a record by the kind its name gives it; throws AppletError(kSealedDataRefused).
void ValidateRecord(const std::string& name, std::span<const uint8_t> record) {
  switch (ClassifyName(name).kind) {
    case RecordKind::kMasterVersions:
      ParseMasterVersions(record);
      break;
    case RecordKind::kSystem:
      ParseSystemRecord(record);
      break;
    case RecordKind::kPolicy:
      try {
        ParsePolicy(record);
      } catch (const AppletError& error) {
        throw AppletError(sim_error::kSealedDataRefused,
                          std::string("stored policy: ") + error.what());
      }
      break;
    case RecordKind::kUser:
      ParseUserRecord(record);
      break;
    case RecordKind::kEnrollment:
      ParseEnrollmentRecord(record);
      break;
    case RecordKind::kOpaque:
      break;
  }
}

bool IsAnswerType(uint32_t type) {
  return type == mt::kSaveResponse || type == mt::kClearDataResponse ||
         type == mt::kDeleteLevel1Response || type == mt::kCheckPhonePresenceResponse ||
         type == mt::kNeedUserDataResponse || type == mt::kFactorResultResponse ||
         type == mt::kFpResponse;
}

}  // namespace

Applet::Applet(std::shared_ptr<Firmware> sharedFirmware) : firmware(std::move(sharedFirmware)) {}

bool Applet::Open(std::span<const uint8_t> initData, std::string& problem) {
  try {
    if (initData.size() > kMaxRequestSize)
      throw AppletError(sim_error::kMalformedRequest, "init data too large");
    FieldReader fields(initData, "session-init data", sim_error::kMalformedRequest,
                       {0x0000, kPiggyBackTag});
    osGeneration = fields.Uint(0x0000);
    if (osGeneration < 1 || osGeneration > 16) fields.Fail("OS generation out of range");
    openLog.Add(FwLog::kInfo, "session: ", "opened for OS generation %u", osGeneration);
    if (fields.Has(kPiggyBackTag)) {
      const PiggyBackBlock block = ParsePiggyBack(fields.Bytes(kPiggyBackTag));
      try {
        AcceptStoredData(block, openLog);
      } catch (const AppletError& error) {
        refusedAtOpen = error;
      }
    }
    return true;
  } catch (const AppletError& error) {
    problem = error.what();
    return false;
  }
}

std::vector<uint8_t> Applet::Exchange(uint32_t commandId, std::span<const uint8_t> request) {
  FwLog log = std::exchange(openLog, FwLog{});
  uint32_t moduleId = 0xFFFFFFFF;
  uint32_t category = 0;
  uint32_t sessionId = 0xFFFFFFFF;
  ReplyDraft draft;
  try {
    for (const std::string& problem : firmware->Faults().TakeProblems()) {
      log.Add(FwLog::kWarning, "faults: ", "fault file entry ignored: %s", problem.c_str());
    }
    if (commandId == command::kIdleClear) {
      draft = HandleIdleClear(log);
    } else {
      const mfab::Message message = ParseEnvelope(request);
      moduleId = message.moduleId;
      category = message.category;
      sessionId = message.sessionId;
      if (commandId == command::kRequest) {
        draft = HandleRequest(message, request, log);
      } else if (commandId == command::kUpgrade) {
        draft = HandleUpgrade(message, log);
      } else {
        throw AppletError(sim_error::kUnsupportedMessage,
                          "unknown command identifier " + std::to_string(commandId));
      }
    }
  } catch (const AppletError& error) {
    if (commandId == command::kUpgrade) upgrade = Upgrade{};
    log.Add(FwLog::kError, "request: ", "refused (0x%04X): %s", error.Code(), error.what());
    draft = ErrorDraft(error.Code(), error.what());
  } catch (const std::exception& error) {
    if (commandId == command::kUpgrade) upgrade = Upgrade{};
    log.Add(FwLog::kError, "request: ", "firmware failure: %s", error.what());
    draft =
        ErrorDraft(sim_error::kFirmwareFailure, std::string("firmware failure: ") + error.what());
  }
  return FinishReply(draft, moduleId, category, sessionId, log, firmware->UptimeMs());
}

ReplyDraft Applet::HandleRequest(const mfab::Message& request, std::span<const uint8_t> raw,
                                 FwLog& log) {
  if (const std::optional<std::span<const uint8_t>> block = FindPiggyBack(raw)) {
    AcceptStoredData(ParsePiggyBack(*block), log);
  }
  if (pending && request.messageType == pending->awaitedType) return Confirm(request, log);
  // The factor's own messages may come before the answer; the check waits for it.
  if (factorCheck && request.messageType == mt::kFactorResultResponse) {
    return FactorAnswered(request, log);
  }
  if (phoneCheck && request.messageType == mt::kCheckPhonePresenceResponse) {
    return PhoneAnswered(request, log);
  }
  if (smartCard.waitingForUserData && request.messageType == mt::kNeedUserDataResponse) {
    const mfab::Message parked = std::move(*smartCard.waitingForUserData);
    smartCard.waitingForUserData.reset();
    return SmartCardChallenge(parked, log, true);
  }
  if (pending) {
    log.Add(FwLog::kWarning, "storage: ", "change not confirmed by the host, dropped: %s",
            pending->description.c_str());
    pending.reset();
  }
  if (upgrade.stage != UpgradeStage::kIdle) {
    log.Add(FwLog::kWarning, "upgrade: ", "upgrade exchange interrupted by a request");
    upgrade = Upgrade{};
  }
  if (refusedAtOpen) {
    const AppletError error = *refusedAtOpen;
    refusedAtOpen.reset();
    throw error;
  }
  const VersionTable table = firmware->Versions();
  const uint32_t svn = firmware->EffectiveSvn();
  if (!table.versions.empty() && table.dataSvn < svn) {
    log.Add(FwLog::kWarning, "upgrade: ", "stored data sealed under SVN %u, firmware runs SVN %u",
            table.dataSvn, svn);
    return ErrorDraft(mfab::applet_error::kSvnUpgradeNeeded,
                      "security version upgrade needed: stored data is sealed under SVN " +
                          std::to_string(table.dataSvn) + ", the firmware runs SVN " +
                          std::to_string(svn));
  }
  switch (request.messageType) {
    case sim_type::kSetPolicyRequest:
      return SetPolicy(request, log);
    case mt::kGetPolicyDataRequest:
      return GetPolicyData(log);
    case mt::kGetUserDataRequest:
      return GetUserData(request, log);
    case mt::kSaveEnrollmentDataRequest:
      return SaveEnrollmentData(request, log);
    case mt::kClientClearData:
      return ClearAllData(log);
    case sim_type::kRemoveUserRequest:
      return RemoveUser(request, log);
    case mt::kClearActionTimeoutCacheRequest:
      return ClearActionTimeoutCache(request, log);
    case mt::kCheckHostFactorRequest:
      return CheckHostFactor(request, log);
    case mt::kPhoneCheckRequest:
      return CheckPhone(request, log);
    case mt::kSmartCardDataForEnrollment:
      return SmartCardDataForEnrollment(request, log);
    case mt::kSmartCardChallengeRequest:
      return SmartCardChallenge(request, log, false);
    case mt::kValidateChallengeResponseRequest:
      return ValidateSmartCardChallenge(request, log);
    default:
      break;
  }
  char type[16];
  std::snprintf(type, sizeof(type), "0x%08X", request.messageType);
  if (IsAnswerType(request.messageType)) {
    throw AppletError(
        sim_error::kUnexpectedMessage,
        std::string("message type ") + type + " answers a request this applet has not made");
  }
  throw AppletError(sim_error::kUnsupportedMessage,
                    std::string("message type ") + type + " is not supported");
}

ReplyDraft Applet::HandleIdleClear(FwLog& log) {
  log.Add(FwLog::kInfo, "session: ", "continuation cache cleared%s%s%s%s",
          pending ? " (dropped unconfirmed change)" : "",
          upgrade.stage != UpgradeStage::kIdle ? " (dropped upgrade exchange)" : "",
          factorCheck ? " (dropped unanswered factor check)" : "",
          phoneCheck ? " (dropped unanswered phone check)" : "");
  pending.reset();
  factorCheck.reset();
  phoneCheck.reset();
  smartCard = SmartCardState{};
  upgrade = Upgrade{};
  return BooleanDraft(sim_type::kIdleClearResponse, 0);
}

void Applet::AcceptStoredData(const PiggyBackBlock& block, FwLog& log) {
  const VersionTable table = firmware->Versions();
  const uint32_t svn = firmware->EffectiveSvn();
  std::map<std::string, StoredFile> accepted;
  for (const DeliveredFile& file : block.files) {
    if (!IsStoredName(file.name)) {
      throw AppletError(sim_error::kMalformedRequest,
                        "stored-data name '" + file.name + "' is not acceptable");
    }
    if (file.content.empty()) {
      log.Add(FwLog::kWarning, "storage: ", "stored file %s arrived empty", file.name.c_str());
      continue;
    }
    StoredFile stored;
    try {
      const BlobHeader header = PeekBlobHeader(file.content);
      if (header.svn > svn) {
        throw SealError("sealed under SVN " + std::to_string(header.svn) +
                        ", newer than this firmware's " + std::to_string(svn));
      }
      // Data of a security version that an upgrade has left behind is no longer trusted.
      if (header.svn < table.dataSvn) {
        throw SealError("sealed under SVN " + std::to_string(header.svn) +
                        ", older than the stored data's " + std::to_string(table.dataSvn));
      }
      stored.record = OpenBlob(firmware->KeyFor(header.svn), file.name, file.content);
      stored.version = header.version;
      stored.svn = header.svn;
    } catch (const SealError& error) {
      throw AppletError(
          sim_error::kSealedDataRefused,
          "stored data '" + file.name + "' refused: it does not unseal (" + error.what() + ")");
    }
    if (!table.Accepts(file.name, stored.version)) {
      auto current = table.versions.find(file.name);
      throw AppletError(
          sim_error::kRollbackDetected,
          "stored data '" + file.name + "' refused: it is version " +
              std::to_string(stored.version) +
              (current == table.versions.end()
                   ? std::string(", a file that no longer exists")
                   : ", but version " + std::to_string(current->second) + " is current") +
              " (rolled back)");
    }
    ValidateRecord(file.name, stored.record);
    accepted[file.name] = std::move(stored);
  }
  for (const auto& [name, stored] : accepted) {
    const auto dollar = name.find('$');
    if (dollar == std::string::npos) continue;
    const std::string parent = name.substr(0, dollar);
    if (accepted.count(parent) == 0 && files.count(parent) == 0) {
      throw AppletError(sim_error::kStoredDataIncomplete,
                        "stored data incomplete: '" + name + "' arrived without '" + parent + "'");
    }
  }
  for (uint32_t code : block.categories) {
    std::string needed;
    if (code == mfab::data_category::kPolicy) needed = kPolicyName;
    if (code == mfab::data_category::kUserEnrollment && IsSid(block.user)) {
      needed = UserRootName(block.user);
    }
    if (!needed.empty() && accepted.count(needed) == 0) {
      throw AppletError(sim_error::kStoredDataIncomplete,
                        "stored data incomplete: category " + std::to_string(code) +
                            " announced without '" + needed + "'");
    }
  }
  for (auto& [name, stored] : accepted) files[name] = std::move(stored);
  if (!accepted.empty())
    log.Add(FwLog::kInfo, "storage: ", "accepted %zu stored file(s)", accepted.size());
}

ReplyDraft Applet::Confirm(const mfab::Message& answer, FwLog& log) {
  Pending change = std::move(*pending);
  pending.reset();
  if (change.awaitedType == mt::kSaveResponse) {
    // The engine answers only after every file is written; the value itself carries nothing.
    ParsePayload<mfab::SaveResponse>(answer, "SaveResponse");
  } else {
    const auto result = ParsePayload<mfab::BooleanResponse>(answer, "BooleanResponse");
    if (result.result != 0) {
      throw AppletError(sim_error::kHostRefused,
                        "the host could not " + change.description + "; nothing changed");
    }
  }
  firmware->Commit(change.change);
  if (change.clearFiles) files.clear();
  for (const std::string& prefix : change.removePrefixes) {
    std::erase_if(files, [&](const auto& entry) { return entry.first.starts_with(prefix); });
  }
  for (auto& [name, stored] : change.updates) files[name] = std::move(stored);
  log.Add(FwLog::kInfo, "storage: ", "host confirmed: %s (generation %" PRIu64 ")",
          change.description.c_str(), change.change.generation);
  return change.finalReply;
}

ReplyDraft Applet::BeginSave(const NamedRecords& records, Pending change, FwLog& log) {
  const VersionTable table = firmware->Versions();
  const uint32_t svn = firmware->EffectiveSvn();
  const uint64_t generation = firmware->ReserveGeneration();
  MasterVersions master{generation, table.versions.empty() ? svn : table.dataSvn, table.versions};
  master.versions.erase(kMasterVersionsName);
  for (const auto& [name, record] : records) master.versions[name] = generation;
  if (master.versions.size() > kMaxStoredFiles) {
    throw AppletError(sim_error::kStorageLimit,
                      "storage full: at most " + std::to_string(kMaxStoredFiles) + " stored files");
  }
  const SealingKey key = firmware->KeyFor(svn);
  const BlobHeader header{svn, generation};
  mfab::SaveRequest save;
  save.masterVersionsData =
      SealBlob(key, kMasterVersionsName, header, SerializeMasterVersions(master));
  // Both slots must name a file; a slot with nothing else to carry repeats the last file (or the
  // master-versions record), which the engine simply writes twice.
  std::vector<std::pair<std::string, std::vector<uint8_t>>> blobs;
  for (const auto& [name, record] : records)
    blobs.emplace_back(name, SealBlob(key, name, header, record));
  if (blobs.empty()) blobs.emplace_back(kMasterVersionsName, save.masterVersionsData);
  save.firstFileName = blobs.front().first;
  save.firstFileData = blobs.front().second;
  save.secondFileName = blobs.back().first;
  save.secondFileData = blobs.back().second;
  std::vector<uint8_t> payload = save.Serialize();
  if (payload.size() > kMaxSavePayload) {
    throw AppletError(sim_error::kStorageLimit, "the data to store does not fit one message");
  }
  change.awaitedType = mt::kSaveResponse;
  change.change.generation = generation;
  change.change.sealSvn = svn;
  change.change.set[kMasterVersionsName] = generation;
  for (const auto& [name, record] : records) {
    change.change.set[name] = generation;
    change.updates[name] = StoredFile{generation, svn, record};
  }
  log.Add(FwLog::kInfo, "storage: ", "asking the host to %s (generation %" PRIu64 ", SVN %u)",
          change.description.c_str(), generation, svn);
  pending = std::move(change);
  return ReplyDraft{mt::kSaveRequest, false, std::move(payload)};
}

ReplyDraft Applet::SetPolicy(const mfab::Message& request, FwLog& log) {
  const Policy policy = ParsePolicy(request.payload);
  SystemRecord system;
  if (auto it = files.find(kSystemName); it != files.end())
    system = ParseSystemRecord(it->second.record);
  ++system.policyRevision;
  system.updated = UnixSeconds();
  log.Add(
      FwLog::kInfo, "policy: ", "policy revision %u: %zu factor(s), %zu action(s), %zu setting(s)",
      system.policyRevision, policy.factors.size(), policy.actions.size(), policy.settings.size());
  Pending change;
  change.description = "store the policy";
  change.finalReply = BooleanDraft(sim_type::kSetPolicyResponse, 0);
  return BeginSave(
      {{kSystemName, SerializeSystemRecord(system)}, {kPolicyName, SerializePolicy(policy)}},
      std::move(change), log);
}

ReplyDraft Applet::GetPolicyData(FwLog& log) {
  auto it = files.find(kPolicyName);
  if (it == files.end()) throw AppletError(sim_error::kPolicyNotSet, "no policy is set");
  const Policy policy = ParsePolicy(it->second.record);
  mfab::GetPolicyDataResponse response;
  response.factorsData = SerializeFactorElements(policy);
  response.actionsData = SerializeActionElements(policy);
  response.systemParamsData = SerializeSettingElements(policy);
  log.Add(FwLog::kInfo, "policy: ", "policy read: %zu factor(s), %zu action(s)",
          policy.factors.size(), policy.actions.size());
  return ReplyDraft{sim_type::kGetPolicyDataResponse, true, response.Serialize()};
}

namespace {

// The values of an enrolled factor: IsEnrolled and EnrolledAt first, then the enrollment's own.
std::vector<NameValue> EnrollmentValues(const EnrollmentRecord& enrollment) {
  std::vector<NameValue> values{{"IsEnrolled", "true"},
                                {"EnrolledAt", std::to_string(enrollment.enrolledAt)}};
  for (const NameValue& value : enrollment.data) {
    if (value.name != "IsEnrolled" && value.name != "EnrolledAt") values.push_back(value);
  }
  // The smart card's key stays the applet's own; its values name the certificate.
  if (!enrollment.raw.empty() && enrollment.factorId != kSmartCardFactorId) {
    values.push_back({"Data", keystone::ToHex(enrollment.raw)});
  }
  return values;
}

}  // namespace

ReplyDraft Applet::GetUserData(const mfab::Message& request, FwLog& log) {
  const auto query = ParsePayload<mfab::GetUserDataRequest>(request, "GetUserDataRequest");
  if (!query.user.empty() && !IsSid(query.user)) {
    throw AppletError(sim_error::kInvalidArgument, "'" + query.user + "' is not a SID");
  }
  // One user: what the engine delivered of that user. Every user: the firmware's own table of
  // stored files names each user and enrollment; the values come along for the records this
  // session holds, the others say only that the factor is enrolled.
  std::map<std::string, std::vector<uint8_t>> names;
  if (query.user.empty()) {
    for (const auto& [name, version] : firmware->Versions().versions) {
      auto held = files.find(name);
      names[name] = held == files.end() ? std::vector<uint8_t>{} : held->second.record;
    }
  } else {
    for (const auto& [name, stored] : files) names[name] = stored.record;
  }
  std::map<std::string, UserData> users;
  for (const auto& [name, record] : names) {
    const NameInfo info = ClassifyName(name);
    if ((info.kind != RecordKind::kUser && info.kind != RecordKind::kEnrollment) ||
        (!query.user.empty() && info.sid != query.user)) {
      continue;
    }
    UserData& user = users[info.sid];
    user.sid = info.sid;
    if (info.kind != RecordKind::kEnrollment) continue;
    user.factors[info.factorId] = record.empty()
                                      ? std::vector<NameValue>{{"IsEnrolled", "true"}}
                                      : EnrollmentValues(ParseEnrollmentRecord(record));
  }
  std::vector<UserData> list;
  for (auto& [sid, user] : users) list.push_back(std::move(user));
  mfab::GetUserDataResponse response;
  response.userData = SerializeUserData(list);
  if (response.userData.size() > kMaxSavePayload) {
    throw AppletError(sim_error::kStorageLimit,
                      "user data does not fit one message; ask for one user");
  }
  log.Add(FwLog::kInfo, "user: ", "user data of %zu user(s)", list.size());
  return ReplyDraft{sim_type::kGetUserDataResponse, true, response.Serialize()};
}

ReplyDraft Applet::SaveEnrollmentData(const mfab::Message& request, FwLog& log) {
  const auto store =
      ParsePayload<mfab::SaveEnrollmentDataRequest>(request, "SaveEnrollmentDataRequest");
  if (!IsSid(store.user))
    throw AppletError(sim_error::kInvalidArgument, "'" + store.user + "' is not a SID");
  if (!IsIdentifier(store.factorId)) {
    throw AppletError(sim_error::kInvalidArgument,
                      "'" + store.factorId + "' is not a factor identifier");
  }
  auto policyFile = files.find(kPolicyName);
  if (policyFile == files.end()) throw AppletError(sim_error::kPolicyNotSet, "no policy is set");
  if (!ParsePolicy(policyFile->second.record).FindFactor(store.factorId)) {
    throw AppletError(mfab::applet_error::kFactorNotSupported,
                      "factor " + store.factorId + " is not in the policy");
  }
  EnrollmentRecord enrollment{store.factorId, UnixSeconds(), {}, {}};
  if (store.factorId == kSmartCardFactorId) {
    // A smart card is enrolled only after this applet verified its signature in this session.
    enrollment = ProvenSmartCard(store.user, request.sessionId);
  } else if (!store.data.empty()) {
    try {
      enrollment.data = ParseNameValues(store.data, sim_error::kInvalidArgument, "enrollment data");
    } catch (const AppletError&) {
      if (store.data.size() > kMaxEnrollmentData) {
        throw AppletError(sim_error::kInvalidArgument, "enrollment data larger than 4096 bytes");
      }
      enrollment.raw = store.data;
    }
  }
  UserRecord user{store.user, UnixSeconds()};
  if (auto it = files.find(UserRootName(store.user)); it != files.end())
    user = ParseUserRecord(it->second.record);
  Pending change;
  change.description = "store the enrollment of factor " + store.factorId + " for " + store.user;
  change.finalReply = BooleanDraft(mt::kSaveEnrollmentDataResponse, 0);
  return BeginSave(
      {{UserRootName(store.user), SerializeUserRecord(user)},
       {EnrollmentName(store.user, store.factorId), SerializeEnrollmentRecord(enrollment)}},
      std::move(change), log);
}

ReplyDraft Applet::ClearAllData(FwLog& log) {
  Pending change;
  change.awaitedType = mt::kClearDataResponse;
  change.description = "clear all stored data";
  change.change.generation = firmware->ReserveGeneration();
  change.change.removeAll = true;
  change.clearFiles = true;
  change.finalReply = BooleanDraft(sim_type::kClientClearDataResponse, 0);
  log.Add(FwLog::kInfo, "storage: ", "asking the host to clear all stored data");
  pending = std::move(change);
  return ReplyDraft{mt::kClearDataRequest, false, {}};
}

ReplyDraft Applet::RemoveUser(const mfab::Message& request, FwLog& log) {
  FieldReader fields(request.payload, "RemoveUserRequest", sim_error::kMalformedRequest,
                     {tag::kUser});
  const std::string sid = fields.Text(tag::kUser, 184);
  if (!IsSid(sid)) throw AppletError(sim_error::kInvalidArgument, "'" + sid + "' is not a SID");
  const std::string prefix = UserRootName(sid);
  const VersionTable table = firmware->Versions();
  bool found = false;
  for (const auto& [name, version] : table.versions) {
    if (!name.starts_with(prefix)) continue;
    if (name != prefix && !name.starts_with(prefix + "$")) {
      // The host deletes by name prefix: this user's prefix also starts another user's names.
      throw AppletError(sim_error::kInvalidArgument,
                        "removing " + sid + " would also delete '" + name + "'; refused");
    }
    found = true;
  }
  if (!found) throw AppletError(sim_error::kUnknownUser, "user " + sid + " has no stored data");
  const uint32_t svn = firmware->EffectiveSvn();
  const uint64_t generation = firmware->ReserveGeneration();
  MasterVersions master{generation, table.dataSvn, table.versions};
  std::erase_if(master.versions, [&](const auto& entry) {
    return entry.first.starts_with(prefix) || entry.first == kMasterVersionsName;
  });
  mfab::DeleteLevel1Request remove;
  remove.masterVersionsData = SealBlob(firmware->KeyFor(svn), kMasterVersionsName,
                                       {svn, generation}, SerializeMasterVersions(master));
  remove.namePrefix = prefix;
  Pending change;
  change.awaitedType = mt::kDeleteLevel1Response;
  change.description = "delete the data of " + sid;
  change.change.generation = generation;
  change.change.sealSvn = svn;
  change.change.removePrefixes = {prefix};
  change.change.set[kMasterVersionsName] = generation;
  change.removePrefixes = {prefix};
  change.finalReply = BooleanDraft(sim_type::kRemoveUserResponse, 0);
  log.Add(FwLog::kInfo, "user: ", "asking the host to delete the data of %s", sid.c_str());
  pending = std::move(change);
  return ReplyDraft{mt::kDeleteLevel1Request, false, remove.Serialize()};
}

ReplyDraft Applet::ClearActionTimeoutCache(const mfab::Message& request, FwLog& log) {
  FieldReader fields(request.payload, "ClearActionTimeoutCacheRequest",
                     sim_error::kMalformedRequest, {tag::kActionId});
  const std::string action = fields.Text(tag::kActionId, 64);
  // Authorizations are cached only by an authentication, which this applet does not run yet; the
  // cache is per session and therefore empty here.
  log.Add(FwLog::kInfo, "cache: ", "cached authorization of action %s cleared", action.c_str());
  return BooleanDraft(sim_type::kClearActionTimeoutCacheResponse, 0);
}

ReplyDraft Applet::CheckHostFactor(const mfab::Message& request, FwLog& log) {
  const auto check = ParsePayload<AuthenticateFlows::AuthenticateFactorRequest>(
      request, "AuthenticateFactorRequest");
  if (!IsSid(check.user))
    throw AppletError(sim_error::kInvalidArgument, "'" + check.user + "' is not a SID");
  if (!IsIdentifier(check.factorId)) {
    throw AppletError(sim_error::kInvalidArgument,
                      "'" + check.factorId + "' is not a factor identifier");
  }
  if (factorCheck) {
    log.Add(FwLog::kWarning, "auth: ", "unanswered check of factor %s dropped",
            factorCheck->factorId.c_str());
  }
  factorCheck = FactorCheck{check.factorId, check.user};
  log.Add(FwLog::kInfo, "auth: ", "asking the host to authenticate %s with factor %s",
          check.user.c_str(), check.factorId.c_str());
  return ReplyDraft{mt::kFactorResultRequest, false, check.Serialize()};
}

ReplyDraft Applet::FactorAnswered(const mfab::Message& answer, FwLog& log) {
  const FactorCheck check = std::move(*factorCheck);
  factorCheck.reset();
  const auto result = ParsePayload<mfab::BooleanResponse>(answer, "BooleanResponse");
  bool authenticated = result.result == 0;
  // The smart card counts only when this applet verified its signature, whatever the host says.
  if (authenticated && check.factorId == kSmartCardFactorId && !check.smartCardVerified) {
    log.Add(FwLog::kWarning, "auth: ", "no verified smart-card challenge for %s",
            check.user.c_str());
    authenticated = false;
  }
  log.Add(authenticated ? FwLog::kInfo : FwLog::kWarning, "auth: ", "the host %s %s with factor %s",
          authenticated ? "authenticated" : "did not authenticate", check.user.c_str(),
          check.factorId.c_str());
  return BooleanDraft(mt::kCheckHostFactorResponse, authenticated ? 0 : 1);
}

ReplyDraft Applet::CheckPhone(const mfab::Message& request, FwLog& log) {
  const auto check =
      ParsePayload<mfab::CheckPhonePresenceRequest>(request, "CheckPhonePresenceRequest");
  if (check.deviceId.size() != kPhoneDeviceIdSize) {
    throw AppletError(sim_error::kInvalidArgument,
                      "a phone's device id has " + std::to_string(kPhoneDeviceIdSize) +
                          " bytes, not " + std::to_string(check.deviceId.size()));
  }
  const std::string id = keystone::ToHex(check.deviceId);
  if (phoneCheck) {
    log.Add(FwLog::kWarning, "phone: ", "unanswered check of phone %s dropped",
            keystone::ToHex(phoneCheck->deviceId).c_str());
  }
  phoneCheck = PhoneCheck{check.deviceId};
  log.Add(FwLog::kInfo, "phone: ", "asking the host whether phone %s is within reach", id.c_str());
  return ReplyDraft{mt::kCheckPhonePresenceRequest, false, check.Serialize()};
}

ReplyDraft Applet::PhoneAnswered(const mfab::Message& answer, FwLog& log) {
  const PhoneCheck check = std::move(*phoneCheck);
  phoneCheck.reset();
  const auto result = ParsePayload<mfab::BooleanResponse>(answer, "BooleanResponse");
  const bool present = result.result == 0;
  log.Add(present ? FwLog::kInfo : FwLog::kWarning, "phone: ", "the host says phone %s is %s",
          keystone::ToHex(check.deviceId).c_str(), present ? "present" : "not present");
  return BooleanDraft(mt::kPhoneCheckResponse, present ? 0 : 1);
}

ReplyDraft Applet::HandleUpgrade(const mfab::Message& request, FwLog& log) {
  if (request.messageType == mt::kDataMigrationRequest) return MigrateFiles(request, log);
  if (request.messageType == mt::kSaveResponse &&
      upgrade.stage == UpgradeStage::kAwaitMigratedSaved) {
    return SaveMigratedMaster(request, log);
  }
  if (request.messageType == mt::kSaveResponse &&
      upgrade.stage == UpgradeStage::kAwaitMasterSaved) {
    return FinishUpgrade(request, log);
  }
  char type[16];
  std::snprintf(type, sizeof(type), "0x%08X", request.messageType);
  throw AppletError(sim_error::kUnexpectedMessage,
                    std::string("message type ") + type + " does not fit the upgrade exchange");
}

ReplyDraft Applet::MigrateFiles(const mfab::Message& request, FwLog& log) {
  const VersionTable table = firmware->Versions();
  const uint32_t svn = firmware->EffectiveSvn();
  if (table.versions.empty() || table.dataSvn >= svn) {
    throw AppletError(sim_error::kUnexpectedMessage, "no security-version upgrade is pending");
  }
  const auto incoming = ParsePayload<mfab::DataMigrationMessage>(request, "DataMigrationMessage");
  if (incoming.files.size() > kMaxDeliveredFiles) {
    throw AppletError(sim_error::kMalformedRequest, "more than 256 files to migrate");
  }
  pending.reset();
  upgrade = Upgrade{UpgradeStage::kIdle, svn, 0, {}};
  const SealingKey newKey = firmware->KeyFor(svn);
  mfab::DataMigrationMessage outgoing;
  for (const mfab::FileData& file : incoming.files) {
    const std::string name = LogicalName(file.fileName);
    if (name == kMasterVersionsName) continue;  // rewritten at the end of the exchange
    try {
      if (!IsStoredName(name) || file.content.empty()) throw SealError("empty or unusable name");
      const BlobHeader header = PeekBlobHeader(file.content);
      if (header.svn > svn || header.svn < table.dataSvn)
        throw SealError("sealed under another SVN");
      const std::vector<uint8_t> record =
          OpenBlob(firmware->KeyFor(header.svn), name, file.content);
      if (!table.Accepts(name, header.version)) throw SealError("rolled back");
      mfab::FileData migrated;
      migrated.fileName = file.fileName;
      migrated.content = SealBlob(newKey, name, {svn, header.version}, record);
      outgoing.files.push_back(std::move(migrated));
      upgrade.migrated[name] = header.version;
    } catch (const SealError& error) {
      log.Add(FwLog::kWarning, "upgrade: ", "file %s left out: %s", file.fileName.c_str(),
              error.what());
    }
  }
  std::vector<uint8_t> payload = outgoing.Serialize();
  if (payload.size() > kMaxSavePayload) {
    throw AppletError(sim_error::kStorageLimit, "the migrated files do not fit one message");
  }
  upgrade.stage = UpgradeStage::kAwaitMigratedSaved;
  log.Add(FwLog::kInfo, "upgrade: ", "%zu file(s) re-sealed from SVN %u to SVN %u",
          outgoing.files.size(), table.dataSvn, svn);
  return ReplyDraft{mt::kDataMigrationFiles, false, std::move(payload)};
}

ReplyDraft Applet::SaveMigratedMaster(const mfab::Message& request, FwLog& log) {
  ParsePayload<mfab::SaveMigratedFilesResponse>(request, "SaveMigratedFilesResponse");
  upgrade.generation = firmware->ReserveGeneration();
  const MasterVersions master{upgrade.generation, upgrade.targetSvn, upgrade.migrated};
  mfab::SaveRequest save;
  save.masterVersionsData =
      SealBlob(firmware->KeyFor(upgrade.targetSvn), kMasterVersionsName,
               {upgrade.targetSvn, upgrade.generation}, SerializeMasterVersions(master));
  save.firstFileName = save.secondFileName = kMasterVersionsName;
  save.firstFileData = save.secondFileData = save.masterVersionsData;
  upgrade.stage = UpgradeStage::kAwaitMasterSaved;
  log.Add(FwLog::kInfo,
          "upgrade: ", "migrated files stored; saving the new master-versions record");
  return ReplyDraft{mt::kSaveRequest, false, save.Serialize()};
}

ReplyDraft Applet::FinishUpgrade(const mfab::Message& request, FwLog& log) {
  ParsePayload<mfab::SaveResponse>(request, "SaveResponse");
  VersionChange change;
  change.generation = upgrade.generation;
  change.removeAll = true;
  change.set = upgrade.migrated;
  change.set[kMasterVersionsName] = upgrade.generation;
  change.dataSvn = upgrade.targetSvn;
  change.sealSvn = upgrade.targetSvn;
  firmware->Commit(change);
  // The session keeps what it holds (the records are unchanged), less what did not migrate: the
  // engine does not deliver again what a request does not name.
  std::erase_if(files, [&](const auto& entry) { return upgrade.migrated.count(entry.first) == 0; });
  for (auto& [name, stored] : files) stored.svn = upgrade.targetSvn;
  log.Add(FwLog::kInfo, "upgrade: ", "security version upgrade to SVN %u complete",
          upgrade.targetSvn);
  upgrade = Upgrade{};
  return BooleanDraft(mt::kDataMigrationEnd, 0);
}

}  // namespace kilnsim
