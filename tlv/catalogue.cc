#include "tlv/catalogue.h"

#include <algorithm>

#include "tlv/messages.h"

namespace mfab {
namespace {

template <class T>
constexpr CatalogueEntry Entry(const char* name) {
  return CatalogueEntry{name,
                        []() -> std::unique_ptr<Serializable> { return std::make_unique<T>(); },
                        [](const Serializable& object) {
                          return record::Describe<T>(static_cast<const T&>(object), T::Fields());
                        },
                        &record::Schema<T>};
}

using ActionData = GetPolicyActionFactorsDataResponse::ActionFactorDiscoveryData;

const CatalogueEntry kCatalogue[] = {
    Entry<LoggingEntry>("mfab::LoggingEntry"),
    Entry<MessageMetadata>("mfab::MessageMetadata"),
    Entry<ErrorMessage>("mfab::ErrorMessage"),
    Entry<BooleanResponse>("mfab::BooleanResponse"),
    Entry<SaveResponse>("mfab::SaveResponse"),
    Entry<SaveMigratedFilesResponse>("mfab::SaveMigratedFilesResponse"),
    Entry<SaveRequest>("mfab::SaveRequest"),
    Entry<DeleteLevel1Request>("mfab::DeleteLevel1Request"),
    Entry<NeedUserDataRequest>("mfab::NeedUserDataRequest"),
    Entry<NeedUserDataResponse>("mfab::NeedUserDataResponse"),
    Entry<CheckPhonePresenceRequest>("mfab::CheckPhonePresenceRequest"),
    Entry<GetPolicyDataRequest>("mfab::GetPolicyDataRequest"),
    Entry<GetPolicyDataResponse>("mfab::GetPolicyDataResponse"),
    Entry<GetUserDataRequest>("mfab::GetUserDataRequest"),
    Entry<GetUserDataResponse>("mfab::GetUserDataResponse"),
    Entry<UserRecordResponse>("mfab::UserRecordResponse"),
    Entry<ClearActionTimeoutCacheRequest>("mfab::ClearActionTimeoutCacheRequest"),
    Entry<SystemDataRequest>("mfab::SystemDataRequest"),
    Entry<FpRequest>("mfab::FpRequest"),
    Entry<FpResponse>("mfab::FpResponse"),
    Entry<FileData>("mfab::FileData"),
    Entry<DataMigrationMessage>("mfab::DataMigrationMessage"),
    Entry<ActionAuthenticateRequest>("mfab::ActionAuthenticateRequest"),
    Entry<InitAuthenticateActionRequest>("mfab::InitAuthenticateActionRequest"),
    Entry<EnrollFactorRequest>("mfab::EnrollFactorRequest"),
    Entry<UnenrollFactorRequest>("mfab::UnenrollFactorRequest"),
    Entry<CheckFactorEnrollmentRequest>("mfab::CheckFactorEnrollmentRequest"),
    Entry<AuthenticatedUnenrollFactorRequest>("mfab::AuthenticatedUnenrollFactorRequest"),
    Entry<StoreSecureDataRequest>("mfab::StoreSecureDataRequest"),
    Entry<ActionAuthenticateInterAppRequest>("mfab::ActionAuthenticateInterAppRequest"),
    Entry<AuthenticateActionRetrieveDataRequest>("mfab::AuthenticateActionRetrieveDataRequest"),
    Entry<CloseAuthenticateActionRetrieveDataRequest>(
        "mfab::CloseAuthenticateActionRetrieveDataRequest"),
    Entry<CloseAuthenticateActionRequest>("mfab::CloseAuthenticateActionRequest"),
    Entry<UnsetFactorRequest>("mfab::UnsetFactorRequest"),
    Entry<SetNextFactorRequest>("mfab::SetNextFactorRequest"),
    Entry<AuthenticateSetFactorRequest>("mfab::AuthenticateSetFactorRequest"),
    Entry<GetContAuthDataRequest>("mfab::GetContAuthDataRequest"),
    Entry<GetPolicyActionFactorsDataRequest>("mfab::GetPolicyActionFactorsDataRequest"),
    Entry<SaveEnrollmentDataRequest>("mfab::SaveEnrollmentDataRequest"),
    Entry<AuthenticateFlows::AuthenticateFactorRequest>(
        "AuthenticateFlows::AuthenticateFactorRequest"),
    Entry<FactorStatusData>("mfab::FactorStatusData"),
    Entry<AuthenticationStatusData>("mfab::AuthenticationStatusData"),
    Entry<FactorDiscoveryFactorData>("mfab::FactorDiscoveryFactorData"),
    Entry<GetFactorEnrollmentParametersResponse>("mfab::GetFactorEnrollmentParametersResponse"),
    Entry<ActionData>("mfab::GetPolicyActionFactorsDataResponse::ActionFactorDiscoveryData"),
    Entry<ActionData::set>(
        "mfab::GetPolicyActionFactorsDataResponse::ActionFactorDiscoveryData::set"),
    Entry<ActionData::Action>(
        "mfab::GetPolicyActionFactorsDataResponse::ActionFactorDiscoveryData::Action"),
    Entry<ExternalFactorsSupport>("mfab::ExternalFactorsSupport"),
    Entry<ExternalFactorsSupport::Factor>("mfab::ExternalFactorsSupport::Factor"),
    Entry<FactorDiscovery>("FactorDiscovery"),
    Entry<UsersDiscovery>("UsersDiscovery"),
    Entry<SmartCardFactor::SmartCardChallengeRequest>("SmartCardFactor::SmartCardChallengeRequest"),
    Entry<SmartCardFactor::SmartCardChallengeResponse>(
        "SmartCardFactor::SmartCardChallengeResponse"),
    Entry<SmartCardFactor::SmartCardDataForEnrollment>(
        "SmartCardFactor::SmartCardDataForEnrollment"),
    Entry<ValidateChallengeResponseRequest>("ValidateChallengeResponseRequest"),
};

struct PayloadOfType {
  uint32_t messageType;
  const char* className;
};

// The engine's own message types and the client requests it reads (tlv/message_types.h).
constexpr PayloadOfType kPayloads[] = {
    {message_type::kSaveRequest, "mfab::SaveRequest"},
    {message_type::kSaveResponse, "mfab::SaveResponse"},
    {message_type::kSaveEnrollmentDataRequest, "mfab::SaveEnrollmentDataRequest"},
    {message_type::kSaveEnrollmentDataResponse, "mfab::BooleanResponse"},
    {message_type::kClearDataResponse, "mfab::BooleanResponse"},
    {message_type::kDeleteLevel1Request, "mfab::DeleteLevel1Request"},
    {message_type::kDeleteLevel1Response, "mfab::BooleanResponse"},
    {message_type::kFpRequest, "mfab::FpRequest"},
    {message_type::kFpResponse, "mfab::FpResponse"},
    {message_type::kGetPolicyDataRequest, "mfab::GetPolicyDataRequest"},
    {message_type::kGetUserDataRequest, "mfab::GetUserDataRequest"},
    {message_type::kCheckPhonePresenceRequest, "mfab::CheckPhonePresenceRequest"},
    {message_type::kCheckPhonePresenceResponse, "mfab::BooleanResponse"},
    {message_type::kNeedUserDataRequest, "mfab::NeedUserDataRequest"},
    {message_type::kNeedUserDataResponse, "mfab::NeedUserDataResponse"},
    {message_type::kClearActionTimeoutCacheRequest, "mfab::ClearActionTimeoutCacheRequest"},
    {message_type::kDataMigrationRequest, "mfab::DataMigrationMessage"},
    {message_type::kDataMigrationFiles, "mfab::DataMigrationMessage"},
    {message_type::kFactorResultRequest, "AuthenticateFlows::AuthenticateFactorRequest"},
    {message_type::kFactorResultResponse, "mfab::BooleanResponse"},
    {message_type::kCheckHostFactorRequest, "AuthenticateFlows::AuthenticateFactorRequest"},
    {message_type::kCheckHostFactorResponse, "mfab::BooleanResponse"},
    {message_type::kPhoneCheckRequest, "mfab::CheckPhonePresenceRequest"},
    {message_type::kPhoneCheckResponse, "mfab::BooleanResponse"},
    {message_type::kSmartCardChallengeRequest, "SmartCardFactor::SmartCardChallengeRequest"},
    {message_type::kValidateChallengeResponseRequest, "ValidateChallengeResponseRequest"},
    {message_type::kSmartCardDataForEnrollment, "SmartCardFactor::SmartCardDataForEnrollment"},
    {message_type::kErrorReply, "mfab::ErrorMessage"},
    {message_type::kActionAuthenticateRequest, "mfab::ActionAuthenticateRequest"},
    {message_type::kEnrollFactorRequest, "mfab::EnrollFactorRequest"},
    {message_type::kUnenrollFactorRequest, "mfab::UnenrollFactorRequest"},
    {message_type::kCheckFactorEnrollmentRequest, "mfab::CheckFactorEnrollmentRequest"},
    {message_type::kStoreSecureDataRequest, "mfab::StoreSecureDataRequest"},
    {message_type::kAuthenticateActionRetrieveDataRequest,
     "mfab::AuthenticateActionRetrieveDataRequest"},
    {message_type::kActionAuthenticateInterAppRequest, "mfab::ActionAuthenticateInterAppRequest"},
    {message_type::kAuthenticatedUnenrollFactorRequest, "mfab::AuthenticatedUnenrollFactorRequest"},
    {message_type::kAuthenticatedUnenrollFactorRequest2,
     "mfab::AuthenticatedUnenrollFactorRequest"},
    {message_type::kGetContAuthDataRequest, "mfab::GetContAuthDataRequest"},
    {message_type::kInitAuthenticateActionRequest, "mfab::InitAuthenticateActionRequest"},
    {message_type::kSetNextFactorRequest, "mfab::SetNextFactorRequest"},
    {message_type::kCloseAuthenticateActionRequest, "mfab::CloseAuthenticateActionRequest"},
    {message_type::kAuthenticateSetFactorRequest, "mfab::AuthenticateSetFactorRequest"},
    {message_type::kUnsetFactorRequest, "mfab::UnsetFactorRequest"},
    {message_type::kCloseAuthenticateActionRetrieveDataRequest,
     "mfab::CloseAuthenticateActionRetrieveDataRequest"},
    {message_type::kGetPolicyActionFactorsDataRequest, "mfab::GetPolicyActionFactorsDataRequest"},
};

std::string_view ShortName(std::string_view name) {
  const size_t colon = name.rfind("::");
  return colon == std::string_view::npos ? name : name.substr(colon + 2);
}

}  // namespace

std::span<const CatalogueEntry> MessageCatalogue() { return kCatalogue; }

const CatalogueEntry* FindMessageClass(std::string_view name) {
  for (const CatalogueEntry& entry : kCatalogue) {
    if (name == entry.name) return &entry;
  }
  const CatalogueEntry* found = nullptr;
  for (const CatalogueEntry& entry : kCatalogue) {
    if (ShortName(entry.name) == name) {
      if (found) return nullptr;  // ambiguous
      found = &entry;
    }
  }
  return found;
}

const CatalogueEntry* PayloadClassOf(uint32_t messageType) {
  const auto* it =
      std::find_if(std::begin(kPayloads), std::end(kPayloads),
                   [&](const PayloadOfType& p) { return p.messageType == messageType; });
  return it == std::end(kPayloads) ? nullptr : FindMessageClass(it->className);
}

std::vector<uint32_t> MessageTypesOf(const CatalogueEntry& entry) {
  std::vector<uint32_t> types;
  for (const PayloadOfType& p : kPayloads) {
    if (FindMessageClass(p.className) == &entry) types.push_back(p.messageType);
  }
  std::sort(types.begin(), types.end());
  return types;
}

}  // namespace mfab
