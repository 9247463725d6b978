#pragma once

// The client RPC wire protocol (docs/rpc-protocol.md). Every message is one frame:
//
//   offset size  field
//   0      4     magic "KSRP" (bytes 0x4B 0x53 0x52 0x50)
//   4      1     protocol version (1)
//   5      1     kind: 1 request, 2 reply, 3 cancel, 4 fault
//   6      2     procedure number (request and reply; 0 otherwise)
//   8      4     call id, chosen by the client, echoed by the server (0: the connection itself)
//   12     4     status (fault: the transport status; 0 otherwise)
//   16     4     payload length, at most kMaxFramePayload
//   20     ...   payload (request: the in parameters; reply: the result and the out parameters)
//
// All integers are little-endian. A connection carries one call at a time; while the
// asynchronous call is open the client may send only a cancel frame for it.

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/unix_socket.h"

namespace rpc {

inline constexpr uint32_t kFrameMagic = 0x5052534B;  // "KSRP" in byte order
inline constexpr uint8_t kProtocolVersion = 1;
inline constexpr size_t kFrameHeaderSize = 20;
// Largest payload of any frame; a longer announced length closes the connection.
inline constexpr uint32_t kMaxFramePayload = 4u * 1024 * 1024;
// Largest capacity of an output buffer (an in/out size with a buffer), so that any reply fits
// in one frame.
inline constexpr int32_t kMaxOutputCapacity = 2 * 1024 * 1024;

// The endpoint name of the interface and the prefix of a client's callback endpoint.
inline constexpr std::string_view kEndpointName = "IVoxWithMfa";
inline constexpr std::string_view kCallbackEndpointPrefix = "Server2Client_";

enum class FrameKind : uint8_t { kRequest = 1, kReply = 2, kCancel = 3, kFault = 4 };

// Transport statuses, in fault frames and in TransportError. Their numbers are those of the
// corresponding failures of the platform's RPC run time, so both implementations agree.
inline constexpr uint32_t kStatusTimeout = 1460;             // a call outlived its limit
inline constexpr uint32_t kStatusNotListening = 1715;        // the server is stopping
inline constexpr uint32_t kStatusUnknownVersion = 1717;      // protocol version not spoken
inline constexpr uint32_t kStatusServerUnavailable = 1722;   // nobody listens on the endpoint
inline constexpr uint32_t kStatusServerTooBusy = 1723;       // the call limit is reached
inline constexpr uint32_t kStatusCallFailed = 1726;          // the connection broke during the call
inline constexpr uint32_t kStatusProtocolError = 1728;       // malformed, oversized or truncated frame
inline constexpr uint32_t kStatusProcedureOutOfRange = 1745; // unknown procedure number
inline constexpr uint32_t kStatusNullReference = 1780;       // a string was null
inline constexpr uint32_t kStatusBadStubData = 1783;         // parameters that do not decode
inline constexpr uint32_t kStatusUntrustedServer = 5;        // the endpoint is not the engine's

// The asynchronous call's cancel test: the call stands / the client cancelled it (or went away).
// While the server stops, the test returns kStatusNotListening.
inline constexpr int32_t kCallNotCancelled = 1791;
inline constexpr int32_t kCallCancelled = 0;

struct FrameHeader {
  uint32_t magic = kFrameMagic;
  uint8_t version = kProtocolVersion;
  uint8_t kind = 0;
  uint16_t procedure = 0;
  uint32_t callId = 0;
  uint32_t status = 0;
  uint32_t length = 0;
};

void EncodeHeader(const FrameHeader& header, uint8_t* out);
FrameHeader DecodeHeader(const uint8_t* in);

// Parameters that cannot be encoded or decoded; status is kStatusBadStubData or
// kStatusNullReference. The server answers it in a fault frame; the client throws it on.
class MarshalError : public std::runtime_error {
 public:
  explicit MarshalError(const std::string& text, uint32_t statusCode = kStatusBadStubData)
      : std::runtime_error(text), status(statusCode) {}
  uint32_t Status() const { return status; }

 private:
  uint32_t status;
};

// Appends little-endian values to a byte vector.
class ByteWriter {
 public:
  explicit ByteWriter(std::vector<uint8_t>& target) : out(target) {}
  void U8(uint8_t value);
  void U16(uint16_t value);
  void U32(uint32_t value);
  void I16(int16_t value) { U16(static_cast<uint16_t>(value)); }
  void I32(int32_t value) { U32(static_cast<uint32_t>(value)); }
  void Bytes(const uint8_t* data, size_t size);

 private:
  std::vector<uint8_t>& out;
};

// Reads little-endian values from a span; every read is checked against what remains and
// throws MarshalError past the end.
class ByteReader {
 public:
  explicit ByteReader(std::span<const uint8_t> source) : in(source) {}
  uint8_t U8();
  uint16_t U16();
  uint32_t U32();
  int16_t I16() { return static_cast<int16_t>(U16()); }
  int32_t I32() { return static_cast<int32_t>(U32()); }
  // A presence flag: 0 or 1, anything else is malformed.
  bool Flag();
  // The next size bytes, in place.
  std::span<const uint8_t> Take(size_t size);
  size_t Remaining() const { return in.size() - position; }
  // Throws unless every byte was read.
  void ExpectEnd() const;

 private:
  std::span<const uint8_t> in;
  size_t position = 0;
};

// Path of the interface's endpoint where the engine listens (its runtime directory) and where
// clients look for it (the system engine's, whatever user they run as).
std::string DefaultEndpointPath();
std::string ClientEndpointPath();

// Callback endpoints live in <runtime directory>/callbacks/<uid>/Server2Client_<N>. The engine
// creates callbacks/ with mode 1733 (anyone may add a directory, nobody may list, remove or
// rename another's); each user makes its own <uid>/ with mode 0700. The engine calls a socket
// there only when the directory and the listening process both belong to that uid, so a name
// another user squats can at worst keep that user's own callbacks from working.
inline constexpr std::string_view kCallbackDirectoryName = "callbacks";
inline constexpr unsigned kCallbackDirectoryMode = 01733;
inline constexpr unsigned kUserCallbackDirectoryMode = 0700;
std::string CallbackDirectory(const std::string& runtimeDirectory);
std::string CallbackEndpointPath(const std::string& runtimeDirectory, uint32_t uid,
                                 uint32_t endpointNumber);
// The engine's view: in its own runtime directory.
std::string CallbackEndpointPath(uint32_t uid, uint32_t endpointNumber);
// A client's view: in the system engine's runtime directory, for this process's user.
std::string ClientCallbackEndpointPath(uint32_t endpointNumber);

// A peer that is not who it must be: the socket's directory can be changed by others, or the
// process listening there runs as another user.
class UntrustedPeerError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Connects to the socket at path when its directory and the process listening there belong to
// one of owners (by the credentials the kernel recorded when that process listened). Throws
// UntrustedPeerError, or std::system_error when nothing can be reached there. Clients check the
// engine this way; the engine checks a client's callback endpoint this way before calling it.
platform::UnixStream ConnectToTrustedPeer(const std::string& path,
                                          const std::vector<uint32_t>& owners);
// As above; a listener that does not take the connection before the deadline gives
// std::system_error with ETIMEDOUT.
platform::UnixStream ConnectToTrustedPeer(const std::string& path,
                                          const std::vector<uint32_t>& owners,
                                          platform::Deadline deadline);

// A short English text for a transport status, for messages.
std::string_view TransportStatusText(uint32_t status);

}  // namespace rpc
