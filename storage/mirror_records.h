#pragma once

// The records of the registry mirror: the policy's factors, actions and system settings and the
// users' enrollment data, as the applet returns them and as other programs read them from
//
//   HKLM\SOFTWARE\Ostra\Ostra Keystone\Engine\DataMirror
//     Factors\<factor id>            DefName (SZ), IsSupported, Type, IsContinuous,
//                                    TimeoutSuccess, TimeoutUnsuccessful, IsUi, IsHardened (DWORD)
//       Parameters                   one SZ value per factor parameter
//     Actions\<action id>\Set<n>\<factor id>
//                                    one SZ value per setting; sets numbered from 1 in order
//     SystemSettings\<name>          Value (BINARY), Type (DWORD)
//     Users\<SID>                    DisplayName (SZ, the user records' value)
//       <factor id>                  one SZ value per field; IsEnrolled "true" when enrolled
//
// Each class decodes its part of the applet's reply (Decode, which throws GeneralException for
// anything malformed or that the registry cannot hold), and reads or writes its own subtree
// (ReadFromRegistry: ReadMirrorDataException after logging "Error reading from registry (%d)";
// WriteToRegistry: WriteMirrorDataException). Both log "FLOW-START" and "FLOW-END". With a
// transaction every access belongs to it. Not thread-safe: the mirroring's lock serializes them.

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "tlv/tlv.h"

namespace platform {
class Registry;
class RegistryTransaction;
}  // namespace platform

namespace AuthenticateDataMirroring {

// The mirror's key and its subkeys' names.
inline constexpr const char* kFactorsKey = "Factors";
inline constexpr const char* kActionsKey = "Actions";
inline constexpr const char* kSystemSettingsKey = "SystemSettings";
inline constexpr const char* kUsersKey = "Users";
inline constexpr const char* kDisplayNameValue = "DisplayName";

// The full path of a key below DataMirror ("" for DataMirror itself).
std::string MirrorPath(const std::string& relative);

struct NameValue {
  std::string name;
  std::string value;
  bool operator==(const NameValue&) const = default;
};
using NameValues = std::vector<NameValue>;

class PolicyFactors {
 public:
  struct Factor {
    std::string defName;
    bool isSupported = false;
    uint32_t type = 0;
    bool isContinuous = false;
    uint32_t timeoutSuccess = 0;
    uint32_t timeoutUnsuccessful = 0;
    bool isUi = false;
    bool isHardened = false;
    NameValues parameters;
    bool operator==(const Factor&) const = default;
  };

  // The applet's factor elements (0x7B94 of GetPolicyDataResponse).
  static PolicyFactors Decode(std::span<const uint8_t> elements);
  // Empty when Factors does not exist (no policy is mirrored).
  void ReadFromRegistry(platform::Registry& registry,
                        platform::RegistryTransaction* transaction = nullptr);
  // Replaces Factors with these factors (nothing is created when there are none).
  void WriteToRegistry(platform::Registry& registry,
                       platform::RegistryTransaction* transaction = nullptr) const;

  std::map<std::string, Factor> factors;  // by identifier, byte order
  bool operator==(const PolicyFactors&) const = default;
};

class PolicyActions {
 public:
  struct SetEntry {
    std::string factorId;
    NameValues settings;
    bool operator==(const SetEntry&) const = default;
  };
  using FactorSet = std::vector<SetEntry>;
  struct Action {
    std::string id;
    std::vector<FactorSet> sets;
    bool operator==(const Action&) const = default;
  };

  // The applet's action elements (0x7B95).
  static PolicyActions Decode(std::span<const uint8_t> elements);
  // Actions in the store's order, sets by number, entries and settings in the store's order.
  void ReadFromRegistry(platform::Registry& registry,
                        platform::RegistryTransaction* transaction = nullptr);
  // Deletes Actions when it has no subkeys, then creates it and every action below it.
  void WriteToRegistry(platform::Registry& registry,
                       platform::RegistryTransaction* transaction = nullptr) const;

  // The action with this identifier, or null.
  const Action* Find(const std::string& id) const;

  std::vector<Action> actions;
  bool operator==(const PolicyActions&) const = default;
};

class SystemParams {
 public:
  struct Param {
    std::string name;
    uint32_t type = 0;
    mfab::Bytes value;
    bool operator==(const Param&) const = default;
  };

  // The applet's setting elements (0x7BAA).
  static SystemParams Decode(std::span<const uint8_t> elements);
  void ReadFromRegistry(platform::Registry& registry,
                        platform::RegistryTransaction* transaction = nullptr);
  // Creates SystemSettings and writes every parameter into it.
  void WriteToRegistry(platform::Registry& registry,
                       platform::RegistryTransaction* transaction = nullptr) const;

  std::vector<Param> params;
  bool operator==(const SystemParams&) const = default;
};

class UserData {
 public:
  // One user's factor entries by factor identifier.
  using FactorEntries = std::map<std::string, NameValues>;

  // The value of GetUserDataResponse's 0x7B05: every user element's SID must be a SID.
  static UserData Decode(std::span<const uint8_t> userData);
  // Every user's factor entries, or only user's when it is not empty (nothing when its key is
  // absent). DisplayName and other values of a user's own key are not part of the record.
  void ReadFromRegistry(platform::Registry& registry,
                        platform::RegistryTransaction* transaction = nullptr,
                        const std::string& user = "");
  // The answer to a request for requestedUser. For one user, the reply is complete: that user's
  // factor entries are replaced, and a user the reply does not hold is removed. For every user
  // (empty requestedUser), the reply carries each user's enrollment state: users it does not
  // hold are removed, a user's factor entries it does not name are removed, and the values it
  // carries are written over the ones in place.
  void WriteToRegistry(platform::Registry& registry, platform::RegistryTransaction* transaction,
                       const std::string& requestedUser) const;

  // Whether an entry's IsEnrolled is "true", compared without regard to case.
  static bool IsEnrolled(const NameValues& entry);

  std::map<std::string, FactorEntries> users;  // by SID
  bool operator==(const UserData&) const = default;
};

}  // namespace AuthenticateDataMirroring
