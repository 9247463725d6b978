#pragma once

// The authentication status that the applet piggy-backs on its replies. Wire layout in docs/tlv.md.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "tlv/record.h"
#include "tlv/tlv.h"

namespace mfab {

// One factor's state within an authentication.
class FactorStatusData final : public record::Base<FactorStatusData> {
 public:
  std::string factorId;  // 0x7B14
  int32_t status{};      // 0x7B45
  int32_t value5E{};     // 0x7B5E

  static std::span<const record::Field<FactorStatusData>> Fields();
};

// The state of a running authentication, piggy-backed on applet replies (item 0x0005) and
// returned to clients. Optional fields that are absent keep their value, so decoding a reply into
// the record a manager holds updates only what the reply carries. The list's element tag, 0x7B4F,
// is the one every factor list uses.
class AuthenticationStatusData final : public record::Base<AuthenticationStatusData> {
 public:
  int32_t authenticationId{};             // 0x7B47; -1 when cleared
  std::string user;                       // 0x7B01
  std::string actionId;                   // 0x7B02
  int32_t state{};                        // 0x7B44; 3 = ended by an engine error
  int32_t value42{};                      // 0x7B42
  int32_t value43{};                      // 0x7B43
  std::vector<FactorStatusData> factors;  // 0x7B41, elements 0x7B4F, optional
  int32_t value4A{};                      // 0x7B4A
  bool active{};                          // 0x7B48, optional
  uint32_t errorCode{};                   // 0x7B4B, optional

  static std::span<const record::Field<AuthenticationStatusData>> Fields();
};

}  // namespace mfab
