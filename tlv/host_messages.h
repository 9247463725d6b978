#pragma once

// Messages between the applet and the engine itself: the applet's requests for host work and the
// engine's answers, the engine's own requests (policy, user data, cache clearing) and the files of
// the security-version upgrade. Each class states its message type; wire layout in docs/tlv.md.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "tlv/record.h"
#include "tlv/tlv.h"

namespace mfab {

// Yes-or-no answer: the engine's answer to the applet's clear (0xABBA0031), delete
// (0xABBA003B), phone-presence (0xABBA0070) and factor-result (0xABBA007C) requests, and the
// applet's answer to SaveEnrollmentDataRequest (0xABBA001A).
class BooleanResponse final : public record::Base<BooleanResponse> {
 public:
  int32_t result{};  // 0x7B08; 0 = yes or success, non-zero = no or failure

  static std::span<const record::Field<BooleanResponse>> Fields();
};

// The engine's answer (0xABBA0002) to SaveRequest.
class SaveResponse final : public record::Base<SaveResponse> {
 public:
  int32_t result{};  // 0x7B08

  static std::span<const record::Field<SaveResponse>> Fields();
};

// The engine's answer (0xABBA0002) to the migrated files of a security-version upgrade.
class SaveMigratedFilesResponse final : public record::Base<SaveMigratedFilesResponse> {
 public:
  int32_t result{};  // 0x7B08

  static std::span<const record::Field<SaveMigratedFilesResponse>> Fields();
};

// The applet asks the engine to store blobs (0xABBA0001). Members are declared in the order the
// data directory takes them; the wire order is 0x7B30 to 0x7B34.
class SaveRequest final : public record::Base<SaveRequest> {
 public:
  std::string firstFileName;   // 0x7B34
  std::string secondFileName;  // 0x7B33
  Bytes firstFileData;         // 0x7B32
  Bytes masterVersionsData;    // 0x7B30; stored as "_masterVersions"
  Bytes secondFileData;        // 0x7B31

  static std::span<const record::Field<SaveRequest>> Fields();
};

// The applet asks the engine to delete stored data by name prefix (0xABBA003A).
class DeleteLevel1Request final : public record::Base<DeleteLevel1Request> {
 public:
  Bytes masterVersionsData;  // 0x7B30
  std::string namePrefix;    // 0x7B33

  static std::span<const record::Field<DeleteLevel1Request>> Fields();
};

// The applet asks for a user's data (0xABBA0073).
class NeedUserDataRequest final : public record::Base<NeedUserDataRequest> {
 public:
  std::string user;  // 0x7B01; the user's SID text

  static std::span<const record::Field<NeedUserDataRequest>> Fields();
};

// The engine's answer (0xABBA0074) to NeedUserDataRequest.
class NeedUserDataResponse final : public record::Base<NeedUserDataResponse> {
 public:
  int32_t result{};  // 0x7B08
  std::string user;  // 0x7B01

  static std::span<const record::Field<NeedUserDataResponse>> Fields();
};

// The applet asks whether a phone is present (0xABBA0069); answered with BooleanResponse.
class CheckPhonePresenceRequest final : public record::Base<CheckPhonePresenceRequest> {
 public:
  Bytes deviceId;  // 0x7B07; the phone's Bluetooth device id

  static std::span<const record::Field<CheckPhonePresenceRequest>> Fields();
};

// The engine asks for the policy (0xABBA0065, moduleId 5, category 1). Empty payload.
class GetPolicyDataRequest final : public record::Base<GetPolicyDataRequest> {
 public:
  static std::span<const record::Field<GetPolicyDataRequest>> Fields();
};

// The policy: the serialized factor, action and system-parameter records.
class GetPolicyDataResponse final : public record::Base<GetPolicyDataResponse> {
 public:
  Bytes factorsData;       // 0x7B94
  Bytes actionsData;       // 0x7B95
  Bytes systemParamsData;  // 0x7BAA

  static std::span<const record::Field<GetPolicyDataResponse>> Fields();
};

// The engine asks for a user's data (0xABBA0067).
class GetUserDataRequest final : public record::Base<GetUserDataRequest> {
 public:
  std::string user;  // 0x0000; the user's SID text

  static std::span<const record::Field<GetUserDataRequest>> Fields();
};

// A user's data, as the applet returns it.
class GetUserDataResponse final : public record::Base<GetUserDataResponse> {
 public:
  Bytes userData;  // 0x7B05, optional

  static std::span<const record::Field<GetUserDataResponse>> Fields();
};

// A user's display name, returned to clients.
class UserRecordResponse final : public record::Base<UserRecordResponse> {
 public:
  std::string displayName;  // 0x7B5A

  static std::span<const record::Field<UserRecordResponse>> Fields();
};

// The engine asks the applet to drop an action's cached result (0xABBA0076). Reading fills nothing.
class ClearActionTimeoutCacheRequest final : public record::Base<ClearActionTimeoutCacheRequest> {
 public:
  std::string actionId;  // 0x7B02, written only; e.g. "OSLogin"

  static std::span<const record::Field<ClearActionTimeoutCacheRequest>> Fields();
};

// A request for one system parameter.
class SystemDataRequest final : public record::Base<SystemDataRequest> {
 public:
  int32_t parameterId{};  // 0x7B0F
  int32_t options{};      // 0x7B81

  static std::span<const record::Field<SystemDataRequest>> Fields();
};

// The applet's key-renewal request (0xABBA003C).
class FpRequest final : public record::Base<FpRequest> {
 public:
  int32_t requestCode{};  // 0x7B0C; 0x7DD0 asks for an answer
  std::string info;       // 0x7F08
  Bytes data;             // 0x7B05

  static std::span<const record::Field<FpRequest>> Fields();
};

// The engine's answer (0xABBA003D) to FpRequest.
class FpResponse final : public record::Base<FpResponse> {
 public:
  Bytes keyData;     // 0x7B0A
  std::string info;  // 0x7F08
  int32_t result{};  // 0x7B08; 10 after a resume, else 0
  uint64_t time{};   // 0x7B23; seconds since 1970

  static std::span<const record::Field<FpResponse>> Fields();
};

// One stored file: its full name and content.
class FileData final : public record::Base<FileData> {
 public:
  std::string fileName;  // 0x7BB0
  Bytes content;         // 0x7BB1

  static std::span<const record::Field<FileData>> Fields();
};

// Files carried by the security-version upgrade (0xABBA0078, 0xABBA0079).
class DataMigrationMessage final : public record::Base<DataMigrationMessage> {
 public:
  std::vector<FileData> files;  // top-level 0x7BAF elements

  static std::span<const record::Field<DataMigrationMessage>> Fields();
};

}  // namespace mfab
