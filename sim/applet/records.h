#pragma once

// The records inside the applet's sealed blobs (docs/applet-protocol.md):
//
//   _masterVersions      0x7C30 generation (8 bytes), 0x7C31 data SVN, 0x7C32 container of
//                        0x7C33 entries {0x7C34 name, 0x7C35 version (8 bytes)}
//   _Sys                 0x7C50 format (1), 0x7C51 policy revision, 0x7C52 time (8 bytes)
//   _Sys$Policy          the policy (policy.h)
//   _U<SID>              0x7B01 SID, 0x7C52 creation time
//   _U<SID>$E<factor>    0x7B14 factor id, 0x7C53 enrollment time, [0x7C0B name-values],
//                        [0x7C54 raw enrollment data]
//
// and the user data returned in GetUserDataResponse (0x7B05): a sequence of 0x7C60 elements
// {0x7B01 SID, [0x7C61 container of 0x7C62 entries {0x7B14 factor id, 0x7C0B name-values}]}.

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/applet/policy.h"

namespace kilnsim {

inline constexpr uint32_t kRecordFormat = 1;
// Largest enrollment data kept per factor.
inline constexpr size_t kMaxEnrollmentData = 4096;

struct MasterVersions {
  uint64_t generation = 0;
  uint32_t dataSvn = 0;
  std::map<std::string, uint64_t> versions;
};

struct SystemRecord {
  uint32_t policyRevision = 0;
  uint64_t updated = 0;  // seconds since 1970
};

struct UserRecord {
  std::string sid;
  uint64_t created = 0;
};

struct EnrollmentRecord {
  std::string factorId;
  uint64_t enrolledAt = 0;
  std::vector<NameValue> data;  // when the enrollment data was a name-value list
  std::vector<uint8_t> raw;     // otherwise the bytes as given
};

// One user's entry in the user data.
struct UserData {
  std::string sid;
  std::map<std::string, std::vector<NameValue>> factors;  // factor id -> values
};

// Parsers throw AppletError(kSealedDataRefused) for a record that does not parse.
std::vector<uint8_t> SerializeMasterVersions(const MasterVersions& master);
MasterVersions ParseMasterVersions(std::span<const uint8_t> record);
std::vector<uint8_t> SerializeSystemRecord(const SystemRecord& record);
SystemRecord ParseSystemRecord(std::span<const uint8_t> record);
std::vector<uint8_t> SerializeUserRecord(const UserRecord& record);
UserRecord ParseUserRecord(std::span<const uint8_t> record);
std::vector<uint8_t> SerializeEnrollmentRecord(const EnrollmentRecord& record);
EnrollmentRecord ParseEnrollmentRecord(std::span<const uint8_t> record);

std::vector<uint8_t> SerializeUserData(const std::vector<UserData>& users);
// Throws AppletError(kMalformedRequest); for tools and tests that read replies.
std::vector<UserData> ParseUserData(std::span<const uint8_t> value);

// What a stored file's logical name says about its record.
enum class RecordKind { kMasterVersions, kSystem, kPolicy, kUser, kEnrollment, kOpaque };
struct NameInfo {
  RecordKind kind = RecordKind::kOpaque;
  std::string sid;       // kUser, kEnrollment
  std::string factorId;  // kEnrollment
};
NameInfo ClassifyName(const std::string& name);

// A logical name the applet accepts from the engine: 1 to 255 printable bytes without '/'.
bool IsStoredName(const std::string& name);

std::string UserRootName(const std::string& sid);
std::string EnrollmentName(const std::string& sid, const std::string& factorId);

}  // namespace kilnsim
