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
class ActionAuthenticateRequest final : public Serializable {
 public:
  std::string user;         // 0x7B01
  std::string actionId;     // 0x7B02
  int32_t monitorStatus{};  // 0x7B49; kept by the authentication state manager

  using Serializable::Deserialize;
  void Deserialize(const uint8_t* begin, const uint8_t* end) override;
  Bytes Serialize() const override;
  static std::span<const record::Field<ActionAuthenticateRequest>> Fields();
};

// A client starts an action authentication (0xABBA0052); layout of ActionAuthenticateRequest.
class InitAuthenticateActionRequest final : public Serializable {
 public:
  std::string user;         // 0x7B01
  std::string actionId;     // 0x7B02
  int32_t monitorStatus{};  // 0x7B49

  using Serializable::Deserialize;
  void Deserialize(const uint8_t* begin, const uint8_t* end) override;
  Bytes Serialize() const override;
  static std::span<const record::Field<InitAuthenticateActionRequest>> Fields();
};

// A client enrolls a factor (0xABBA000B).
class EnrollFactorRequest final : public Serializable {
 public:
  std::string factorName;  // 0x7B04
  std::string factorId;    // 0x7B14
  std::string user;        // 0x7B01
  Bytes data;              // 0x7B05

  using Serializable::Deserialize;
  void Deserialize(const uint8_t* begin, const uint8_t* end) override;
  Bytes Serialize() const override;
  static std::span<const record::Field<EnrollFactorRequest>> Fields();
};

// A client removes a factor (0xABBA0011).
class UnenrollFactorRequest final : public Serializable {
 public:
  std::string factorId;  // 0x7B14
  std::string user;      // 0x7B01
  Bytes data;            // 0x7B05

  using Serializable::Deserialize;
  void Deserialize(const uint8_t* begin, const uint8_t* end) override;
  Bytes Serialize() const override;
  static std::span<const record::Field<UnenrollFactorRequest>> Fields();
};

// A client asks whether a factor is enrolled (0xABBA0013); layout of UnenrollFactorRequest.
class CheckFactorEnrollmentRequest final : public Serializable {
 public:
  std::string factorId;  // 0x7B14
  std::string user;      // 0x7B01
  Bytes data;            // 0x7B05

  using Serializable::Deserialize;
  void Deserialize(const uint8_t* begin, const uint8_t* end) override;
  Bytes Serialize() const override;
  static std::span<const record::Field<CheckFactorEnrollmentRequest>> Fields();
};

// A client removes a factor after authenticating (0xABBA003E, 0xABBA0075).
class AuthenticatedUnenrollFactorRequest final : public Serializable {
 public:
  std::string factorId;  // 0x7B14
  std::string user;      // 0x7B01

  using Serializable::Deserialize;
  void Deserialize(const uint8_t* begin, const uint8_t* end) override;
  Bytes Serialize() const override;
  static std::span<const record::Field<AuthenticatedUnenrollFactorRequest>> Fields();
};

// A client stores secure data (0xABBA0022).
class StoreSecureDataRequest final : public Serializable {
 public:
  std::string applicationId;  // 0x7B0C
  std::string dataName;       // 0x7B0D
  std::string dataScope;      // 0x7B3A
  Bytes data;                 // 0x7B05

  using Serializable::Deserialize;
  void Deserialize(const uint8_t* begin, const uint8_t* end) override;
  Bytes Serialize() const override;
  static std::span<const record::Field<StoreSecureDataRequest>> Fields();
};

// A client authenticates an action on behalf of another application (0xABBA002C).
class ActionAuthenticateInterAppRequest final : public Serializable {
 public:
  std::string callerId;  // 0x7B1F
  Bytes data;            // 0x7B05
  std::string user;      // 0x7B01

  using Serializable::Deserialize;
  void Deserialize(const uint8_t* begin, const uint8_t* end) override;
  Bytes Serialize() const override;
  static std::span<const record::Field<ActionAuthenticateInterAppRequest>> Fields();
};

// A client authenticates an action and retrieves secure data (0xABBA0024).
class AuthenticateActionRetrieveDataRequest final : public Serializable {
 public:
  std::string user;           // 0x7B01
  std::string actionId;       // 0x7B02
  std::string applicationId;  // 0x7B0C
  std::string dataName;       // 0x7B0D
  std::string dataScope;      // 0x7B3A
  Bytes requestData;          // 0x7B0E
  int32_t monitorStatus{};    // 0x7B49
  int32_t options{};          // 0x7B81

  using Serializable::Deserialize;
  void Deserialize(const uint8_t* begin, const uint8_t* end) override;
  Bytes Serialize() const override;
  static std::span<const record::Field<AuthenticateActionRetrieveDataRequest>> Fields();
};

// A client closes a retrieve-data authentication (0xABBA005C).
class CloseAuthenticateActionRetrieveDataRequest final : public Serializable {
 public:
  int32_t authenticationId{};  // 0x7B47
  std::string applicationId;   // 0x7B0C
  std::string dataName;        // 0x7B0D
  std::string dataScope;       // 0x7B3A
  Bytes requestData;           // 0x7B0E
  int32_t options{};           // 0x7B81

  using Serializable::Deserialize;
  void Deserialize(const uint8_t* begin, const uint8_t* end) override;
  Bytes Serialize() const override;
  static std::span<const record::Field<CloseAuthenticateActionRetrieveDataRequest>> Fields();
};

// A client closes an authentication (0xABBA0056, 0xABBA005A).
class CloseAuthenticateActionRequest final : public Serializable {
 public:
  int32_t authenticationId{};  // 0x7B47

  using Serializable::Deserialize;
  void Deserialize(const uint8_t* begin, const uint8_t* end) override;
  Bytes Serialize() const override;
  static std::span<const record::Field<CloseAuthenticateActionRequest>> Fields();
};

// Layout of CloseAuthenticateActionRequest.
class UnsetFactorRequest final : public Serializable {
 public:
  int32_t authenticationId{};  // 0x7B47

  using Serializable::Deserialize;
  void Deserialize(const uint8_t* begin, const uint8_t* end) override;
  Bytes Serialize() const override;
  static std::span<const record::Field<UnsetFactorRequest>> Fields();
};

// A client picks the next factor of an authentication (0xABBA0054, 0xABBA0058).
class SetNextFactorRequest final : public Serializable {
 public:
  int32_t authenticationId{};  // 0x7B47
  std::string factorId;        // 0x7B14

  using Serializable::Deserialize;
  void Deserialize(const uint8_t* begin, const uint8_t* end) override;
  Bytes Serialize() const override;
  static std::span<const record::Field<SetNextFactorRequest>> Fields();
};

// Layout of SetNextFactorRequest.
class AuthenticateSetFactorRequest final : public Serializable {
 public:
  int32_t authenticationId{};  // 0x7B47
  std::string factorId;        // 0x7B14

  using Serializable::Deserialize;
  void Deserialize(const uint8_t* begin, const uint8_t* end) override;
  Bytes Serialize() const override;
  static std::span<const record::Field<AuthenticateSetFactorRequest>> Fields();
};

// A client asks for continuous-authentication data (0xABBA0044).
class GetContAuthDataRequest final : public Serializable {
 public:
  std::string user;      // 0x7B01
  std::string actionId;  // 0x7B02

  using Serializable::Deserialize;
  void Deserialize(const uint8_t* begin, const uint8_t* end) override;
  Bytes Serialize() const override;
  static std::span<const record::Field<GetContAuthDataRequest>> Fields();
};

// A client asks for an action's factors (0xABBA005F); layout of GetContAuthDataRequest.
class GetPolicyActionFactorsDataRequest final : public Serializable {
 public:
  std::string user;      // 0x7B01
  std::string actionId;  // 0x7B02

  using Serializable::Deserialize;
  void Deserialize(const uint8_t* begin, const uint8_t* end) override;
  Bytes Serialize() const override;
  static std::span<const record::Field<GetPolicyActionFactorsDataRequest>> Fields();
};

// Enrollment's store-secure-data step (0xABBA0019, moduleId 13, category 2); the applet answers
// with BooleanResponse (0xABBA001A).
class SaveEnrollmentDataRequest final : public Serializable {
 public:
  std::string user;      // 0x7B01
  std::string factorId;  // 0x7B14
  Bytes data;            // 0x7B05

  using Serializable::Deserialize;
  void Deserialize(const uint8_t* begin, const uint8_t* end) override;
  Bytes Serialize() const override;
  static std::span<const record::Field<SaveEnrollmentDataRequest>> Fields();
};

}  // namespace mfab

namespace AuthenticateFlows {

// The applet asks the engine to authenticate a user with a host-side factor (0xABBA007B).
class AuthenticateFactorRequest final : public mfab::Serializable {
 public:
  std::string factorId;  // 0x7B04
  std::string user;      // 0x7B01

  using mfab::Serializable::Deserialize;
  void Deserialize(const uint8_t* begin, const uint8_t* end) override;
  mfab::Bytes Serialize() const override;
  static std::span<const mfab::record::Field<AuthenticateFactorRequest>> Fields();
};

}  // namespace AuthenticateFlows
