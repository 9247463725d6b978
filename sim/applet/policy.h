#pragma once

// The administrator's policy: the factors, the actions with the factor sets that satisfy them, and
// system settings. It arrives as the payload of SetPolicyRequest (0xABBA000D):
//
//   0x7C01 factors     container of 0x7C02 factor elements (at least one)
//   0x7C10 actions     optional container of 0x7C11 action elements
//   0x7C20 settings    optional container of 0x7C21 setting elements
//
//   factor:  0x7B14 id, 0x7C03 name, 0x7C04 type, [0x7C05 isContinuous, 0x7C06 isUi,
//            0x7C07 isHardened, 0x7C08 isSupported (0/1)], [0x7C09 timeoutSuccess,
//            0x7C0A timeoutUnsuccessful (seconds)], [0x7C0B parameters]
//   action:  0x7B02 id, 0x7C12 container of 0x7C13 sets; a set is a sequence of 0x7C14 entries,
//            each 0x7B14 factor id, [0x7C0B settings]
//   setting: 0x7C22 name, 0x7C23 type, 0x7C24 value (bytes)
//   0x7C0B:  container of 0x7C0C elements, each 0x7C0D name, 0x7C0E value (strings)
//
// It is stored, in the same form, as the record of "_Sys$Policy", and returned to the engine as
// GetPolicyDataResponse: 0x7B94 the factor elements, 0x7B95 the action elements, 0x7BAA the setting
// elements, each a sequence of element items without container.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kilnsim {

struct NameValue {
  std::string name;
  std::string value;
  bool operator==(const NameValue&) const = default;
};

struct PolicyFactor {
  std::string id;
  std::string name;
  uint32_t type = 0;
  bool isContinuous = false;
  bool isUi = false;
  bool isHardened = false;
  bool isSupported = false;
  uint32_t timeoutSuccess = 0;
  uint32_t timeoutUnsuccessful = 0;
  std::vector<NameValue> parameters;
  bool operator==(const PolicyFactor&) const = default;
};

struct SetEntry {
  std::string factorId;
  std::vector<NameValue> settings;
  bool operator==(const SetEntry&) const = default;
};

struct PolicyAction {
  std::string id;
  std::vector<std::vector<SetEntry>> sets;
  bool operator==(const PolicyAction&) const = default;
};

struct SystemSetting {
  std::string name;
  uint32_t type = 0;
  std::vector<uint8_t> value;
  bool operator==(const SystemSetting&) const = default;
};

struct Policy {
  std::vector<PolicyFactor> factors;
  std::vector<PolicyAction> actions;
  std::vector<SystemSetting> settings;
  bool operator==(const Policy&) const = default;

  const PolicyFactor* FindFactor(const std::string& id) const;
};

// Limits of a policy; a larger one is refused so that it and its save request fit one message.
inline constexpr size_t kMaxPolicyBytes = 12 * 1024;
inline constexpr size_t kMaxFactors = 32;
inline constexpr size_t kMaxActions = 64;
inline constexpr size_t kMaxSetsPerAction = 16;
inline constexpr size_t kMaxFactorsPerSet = 8;
inline constexpr size_t kMaxNameValues = 32;
inline constexpr size_t kMaxSettings = 64;
inline constexpr size_t kMaxDisplayText = 128;
inline constexpr size_t kMaxValueText = 256;
inline constexpr size_t kMaxSettingValue = 1024;

// Reads and validates a policy: identifiers (letters, digits, '_', '-'; 1 to 64), unique factor
// and action ids, sets naming only policy factors, each at most once, printable texts within their
// limits. Throws AppletError with kInvalidPolicy naming the first fault.
Policy ParsePolicy(std::span<const uint8_t> payload);

// The canonical form (the SetPolicyRequest layout). Throws std::overflow_error when an item would
// pass the codec's limit, which a validated policy never does.
std::vector<uint8_t> SerializePolicy(const Policy& policy);

// The three parts of GetPolicyDataResponse.
std::vector<uint8_t> SerializeFactorElements(const Policy& policy);
std::vector<uint8_t> SerializeActionElements(const Policy& policy);
std::vector<uint8_t> SerializeSettingElements(const Policy& policy);

// Name-value lists (0x7B0C containers' content) shared with user data.
std::vector<NameValue> ParseNameValues(std::span<const uint8_t> container, uint16_t errorCode,
                                       const char* what);
std::vector<uint8_t> SerializeNameValues(const std::vector<NameValue>& values);

}  // namespace kilnsim
