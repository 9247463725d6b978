#pragma once

#include <cstdint>

// Message type identifiers (upper half always 0xABBA) and applet error codes.
namespace mfab::message_type {

inline constexpr uint32_t kSaveRequest = 0xABBA0001;
inline constexpr uint32_t kSaveResponse = 0xABBA0002;
inline constexpr uint32_t kSaveEnrollmentDataRequest = 0xABBA0019;
inline constexpr uint32_t kSaveEnrollmentDataResponse = 0xABBA001A;
inline constexpr uint32_t kClearDataRequest = 0xABBA0030;
inline constexpr uint32_t kClearDataResponse = 0xABBA0031;
inline constexpr uint32_t kClientClearData = 0xABBA0032;
inline constexpr uint32_t kClientClearDataResponse = 0xABBA0033;
inline constexpr uint32_t kDeleteLevel1Request = 0xABBA003A;
inline constexpr uint32_t kDeleteLevel1Response = 0xABBA003B;
inline constexpr uint32_t kFpRequest = 0xABBA003C;
inline constexpr uint32_t kFpResponse = 0xABBA003D;
inline constexpr uint32_t kGetPolicyDataRequest = 0xABBA0065;
inline constexpr uint32_t kGetPolicyDataResponse = 0xABBA0066;
inline constexpr uint32_t kGetUserDataRequest = 0xABBA0067;
inline constexpr uint32_t kGetUserDataResponse = 0xABBA0068;
inline constexpr uint32_t kCheckPhonePresenceRequest = 0xABBA0069;
inline constexpr uint32_t kCheckPhonePresenceResponse = 0xABBA0070;
inline constexpr uint32_t kNeedUserDataRequest = 0xABBA0073;
inline constexpr uint32_t kNeedUserDataResponse = 0xABBA0074;
inline constexpr uint32_t kClearActionTimeoutCacheRequest = 0xABBA0076;
inline constexpr uint32_t kClearActionTimeoutCacheResponse = 0xABBA0077;
inline constexpr uint32_t kDataMigrationRequest = 0xABBA0078;
inline constexpr uint32_t kDataMigrationFiles = 0xABBA0079;
inline constexpr uint32_t kDataMigrationEnd = 0xABBA007A;
inline constexpr uint32_t kFactorResultRequest = 0xABBA007B;
inline constexpr uint32_t kFactorResultResponse = 0xABBA007C;
inline constexpr uint32_t kSmartCardChallengeRequest = 0xABBA007D;
inline constexpr uint32_t kValidateChallengeResponseRequest = 0xABBA007E;
inline constexpr uint32_t kSmartCardDataForEnrollment = 0xABBA007F;
inline constexpr uint32_t kErrorReply = 0xABBAAAAA;

// The simulated applet's host-factor check (a client request, AuthenticateFactorRequest layout):
// the applet asks the engine to authenticate the user with the factor (kFactorResultRequest) and
// answers with a BooleanResponse carrying the engine's answer (docs/applet-protocol.md).
inline constexpr uint32_t kCheckHostFactorRequest = 0xABBA00F2;
inline constexpr uint32_t kCheckHostFactorResponse = 0xABBA00F3;
// The simulated applet's phone check (a client request, CheckPhonePresenceRequest layout): the
// applet asks the engine whether the phone is within reach (kCheckPhonePresenceRequest) and
// answers with a BooleanResponse carrying the engine's answer.
inline constexpr uint32_t kPhoneCheckRequest = 0xABBA00F4;
inline constexpr uint32_t kPhoneCheckResponse = 0xABBA00F5;

// Client requests whose payload the engine reads on the way to the applet. Within the set-factor
// layout (0x54, 0x58) and the close layout (0x56, 0x5A), which class goes with which value is ours.
inline constexpr uint32_t kActionAuthenticateRequest = 0xABBA0009;
// System requests (flow type 4) the engine only routes: 0x07 needs the certificates, 0x0F the
// factors' system data.
inline constexpr uint32_t kSystemCertificateRequest = 0xABBA0007;
inline constexpr uint32_t kSetPolicyRequest = 0xABBA000D;   // needs an elevated client
inline constexpr uint32_t kSetPolicyResponse = 0xABBA000E;  // BooleanResponse
inline constexpr uint32_t kSystemFactorDataRequest = 0xABBA000F;
inline constexpr uint32_t kRemoveUserRequest = 0xABBA0040;   // 0x7B01 user
inline constexpr uint32_t kRemoveUserResponse = 0xABBA0041;  // BooleanResponse
inline constexpr uint32_t kEnrollFactorRequest = 0xABBA000B;
inline constexpr uint32_t kUnenrollFactorRequest = 0xABBA0011;
inline constexpr uint32_t kCheckFactorEnrollmentRequest = 0xABBA0013;
inline constexpr uint32_t kStoreSecureDataRequest = 0xABBA0022;
inline constexpr uint32_t kAuthenticateActionRetrieveDataRequest = 0xABBA0024;
inline constexpr uint32_t kInitAttestationRequest = 0xABBA0026;
inline constexpr uint32_t kActionAuthenticateInterAppRequest = 0xABBA002C;
inline constexpr uint32_t kAuthenticatedUnenrollFactorRequest = 0xABBA003E;
inline constexpr uint32_t kGetContAuthDataRequest = 0xABBA0044;
inline constexpr uint32_t kInitAuthenticateActionRequest = 0xABBA0052;
inline constexpr uint32_t kSetNextFactorRequest = 0xABBA0054;
inline constexpr uint32_t kCloseAuthenticateActionRequest = 0xABBA0056;
inline constexpr uint32_t kAuthenticateSetFactorRequest = 0xABBA0058;
inline constexpr uint32_t kUnsetFactorRequest = 0xABBA005A;
inline constexpr uint32_t kCloseAuthenticateActionRetrieveDataRequest = 0xABBA005C;
inline constexpr uint32_t kGetPolicyActionFactorsDataRequest = 0xABBA005F;
inline constexpr uint32_t kAuthenticatedUnenrollFactorRequest2 = 0xABBA0075;
inline constexpr uint32_t kUnset = 0xABBAFFFF;

}  // namespace mfab::message_type

namespace mfab::applet_error {

inline constexpr uint16_t kFactorNotSupported = 0x7F02;
inline constexpr uint16_t kAlreadyEnrolled = 0x7F07;
inline constexpr uint16_t kCannotEnroll = 0x7F08;
inline constexpr uint16_t kEnrollmentError = 0x7F09;
// The applet holds no policy: the engine mirrors an empty one.
inline constexpr uint16_t kPolicyNotSet = 0x7F12;
inline constexpr uint16_t kSvnUpgradeNeeded = 0x7F24;
inline constexpr uint16_t kDefault = 0x7FF0;

}  // namespace mfab::applet_error
