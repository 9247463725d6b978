#include "sim/applet/records.h"

#include "sim/applet/field_reader.h"
#include "sim/applet/protocol.h"
#include "tlv/tlv.h"

namespace kilnsim {
namespace {

constexpr uint16_t kRefused = sim_error::kSealedDataRefused;
constexpr size_t kMaxVersionEntries = 512;

void CheckFormat(const FieldReader& fields) {
  if (fields.Uint(tag::kFormat) != kRecordFormat) fields.Fail("unknown record format");
}

}  // namespace

std::vector<uint8_t> SerializeMasterVersions(const MasterVersions& master) {
  std::vector<uint8_t> entries;
  for (const auto& [name, version] : master.versions) {
    std::vector<uint8_t> entry;
    mfab::AppendTlv(entry, tag::kFileName, name);
    mfab::AppendTlvTime(entry, tag::kFileVersion, version);
    mfab::AppendTlv(entries, tag::kVersionEntry, entry);
  }
  std::vector<uint8_t> out;
  mfab::AppendTlvTime(out, tag::kGeneration, master.generation);
  mfab::AppendTlvUint(out, tag::kDataSvn, master.dataSvn);
  mfab::AppendTlv(out, tag::kVersionEntries, entries);
  return out;
}

MasterVersions ParseMasterVersions(std::span<const uint8_t> record) {
  FieldReader fields(record, "master-versions record", kRefused,
                     {tag::kGeneration, tag::kDataSvn, tag::kVersionEntries});
  MasterVersions master;
  master.generation = fields.Time(tag::kGeneration);
  master.dataSvn = fields.Uint(tag::kDataSvn);
  for (std::span<const uint8_t> element :
       ListElements(fields.Bytes(tag::kVersionEntries), tag::kVersionEntry, kMaxVersionEntries,
                    kRefused, "master-versions entries")) {
    FieldReader entry(element, "master-versions entry", kRefused,
                      {tag::kFileName, tag::kFileVersion});
    master.versions[entry.Text(tag::kFileName, 255)] = entry.Time(tag::kFileVersion);
  }
  return master;
}

std::vector<uint8_t> SerializeSystemRecord(const SystemRecord& record) {
  std::vector<uint8_t> out;
  mfab::AppendTlvUint(out, tag::kFormat, kRecordFormat);
  mfab::AppendTlvUint(out, tag::kPolicyRevision, record.policyRevision);
  mfab::AppendTlvTime(out, tag::kTime, record.updated);
  return out;
}

SystemRecord ParseSystemRecord(std::span<const uint8_t> record) {
  FieldReader fields(record, "system record", kRefused,
                     {tag::kFormat, tag::kPolicyRevision, tag::kTime});
  CheckFormat(fields);
  return SystemRecord{fields.Uint(tag::kPolicyRevision), fields.Time(tag::kTime)};
}

std::vector<uint8_t> SerializeUserRecord(const UserRecord& record) {
  std::vector<uint8_t> out;
  mfab::AppendTlvUint(out, tag::kFormat, kRecordFormat);
  mfab::AppendTlv(out, tag::kUser, record.sid);
  mfab::AppendTlvTime(out, tag::kTime, record.created);
  return out;
}

UserRecord ParseUserRecord(std::span<const uint8_t> record) {
  FieldReader fields(record, "user record", kRefused, {tag::kFormat, tag::kUser, tag::kTime});
  CheckFormat(fields);
  UserRecord user{fields.Text(tag::kUser, 184), fields.Time(tag::kTime)};
  if (!IsSid(user.sid)) fields.Fail("bad SID");
  return user;
}

std::vector<uint8_t> SerializeEnrollmentRecord(const EnrollmentRecord& record) {
  std::vector<uint8_t> out;
  mfab::AppendTlvUint(out, tag::kFormat, kRecordFormat);
  mfab::AppendTlv(out, tag::kFactorId, record.factorId);
  mfab::AppendTlvTime(out, tag::kEnrolledAt, record.enrolledAt);
  if (!record.data.empty())
    mfab::AppendTlv(out, tag::kNameValues, SerializeNameValues(record.data));
  if (!record.raw.empty()) mfab::AppendTlv(out, tag::kRawData, record.raw);
  return out;
}

EnrollmentRecord ParseEnrollmentRecord(std::span<const uint8_t> record) {
  FieldReader fields(
      record, "enrollment record", kRefused,
      {tag::kFormat, tag::kFactorId, tag::kEnrolledAt, tag::kNameValues, tag::kRawData});
  CheckFormat(fields);
  EnrollmentRecord enrollment;
  enrollment.factorId = fields.Text(tag::kFactorId, 64);
  enrollment.enrolledAt = fields.Time(tag::kEnrolledAt);
  if (fields.Has(tag::kNameValues)) {
    enrollment.data = ParseNameValues(fields.Bytes(tag::kNameValues), kRefused, "enrollment data");
  }
  const std::span<const uint8_t> raw = fields.OptionalBytes(tag::kRawData);
  enrollment.raw.assign(raw.begin(), raw.end());
  return enrollment;
}

std::vector<uint8_t> SerializeUserData(const std::vector<UserData>& users) {
  std::vector<uint8_t> out;
  for (const UserData& user : users) {
    std::vector<uint8_t> entries;
    for (const auto& [factorId, values] : user.factors) {
      std::vector<uint8_t> entry;
      mfab::AppendTlv(entry, tag::kFactorId, factorId);
      mfab::AppendTlv(entry, tag::kNameValues, SerializeNameValues(values));
      mfab::AppendTlv(entries, tag::kUserEntry, entry);
    }
    std::vector<uint8_t> element;
    mfab::AppendTlv(element, tag::kUser, user.sid);
    if (!entries.empty()) mfab::AppendTlv(element, tag::kUserEntries, entries);
    mfab::AppendTlv(out, tag::kUserData, element);
  }
  return out;
}

std::vector<UserData> ParseUserData(std::span<const uint8_t> value) {
  constexpr uint16_t kMalformed = sim_error::kMalformedRequest;
  std::vector<UserData> users;
  for (std::span<const uint8_t> element :
       ListElements(value, tag::kUserData, 1024, kMalformed, "user data")) {
    FieldReader fields(element, "user data element", kMalformed, {tag::kUser, tag::kUserEntries});
    UserData user;
    user.sid = fields.Text(tag::kUser, 184);
    if (fields.Has(tag::kUserEntries)) {
      for (std::span<const uint8_t> entryBytes : ListElements(
               fields.Bytes(tag::kUserEntries), tag::kUserEntry, 256, kMalformed, "user entries")) {
        FieldReader entry(entryBytes, "user entry", kMalformed, {tag::kFactorId, tag::kNameValues});
        user.factors[entry.Text(tag::kFactorId, 64)] =
            ParseNameValues(entry.Bytes(tag::kNameValues), kMalformed, "user entry values");
      }
    }
    users.push_back(std::move(user));
  }
  return users;
}

NameInfo ClassifyName(const std::string& name) {
  NameInfo info;
  if (name == kMasterVersionsName) {
    info.kind = RecordKind::kMasterVersions;
  } else if (name == kSystemName) {
    info.kind = RecordKind::kSystem;
  } else if (name == kPolicyName) {
    info.kind = RecordKind::kPolicy;
  } else if (name.starts_with(kUserPrefix)) {
    const std::string rest = name.substr(2);
    const auto dollar = rest.find('$');
    const std::string sid = rest.substr(0, dollar);
    if (!IsSid(sid)) return info;
    if (dollar == std::string::npos) {
      info.kind = RecordKind::kUser;
      info.sid = sid;
    } else if (rest.compare(dollar, 2, "$E") == 0 && IsIdentifier(rest.substr(dollar + 2))) {
      info.kind = RecordKind::kEnrollment;
      info.sid = sid;
      info.factorId = rest.substr(dollar + 2);
    }
  }
  return info;
}

bool IsStoredName(const std::string& name) {
  return !name.empty() && name.size() <= 255 && IsPrintable(name) &&
         name.find('/') == std::string::npos;
}

std::string UserRootName(const std::string& sid) { return kUserPrefix + sid; }

std::string EnrollmentName(const std::string& sid, const std::string& factorId) {
  return kUserPrefix + sid + "$E" + factorId;
}

}  // namespace kilnsim
