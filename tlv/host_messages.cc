#include "tlv/host_messages.h"

namespace mfab {

std::span<const record::Field<BooleanResponse>> BooleanResponse::Fields() {
  static constexpr record::Field<BooleanResponse> kFields[] = {
      record::Item<&BooleanResponse::result>(0x7B08, "result"),
  };
  return kFields;
}

std::span<const record::Field<SaveResponse>> SaveResponse::Fields() {
  static constexpr record::Field<SaveResponse> kFields[] = {
      record::Item<&SaveResponse::result>(0x7B08, "result"),
  };
  return kFields;
}

std::span<const record::Field<SaveMigratedFilesResponse>> SaveMigratedFilesResponse::Fields() {
  static constexpr record::Field<SaveMigratedFilesResponse> kFields[] = {
      record::Item<&SaveMigratedFilesResponse::result>(0x7B08, "result"),
  };
  return kFields;
}

std::span<const record::Field<SaveRequest>> SaveRequest::Fields() {
  static constexpr record::Field<SaveRequest> kFields[] = {
      record::Item<&SaveRequest::masterVersionsData>(0x7B30, "masterVersionsData"),
      record::Item<&SaveRequest::secondFileData>(0x7B31, "secondFileData"),
      record::Item<&SaveRequest::firstFileData>(0x7B32, "firstFileData"),
      record::Item<&SaveRequest::secondFileName>(0x7B33, "secondFileName"),
      record::Item<&SaveRequest::firstFileName>(0x7B34, "firstFileName"),
  };
  return kFields;
}

std::span<const record::Field<DeleteLevel1Request>> DeleteLevel1Request::Fields() {
  static constexpr record::Field<DeleteLevel1Request> kFields[] = {
      record::Item<&DeleteLevel1Request::masterVersionsData>(0x7B30, "masterVersionsData"),
      record::Item<&DeleteLevel1Request::namePrefix>(0x7B33, "namePrefix"),
  };
  return kFields;
}

std::span<const record::Field<NeedUserDataRequest>> NeedUserDataRequest::Fields() {
  static constexpr record::Field<NeedUserDataRequest> kFields[] = {
      record::Item<&NeedUserDataRequest::user>(0x7B01, "user"),
  };
  return kFields;
}

std::span<const record::Field<NeedUserDataResponse>> NeedUserDataResponse::Fields() {
  static constexpr record::Field<NeedUserDataResponse> kFields[] = {
      record::Item<&NeedUserDataResponse::result>(0x7B08, "result"),
      record::Item<&NeedUserDataResponse::user>(0x7B01, "user"),
  };
  return kFields;
}

std::span<const record::Field<CheckPhonePresenceRequest>> CheckPhonePresenceRequest::Fields() {
  static constexpr record::Field<CheckPhonePresenceRequest> kFields[] = {
      record::Item<&CheckPhonePresenceRequest::deviceId>(0x7B07, "deviceId"),
  };
  return kFields;
}

std::span<const record::Field<GetPolicyDataRequest>> GetPolicyDataRequest::Fields() { return {}; }

std::span<const record::Field<GetPolicyDataResponse>> GetPolicyDataResponse::Fields() {
  static constexpr record::Field<GetPolicyDataResponse> kFields[] = {
      record::Item<&GetPolicyDataResponse::factorsData>(0x7B94, "factorsData"),
      record::Item<&GetPolicyDataResponse::actionsData>(0x7B95, "actionsData"),
      record::Item<&GetPolicyDataResponse::systemParamsData>(0x7BAA, "systemParamsData"),
  };
  return kFields;
}

std::span<const record::Field<GetUserDataRequest>> GetUserDataRequest::Fields() {
  static constexpr record::Field<GetUserDataRequest> kFields[] = {
      record::Item<&GetUserDataRequest::user>(0x0000, "user"),
  };
  return kFields;
}

std::span<const record::Field<GetUserDataResponse>> GetUserDataResponse::Fields() {
  static constexpr record::Field<GetUserDataResponse> kFields[] = {
      record::Item<&GetUserDataResponse::userData>(0x7B05, "userData", record::Presence::kOptional),
  };
  return kFields;
}

std::span<const record::Field<UserRecordResponse>> UserRecordResponse::Fields() {
  static constexpr record::Field<UserRecordResponse> kFields[] = {
      record::Item<&UserRecordResponse::displayName>(0x7B5A, "displayName"),
  };
  return kFields;
}

std::span<const record::Field<ClearActionTimeoutCacheRequest>>
ClearActionTimeoutCacheRequest::Fields() {
  static constexpr record::Field<ClearActionTimeoutCacheRequest> kFields[] = {
      record::Item<&ClearActionTimeoutCacheRequest::actionId>(
          0x7B02, "actionId", record::Presence::kRequired, record::Access::kWriteOnly),
  };
  return kFields;
}

std::span<const record::Field<SystemDataRequest>> SystemDataRequest::Fields() {
  static constexpr record::Field<SystemDataRequest> kFields[] = {
      record::Item<&SystemDataRequest::parameterId>(0x7B0F, "parameterId"),
      record::Item<&SystemDataRequest::options>(0x7B81, "options"),
  };
  return kFields;
}

std::span<const record::Field<FpRequest>> FpRequest::Fields() {
  static constexpr record::Field<FpRequest> kFields[] = {
      record::Item<&FpRequest::requestCode>(0x7B0C, "requestCode"),
      record::Item<&FpRequest::info>(0x7F08, "info"),
      record::Item<&FpRequest::data>(0x7B05, "data"),
  };
  return kFields;
}

std::span<const record::Field<FpResponse>> FpResponse::Fields() {
  static constexpr record::Field<FpResponse> kFields[] = {
      record::Item<&FpResponse::keyData>(0x7B0A, "keyData"),
      record::Item<&FpResponse::info>(0x7F08, "info"),
      record::Item<&FpResponse::result>(0x7B08, "result"),
      record::Item<&FpResponse::time>(0x7B23, "time"),
  };
  return kFields;
}

std::span<const record::Field<FileData>> FileData::Fields() {
  static constexpr record::Field<FileData> kFields[] = {
      record::Item<&FileData::fileName>(0x7BB0, "fileName"),
      record::Item<&FileData::content>(0x7BB1, "content"),
  };
  return kFields;
}

std::span<const record::Field<DataMigrationMessage>> DataMigrationMessage::Fields() {
  static constexpr record::Field<DataMigrationMessage> kFields[] = {
      record::TopLevelList<&DataMigrationMessage::files>(0x7BAF, "files"),
  };
  return kFields;
}

}  // namespace mfab
