#pragma once

// Payloads of the client requests the engine inspects on their way to the applet, and the
// enrollment and factor-authentication flows' own messages. "user" is always the user's SID text
// (tag 0x7B01 where the class has one). Wire layout in docs/tlv.md.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "tlv/record.h"
#include "tlv/tlv.h"

namespace mfab {

// A client starts authenticating an action (0xABBA0009).
class ActionAuthenticateRequest final : public record::Base<ActionAuthenticateRequest> {
 public:
  std::string user;         // 0x7B01
  std::string actionId;     // 0x7B02
  int32_t monitorStatus{};  // 0x7B49; kept by the authentication state manager

  static std::span<const record::Field<ActionAuthenticateRequest>> Fields();
};

// A client starts an action authentication (0xABBA0052); layout of ActionAuthenticateRequest.
class InitAuthenticateActionRequest final : public record::Base<InitAuthenticateActionRequest> {
 public:
  std::string user;         // 0x7B01
  std::string actionId;     // 0x7B02
  int32_t monitorStatus{};  // 0x7B49

  static std::span<const record::Field<InitAuthenticateActionRequest>> Fields();
};

// A client enrolls a factor (0xABBA000B).
class EnrollFactorRequest final : public record::Base<EnrollFactorRequest> {
 public:
  std::string factorName;  // 0x7B04
  std::string factorId;    // 0x7B14
  std::string user;        // 0x7B01
  Bytes data;              // 0x7B05

  static std::span<const record::Field<EnrollFactorRequest>> Fields();
};

// A client removes a factor (0xABBA0011).
class UnenrollFactorRequest final : public record::Base<UnenrollFactorRequest> {
 public:
  std::string factorId;  // 0x7B14
  std::string user;      // 0x7B01
  Bytes data;            // 0x7B05

  static std::span<const record::Field<UnenrollFactorRequest>> Fields();
};

// A client asks whether a factor is enrolled (0xABBA0013); layout of UnenrollFactorRequest.
class CheckFactorEnrollmentRequest final : public record::Base<CheckFactorEnrollmentRequest> {
 public:
  std::string factorId;  // 0x7B14
  std::string user;      // 0x7B01
  Bytes data;            // 0x7B05

  static std::span<const record::Field<CheckFactorEnrollmentRequest>> Fields();
};

// A client removes a factor after authenticating (0xABBA003E, 0xABBA0075).
class AuthenticatedUnenrollFactorRequest final
    : public record::Base<AuthenticatedUnenrollFactorRequest> {
 public:
  std::string factorId;  // 0x7B14
  std::string user;      // 0x7B01

  static std::span<const record::Field<AuthenticatedUnenrollFactorRequest>> Fields();
};

// A client stores secure data (0xABBA0022).
class StoreSecureDataRequest final : public record::Base<StoreSecureDataRequest> {
 public:
  std::string applicationId;  // 0x7B0C
  std::string dataName;       // 0x7B0D
  std::string dataScope;      // 0x7B3A
  Bytes data;                 // 0x7B05

  static std::span<const record::Field<StoreSecureDataRequest>> Fields();
};

// A client authenticates an action on behalf of another application (0xABBA002C).
class ActionAuthenticateInterAppRequest final
    : public record::Base<ActionAuthenticateInterAppRequest> {
 public:
  std::string callerId;  // 0x7B1F
  Bytes data;            // 0x7B05
  std::string user;      // 0x7B01

  static std::span<const record::Field<ActionAuthenticateInterAppRequest>> Fields();
};

// A client authenticates an action and retrieves secure data (0xABBA0024).
class AuthenticateActionRetrieveDataRequest final
    : public record::Base<AuthenticateActionRetrieveDataRequest> {
 public:
  std::string user;           // 0x7B01
  std::string actionId;       // 0x7B02
  std::string applicationId;  // 0x7B0C
  std::string dataName;       // 0x7B0D
  std::string dataScope;      // 0x7B3A
  Bytes requestData;          // 0x7B0E
  int32_t monitorStatus{};    // 0x7B49
  int32_t options{};          // 0x7B81

  static std::span<const record::Field<AuthenticateActionRetrieveDataRequest>> Fields();
};

// A client closes a retrieve-data authentication (0xABBA005C).
class CloseAuthenticateActionRetrieveDataRequest final
    : public record::Base<CloseAuthenticateActionRetrieveDataRequest> {
 public:
  int32_t authenticationId{};  // 0x7B47
  std::string applicationId;   // 0x7B0C
  std::string dataName;        // 0x7B0D
  std::string dataScope;       // 0x7B3A
  Bytes requestData;           // 0x7B0E
  int32_t options{};           // 0x7B81

  static std::span<const record::Field<CloseAuthenticateActionRetrieveDataRequest>> Fields();
};

// A client closes an authentication (0xABBA0056, 0xABBA005A).
class CloseAuthenticateActionRequest final : public record::Base<CloseAuthenticateActionRequest> {
 public:
  int32_t authenticationId{};  // 0x7B47

  static std::span<const record::Field<CloseAuthenticateActionRequest>> Fields();
};

// Layout of CloseAuthenticateActionRequest.
class UnsetFactorRequest final : public record::Base<UnsetFactorRequest> {
 public:
  int32_t authenticationId{};  // 0x7B47

  static std::span<const record::Field<UnsetFactorRequest>> Fields();
};

// A client picks the next factor of an authentication (0xABBA0054, 0xABBA0058).
class SetNextFactorRequest final : public record::Base<SetNextFactorRequest> {
 public:
  int32_t authenticationId{};  // 0x7B47
  std::string factorId;        // 0x7B14

  static std::span<const record::Field<SetNextFactorRequest>> Fields();
};

// Layout of SetNextFactorRequest.
class AuthenticateSetFactorRequest final : public record::Base<AuthenticateSetFactorRequest> {
 public:
  int32_t authenticationId{};  // 0x7B47
  std::string factorId;        // 0x7B14

  static std::span<const record::Field<AuthenticateSetFactorRequest>> Fields();
};

// A client asks for continuous-authentication data (0xABBA0044).
class GetContAuthDataRequest final : public record::Base<GetContAuthDataRequest> {
 public:
  std::string user;      // 0x7B01
  std::string actionId;  // 0x7B02

  static std::span<const record::Field<GetContAuthDataRequest>> Fields();
};

// A client asks for an action's factors (0xABBA005F); layout of GetContAuthDataRequest.
class GetPolicyActionFactorsDataRequest final
    : public record::Base<GetPolicyActionFactorsDataRequest> {
 public:
  std::string user;      // 0x7B01
  std::string actionId;  // 0x7B02

  static std::span<const record::Field<GetPolicyActionFactorsDataRequest>> Fields();
};

// Enrollment's store-secure-data step (0xABBA0019, moduleId 13, category 2); the applet answers
// with BooleanResponse (0xABBA001A).
class SaveEnrollmentDataRequest final : public record::Base<SaveEnrollmentDataRequest> {
 public:
  std::string user;      // 0x7B01
  std::string factorId;  // 0x7B14
  Bytes data;            // 0x7B05

  static std::span<const record::Field<SaveEnrollmentDataRequest>> Fields();
};

}  // namespace mfab

namespace AuthenticateFlows {

// The applet asks the engine to authenticate a user with a host-side factor (0xABBA007B).
class AuthenticateFactorRequest final : public mfab::record::Base<AuthenticateFactorRequest> {
 public:
  std::string factorId;  // 0x7B04
  std::string user;      // 0x7B01

  static std::span<const mfab::record::Field<AuthenticateFactorRequest>> Fields();
};

}  // namespace AuthenticateFlows
