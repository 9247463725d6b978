#pragma once

// The simulated applet's side of the wire: the message types it accepts and sends beyond the
// engine's own catalogue, its error codes, and the tags of its own records. Every layout here is
// described in docs/applet-protocol.md.

#include <cstddef>
#include <cstdint>

namespace kilnsim {

namespace command {
inline constexpr uint32_t kRequest = 0;    // queued requests
inline constexpr uint32_t kIdleClear = 1;  // continuation-cache clear after the engine idled
inline constexpr uint32_t kUpgrade = 2;    // security-version upgrade exchange
}  // namespace command

// Message types the applet defines itself (the engine relays them or reads them as documented).
namespace sim_type {
inline constexpr uint32_t kSetPolicyRequest = 0xABBA000D;   // client, elevated
inline constexpr uint32_t kSetPolicyResponse = 0xABBA000E;  // BooleanResponse
inline constexpr uint32_t kClientClearDataResponse = 0xABBA0033;
inline constexpr uint32_t kRemoveUserRequest = 0xABBA0040;   // client; 0x7B01 user
inline constexpr uint32_t kRemoveUserResponse = 0xABBA0041;  // BooleanResponse
inline constexpr uint32_t kGetPolicyDataResponse = 0xABBA0066;
inline constexpr uint32_t kGetUserDataResponse = 0xABBA0068;
inline constexpr uint32_t kClearActionTimeoutCacheResponse = 0xABBA0077;
inline constexpr uint32_t kIdleClearResponse = 0xABBA00F0;  // BooleanResponse, command 1
}  // namespace sim_type

// Error codes of the applet's ErrorMessage replies besides the ones the engine tells apart.
namespace sim_error {
inline constexpr uint16_t kMalformedRequest = 0x7F10;
inline constexpr uint16_t kUnsupportedMessage = 0x7F11;
inline constexpr uint16_t kPolicyNotSet = 0x7F12;
inline constexpr uint16_t kInvalidPolicy = 0x7F13;
inline constexpr uint16_t kSealedDataRefused = 0x7F14;
inline constexpr uint16_t kRollbackDetected = 0x7F15;
inline constexpr uint16_t kStoredDataIncomplete = 0x7F16;
inline constexpr uint16_t kUnexpectedMessage = 0x7F17;
inline constexpr uint16_t kStorageLimit = 0x7F18;
inline constexpr uint16_t kUnknownUser = 0x7F19;
inline constexpr uint16_t kHostRefused = 0x7F1A;
inline constexpr uint16_t kFirmwareFailure = 0x7F1B;
inline constexpr uint16_t kInvalidArgument = 0x7F1C;
}  // namespace sim_error

// Tags of the applet's own records (policy, stored records, user data). Tags that the engine's
// catalogue already gives a meaning are reused with that meaning.
namespace tag {
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

// Master-versions record.
inline constexpr uint16_t kGeneration = 0x7C30;
inline constexpr uint16_t kDataSvn = 0x7C31;
inline constexpr uint16_t kVersionEntries = 0x7C32;  // container of kVersionEntry
inline constexpr uint16_t kVersionEntry = 0x7C33;
inline constexpr uint16_t kFileName = 0x7C34;
inline constexpr uint16_t kFileVersion = 0x7C35;

// System, user and enrollment records.
inline constexpr uint16_t kFormat = 0x7C50;
inline constexpr uint16_t kPolicyRevision = 0x7C51;
inline constexpr uint16_t kTime = 0x7C52;
inline constexpr uint16_t kEnrolledAt = 0x7C53;
inline constexpr uint16_t kRawData = 0x7C54;

// User data (value of GetUserDataResponse 0x7B05).
inline constexpr uint16_t kUserData = 0x7C60;
inline constexpr uint16_t kUserEntries = 0x7C61;  // container of kUserEntry
inline constexpr uint16_t kUserEntry = 0x7C62;
}  // namespace tag

// Largest reply the applet writes; the engine's receive buffer is exactly this big.
inline constexpr size_t kMaxReplySize = 32768;
// Largest request or init buffer the applet reads.
inline constexpr size_t kMaxRequestSize = 65536;

// Logical names of the stored files.
inline constexpr char kMasterVersionsName[] = "_masterVersions";
inline constexpr char kSystemName[] = "_Sys";
inline constexpr char kPolicyName[] = "_Sys$Policy";
inline constexpr char kUserPrefix[] = "_U";

}  // namespace kilnsim
