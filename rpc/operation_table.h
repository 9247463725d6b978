#pragma once

// The 24 operations of the client interface, in procedure-number order, with their marshalled
// parameters. The server stubs, the client proxies, keystonectl and the protocol page all come
// from this one table; rpc/marshal.h checks the C++ signatures against it at compile time.
//
// Parameter encodings in a request (in the table's order, in parameters and in/out ones):
//   short            2 bytes
//   long, enum32     4 bytes
//   bytes[n]         1 presence byte; when present, exactly n bytes, n being the value of the
//                    long parameter named by sizedBy (any value travels when absent)
//   string           4-byte length, then the characters without the terminating NUL
//   size (in/out)    1 presence byte; when present the 4-byte capacity
//   buffer (in/out)  1 presence byte; its capacity is the size's value (0 without a size)
// A reply holds the result (none, 2 or 4 bytes), then every in/out and out parameter in order:
// short and long values as above; size as in a request; buffer as a presence byte and, when
// present, a 4-byte count followed by that many bytes (count = returned size, at most the
// capacity).

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace rpc {

enum class Wire : uint8_t { kShort, kLong, kBytes, kString, kSize, kBuffer };
enum class Direction : uint8_t { kIn, kInOut, kOut };
enum class ResultType : uint8_t { kNone, kLong, kAppletCallStatus, kBtCallStatus, kEnum32 };

struct ParamSpec {
  std::string_view name;
  std::string_view type;  // as the interface names it: "long", "short", "enum32", "bytes", "string"
  Wire wire;
  Direction direction;
  int sizedBy;  // bytes: index of the long giving the length; buffer: index of its size; else -1
};

struct OperationSpec {
  uint16_t number;
  std::string_view name;
  bool async;  // completed later by the operation itself (see AsyncCallContext)
  ResultType result;
  std::span<const ParamSpec> params;
};

namespace table {

constexpr ParamSpec Long(std::string_view name) {
  return {name, "long", Wire::kLong, Direction::kIn, -1};
}
constexpr ParamSpec Short(std::string_view name) {
  return {name, "short", Wire::kShort, Direction::kIn, -1};
}
constexpr ParamSpec Bytes(std::string_view name, int sizeIndex) {
  return {name, "bytes", Wire::kBytes, Direction::kIn, sizeIndex};
}
constexpr ParamSpec String(std::string_view name) {
  return {name, "string", Wire::kString, Direction::kIn, -1};
}
constexpr ParamSpec RefLong(std::string_view name, std::string_view type = "long") {
  return {name, type, Wire::kLong, Direction::kInOut, -1};
}
constexpr ParamSpec RefShort(std::string_view name) {
  return {name, "short", Wire::kShort, Direction::kInOut, -1};
}
constexpr ParamSpec OutEnum32(std::string_view name) {
  return {name, "enum32", Wire::kLong, Direction::kOut, -1};
}
constexpr ParamSpec OutSize() { return {"outSize", "size", Wire::kSize, Direction::kInOut, -1}; }
constexpr ParamSpec OutBuffer(int sizeIndex) {
  return {"outBuffer", "bytes", Wire::kBuffer, Direction::kInOut, sizeIndex};
}

inline constexpr ParamSpec kReleaseSessionId[] = {Long("sessionId")};
inline constexpr ParamSpec kNotifyStatus[] = {OutSize(), OutBuffer(0), OutEnum32("dataState")};
inline constexpr ParamSpec kUpdateErrorState[] = {Long("first"), Long("second")};
inline constexpr ParamSpec kSendToApplet[] = {Long("reserved"), Long("inSize"), Bytes("inBytes", 1),
                                              OutSize(), OutBuffer(3)};
inline constexpr ParamSpec kSendToBtDevice[] = {Long("idSize"),      Bytes("deviceId", 0),
                                                Long("inSize"),      Bytes("inBytes", 2),
                                                Long("interactive"), OutSize(),
                                                OutBuffer(5)};
inline constexpr ParamSpec kDeviceOnly[] = {Long("idSize"), Bytes("deviceId", 0)};
inline constexpr ParamSpec kIsRssiSupported[] = {Short("providerType"), RefLong("supported")};
inline constexpr ParamSpec kGetRssi[] = {Long("idSize"), Bytes("deviceId", 0), Long("mustExist"),
                                         RefShort("rssi")};
inline constexpr ParamSpec kGetDeviceStatus[] = {Long("idSize"), Bytes("deviceId", 0), Long("flag"),
                                                 RefLong("status", "enum32")};
inline constexpr ParamSpec kScan[] = {Short("scanType"), OutSize(), OutBuffer(1)};
inline constexpr ParamSpec kUpdateProximity[] = {Long("idSize"), Bytes("deviceId", 0),
                                                 Long("state")};
inline constexpr ParamSpec kOnDesktop[] = {String("userSid"), String("second")};
inline constexpr ParamSpec kDataBackup[] = {Short("mode"), String("user"), Long("dataSize"),
                                            Bytes("data", 2)};
inline constexpr ParamSpec kDiscovery[] = {Short("kind"),     Long("dataSize"), Bytes("data", 1),
                                           String("first"),  String("second"), OutSize(),
                                           OutBuffer(5)};
inline constexpr ParamSpec kDataOnly[] = {Long("dataSize"), Bytes("data", 0)};
inline constexpr ParamSpec kUserRecords[] = {String("userSid"), OutSize(), OutBuffer(1)};
inline constexpr ParamSpec kPhonePresent[] = {Long("idSize"), Bytes("deviceId", 0),
                                              RefLong("present")};
inline constexpr ParamSpec kEnrollment[] = {Long("value"),    String("first"), String("second"),
                                            Long("dataSize"), Bytes("data", 3)};

}  // namespace table

inline constexpr size_t kOperationCount = 24;
// The most parameters any operation has (after the binding handle).
inline constexpr size_t kMaxParams = 8;

inline constexpr std::array<OperationSpec, kOperationCount> kOperations = {{
    {0, "ResetServiceRpc", false, ResultType::kNone, {}},
    {1, "GetSessionIdRpc", false, ResultType::kLong, {}},
    {2, "ReleaseSessionIdRpc", false, ResultType::kNone, table::kReleaseSessionId},
    {3, "NotifyAuthenticateStatusAsyncRpc", true, ResultType::kEnum32, table::kNotifyStatus},
    {4, "UpdateAuthenticationErrorStateRpc", false, ResultType::kNone, table::kUpdateErrorState},
    {5, "SendMessageToAppletRpc", false, ResultType::kAppletCallStatus, table::kSendToApplet},
    {6, "SetBTMockModeRpc", false, ResultType::kNone, {}},
    {7, "SendMessageToBtDeviceRpc", false, ResultType::kBtCallStatus, table::kSendToBtDevice},
    {8, "EstablishConnectionWithBtDeviceRpc", false, ResultType::kBtCallStatus, table::kDeviceOnly},
    {9, "IsRSSISupportedRpc", false, ResultType::kBtCallStatus, table::kIsRssiSupported},
    {10, "GetRSSIRpc", false, ResultType::kBtCallStatus, table::kGetRssi},
    {11, "CalibrateRSSIRpc", false, ResultType::kBtCallStatus, table::kDeviceOnly},
    {12, "GetDeviceStatusRpc", false, ResultType::kBtCallStatus, table::kGetDeviceStatus},
    {13, "ScanRpc", false, ResultType::kBtCallStatus, table::kScan},
    {14, "UpdateProximityStateRpc", false, ResultType::kNone, table::kUpdateProximity},
    {15, "AuthenticationOnDesktopRpc", false, ResultType::kLong, table::kOnDesktop},
    {16, "TriggerDataBackupRpc", false, ResultType::kLong, table::kDataBackup},
    {17, "GetDiscoveryInfoRpc", false, ResultType::kLong, table::kDiscovery},
    {18, "MirrorFactorSupportedStatusRpc", false, ResultType::kLong, table::kDataOnly},
    {19, "GetUserRecordsRpc", false, ResultType::kLong, table::kUserRecords},
    {20, "IsPhonePresentRpc", false, ResultType::kBtCallStatus, table::kPhonePresent},
    {21, "SetUserPresenceRpc", false, ResultType::kLong, table::kDataOnly},
    {22, "InitializeSessionRpc", false, ResultType::kNone, {}},
    {23, "RunEnrollmentFlowRpc", false, ResultType::kLong, table::kEnrollment},
}};

// The operation with that name, or nullptr.
constexpr const OperationSpec* FindOperation(std::string_view name) {
  for (const OperationSpec& op : kOperations) {
    if (op.name == name) return &op;
  }
  return nullptr;
}

// How the interface writes a result type ("none", "long", "enum16 AppletCallStatus", ...).
constexpr std::string_view ResultTypeName(ResultType type) {
  switch (type) {
    case ResultType::kNone: return "none";
    case ResultType::kLong: return "long";
    case ResultType::kAppletCallStatus: return "enum16 AppletCallStatus";
    case ResultType::kBtCallStatus: return "enum16 BtCallStatus";
    case ResultType::kEnum32: return "enum32";
  }
  return "?";
}

// Whether a table is well formed: numbers in order, sizes pointing at an earlier long (or
// size), in/out pairs adjacent. Checked at compile time below (and for the callback table).
constexpr bool TableIsConsistent(std::span<const OperationSpec> operations = kOperations) {
  for (size_t n = 0; n < operations.size(); ++n) {
    const OperationSpec& op = operations[n];
    if (op.number != n || op.params.size() > kMaxParams) return false;
    for (size_t i = 0; i < op.params.size(); ++i) {
      const ParamSpec& p = op.params[i];
      const bool sized = p.wire == Wire::kBytes || p.wire == Wire::kBuffer;
      if (sized != (p.sizedBy >= 0)) return false;
      if (!sized) continue;
      if (p.sizedBy >= static_cast<int>(i)) return false;
      const ParamSpec& size = op.params[static_cast<size_t>(p.sizedBy)];
      if (p.wire == Wire::kBytes && (size.wire != Wire::kLong || size.direction != Direction::kIn)) {
        return false;
      }
      if (p.wire == Wire::kBuffer && (size.wire != Wire::kSize || p.sizedBy + 1 != static_cast<int>(i))) {
        return false;
      }
    }
  }
  return true;
}
static_assert(TableIsConsistent());

}  // namespace rpc
