#pragma once

// Tags of the records the authentication applet defines itself: the policy it keeps and returns
// in GetPolicyDataResponse, and the user data of GetUserDataResponse. The engine reads them into
// the registry mirror, the simulated applet writes them, keystonectl builds and prints them.
// Layouts: docs/applet-protocol.md, sections 9.1 to 9.3.
//
//   factor element 0x7C02: 0x7B14 id, 0x7C03 name, 0x7C04 type, [0x7C05 isContinuous,
//       0x7C06 isUi, 0x7C07 isHardened, 0x7C08 isSupported, 0x7C09 timeoutSuccess,
//       0x7C0A timeoutUnsuccessful], [0x7C0B parameters]
//   action element 0x7C11: 0x7B02 id, 0x7C12 { 0x7C13 set { 0x7C14 { 0x7B14 factor id,
//       [0x7C0B settings] } ... } ... }
//   setting element 0x7C21: 0x7C22 name, 0x7C23 type, 0x7C24 value
//   name-value list 0x7C0B: 0x7C0C { 0x7C0D name, 0x7C0E value } ...
//   user element 0x7C60: 0x7B01 SID, [0x7C61 { 0x7C62 { 0x7B14 factor id, 0x7C0B values } ... }]

#include <cstdint>

namespace mfab::applet_tag {

// Tags the engine's catalogue already names, used here with that meaning.
inline constexpr uint16_t kUser = 0x7B01;      // string: a user's SID text
inline constexpr uint16_t kActionId = 0x7B02;  // string
inline constexpr uint16_t kFactorId = 0x7B14;  // string

// Policy.
inline constexpr uint16_t kFactors = 0x7C01;  // container of kFactor
inline constexpr uint16_t kFactor = 0x7C02;
inline constexpr uint16_t kFactorName = 0x7C03;
inline constexpr uint16_t kFactorType = 0x7C04;
inline constexpr uint16_t kIsContinuous = 0x7C05;
inline constexpr uint16_t kIsUi = 0x7C06;
inline constexpr uint16_t kIsHardened = 0x7C07;
inline constexpr uint16_t kIsSupported = 0x7C08;
inline constexpr uint16_t kTimeoutSuccess = 0x7C09;
inline constexpr uint16_t kTimeoutUnsuccessful = 0x7C0A;
inline constexpr uint16_t kNameValues = 0x7C0B;  // container of kNameValue
inline constexpr uint16_t kNameValue = 0x7C0C;
inline constexpr uint16_t kName = 0x7C0D;
inline constexpr uint16_t kValue = 0x7C0E;
inline constexpr uint16_t kActions = 0x7C10;  // container of kAction
inline constexpr uint16_t kAction = 0x7C11;
inline constexpr uint16_t kFactorSets = 0x7C12;  // container of kFactorSet
inline constexpr uint16_t kFactorSet = 0x7C13;   // sequence of kSetEntry
inline constexpr uint16_t kSetEntry = 0x7C14;
inline constexpr uint16_t kSettings = 0x7C20;  // container of kSetting
inline constexpr uint16_t kSetting = 0x7C21;
inline constexpr uint16_t kSettingName = 0x7C22;
inline constexpr uint16_t kSettingType = 0x7C23;
inline constexpr uint16_t kSettingValue = 0x7C24;

// User data (the value of GetUserDataResponse's 0x7B05).
inline constexpr uint16_t kUserData = 0x7C60;
inline constexpr uint16_t kUserEntries = 0x7C61;  // container of kUserEntry
inline constexpr uint16_t kUserEntry = 0x7C62;

}  // namespace mfab::applet_tag
