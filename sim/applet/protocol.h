#pragma once

// The simulated applet's side of the wire: the message types it accepts and sends beyond the
// engine's own catalogue, its error codes, and the tags of its own records. Every layout here is
// described in docs/applet-protocol.md.

#include <cstddef>
#include <cstdint>

#include "tlv/applet_tags.h"
#include "tlv/message_types.h"

namespace kilnsim {

namespace command {
inline constexpr uint32_t kRequest = 0;    // queued requests
inline constexpr uint32_t kIdleClear = 1;  // continuation-cache clear after the engine idled
inline constexpr uint32_t kUpgrade = 2;    // security-version upgrade exchange
}  // namespace command

// Message types the applet defines itself (the engine relays them or reads them as documented).
namespace sim_type {
inline constexpr uint32_t kSetPolicyRequest = mfab::message_type::kSetPolicyRequest;
inline constexpr uint32_t kSetPolicyResponse = mfab::message_type::kSetPolicyResponse;
inline constexpr uint32_t kClientClearDataResponse = mfab::message_type::kClientClearDataResponse;
inline constexpr uint32_t kRemoveUserRequest = mfab::message_type::kRemoveUserRequest;
inline constexpr uint32_t kRemoveUserResponse = mfab::message_type::kRemoveUserResponse;
inline constexpr uint32_t kGetPolicyDataResponse = mfab::message_type::kGetPolicyDataResponse;
inline constexpr uint32_t kGetUserDataResponse = mfab::message_type::kGetUserDataResponse;
inline constexpr uint32_t kClearActionTimeoutCacheResponse =
    mfab::message_type::kClearActionTimeoutCacheResponse;
inline constexpr uint32_t kIdleClearResponse = 0xABBA00F0;  // BooleanResponse, command 1
}  // namespace sim_type

// Error codes of the applet's ErrorMessage replies besides the ones the engine tells apart.
namespace sim_error {
inline constexpr uint16_t kMalformedRequest = 0x7F10;
inline constexpr uint16_t kUnsupportedMessage = 0x7F11;
inline constexpr uint16_t kPolicyNotSet = mfab::applet_error::kPolicyNotSet;
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

// Tags of the applet's own records. The policy and user-data tags, which the engine reads too,
// live in tlv/applet_tags.h; the stored records' own tags are the applet's alone.
namespace tag {
using namespace mfab::applet_tag;

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
}  // namespace tag

// A phone's Bluetooth device id: six address bytes, the link type and a reserved byte.
inline constexpr size_t kPhoneDeviceIdSize = 8;

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
