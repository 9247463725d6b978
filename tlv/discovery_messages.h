#pragma once

// Policy and enrollment records that clients receive from discovery, and the factor support list
// the engine mirrors. The system fixes the tags; where it leaves a field's meaning to the code that
// fills it, the member is named by its kind and tag (value3E is the integer 0x7B3E). Wire layout in
// docs/tlv.md.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "tlv/record.h"
#include "tlv/tlv.h"

namespace mfab {

// The enrollment-data reply of discovery kind 2: one kEnrollmentValue item per name-value pair of
// a factor's enrollment, each holding kValueName and kValueText.
// kFactorData is the element tag of FactorDiscovery's factor list.
namespace discovery_tag {
inline constexpr uint16_t kFactorData = 0x7B4F;
inline constexpr uint16_t kEnrollmentValue = 0x7B58;
inline constexpr uint16_t kValueName = 0x7B0D;
inline constexpr uint16_t kValueText = 0x7B05;
// GetFactorEnrollmentParametersResponse's written-only items.
inline constexpr uint16_t kParametersFactorId = 0x7B96;
inline constexpr uint16_t kParametersFactorName = 0x7B97;
}  // namespace discovery_tag

// How discovery fills the records whose fields the system leaves open (docs/discovery.md).
namespace discovery_field {
// Bits of FactorDiscoveryFactorData's value3F: the user's state and the factor's policy flags.
inline constexpr int32_t kEnrolled = 0x01;
inline constexpr int32_t kSupported = 0x02;
inline constexpr int32_t kContinuous = 0x04;
inline constexpr int32_t kUi = 0x08;
inline constexpr int32_t kHardened = 0x10;
// Separates the factor ids of one set (set::factorId) and the SIDs of UsersDiscovery::users.
inline constexpr char kListSeparator = ',';
}  // namespace discovery_field

// One factor of the policy as discovery reports it to a user.
class FactorDiscoveryFactorData final : public record::Base<FactorDiscoveryFactorData> {
 public:
  std::string factorId;  // 0x7B14
  std::string text04;    // 0x7B04
  int32_t value3E{};     // 0x7B3E
  int32_t value3F{};     // 0x7B3F
  std::string text02;    // 0x7B02, optional

  static std::span<const record::Field<FactorDiscoveryFactorData>> Fields();
};

// The enrollment parameters of one factor. Reading takes only 0x7B91.
class GetFactorEnrollmentParametersResponse final
    : public record::Base<GetFactorEnrollmentParametersResponse> {
 public:
  std::string text96;  // 0x7B96, written only
  std::string text97;  // 0x7B97, written only
  Bytes parameters;    // 0x7B91, optional

  static std::span<const record::Field<GetFactorEnrollmentParametersResponse>> Fields();
};

// Scope of the action-discovery record.
struct GetPolicyActionFactorsDataResponse {
  // An action's factor sets as discovery reports them to a user.
  class ActionFactorDiscoveryData final : public record::Base<ActionFactorDiscoveryData> {
   public:
    // One factor set of the action (an element of the 0x7B40 list).
    class set final : public record::Base<set> {
     public:
      std::string factorId;  // 0x7B14, optional

      static std::span<const record::Field<set>> Fields();
    };

    // The nested 0x7B54 object. The kinds of 0x7B4C, 0x7B4D and 0x7B55 are ours: integers.
    class Action final : public record::Base<Action> {
     public:
      std::vector<set> sets;  // 0x7B40, elements 0x7B4F
      int32_t value4C{};      // 0x7B4C
      int32_t value4D{};      // 0x7B4D
      int32_t value55{};      // 0x7B55
      std::string text56;     // 0x7B56
      std::string text57;     // 0x7B57

      static std::span<const record::Field<Action>> Fields();
    };

    std::string user;  // 0x7B01
    Action action;     // 0x7B54

    static std::span<const record::Field<ActionFactorDiscoveryData>> Fields();
  };
};

// The factors supported outside the applet; absent list items mean none.
class ExternalFactorsSupport final : public record::Base<ExternalFactorsSupport> {
 public:
  // One supported factor (a 0x7B4F item).
  class Factor final : public record::Base<Factor> {
   public:
    std::string factorId;  // 0x7B14

    static std::span<const record::Field<Factor>> Fields();
  };

  std::vector<Factor> factors;  // top-level 0x7B4F elements, optional

  static std::span<const record::Field<ExternalFactorsSupport>> Fields();
};

}  // namespace mfab

// The policy's factors as discovery reports them to a user.
class FactorDiscovery final : public mfab::record::Base<FactorDiscovery> {
 public:
  std::string user;                                      // 0x7B01
  std::vector<mfab::FactorDiscoveryFactorData> factors;  // 0x7B40, elements 0x7B4F, optional

  static std::span<const mfab::record::Field<FactorDiscovery>> Fields();
};

// The known users, as discovery reports them.
class UsersDiscovery final : public mfab::record::Base<UsersDiscovery> {
 public:
  std::string users;  // 0x7B01, optional

  static std::span<const mfab::record::Field<UsersDiscovery>> Fields();
};
