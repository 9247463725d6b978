#include "rpc/protocol.h"

#include <algorithm>
#include <cstring>

#include "platform/paths.h"

namespace rpc {
namespace {

uint16_t LoadU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t LoadU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void StoreU16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

void StoreU32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

}  // namespace

void EncodeHeader(const FrameHeader& header, uint8_t* out) {
  StoreU32(out, header.magic);
  out[4] = header.version;
  out[5] = header.kind;
  StoreU16(out + 6, header.procedure);
  StoreU32(out + 8, header.callId);
  StoreU32(out + 12, header.status);
  StoreU32(out + 16, header.length);
}

FrameHeader DecodeHeader(const uint8_t* in) {
  FrameHeader header;
  header.magic = LoadU32(in);
  header.version = in[4];
  header.kind = in[5];
  header.procedure = LoadU16(in + 6);
  header.callId = LoadU32(in + 8);
  header.status = LoadU32(in + 12);
  header.length = LoadU32(in + 16);
  return header;
}

void ByteWriter::U8(uint8_t value) {
  const size_t at = out.size();
  out.resize(at + 1);
  out[at] = value;
}

void ByteWriter::U16(uint16_t value) {
  const size_t at = out.size();
  out.resize(at + 2);
  StoreU16(out.data() + at, value);
}

void ByteWriter::U32(uint32_t value) {
  const size_t at = out.size();
  out.resize(at + 4);
  StoreU32(out.data() + at, value);
}

void ByteWriter::Bytes(const uint8_t* data, size_t size) {
  if (size == 0) return;
  const size_t at = out.size();
  out.resize(at + size);
  std::memcpy(out.data() + at, data, size);
}

uint8_t ByteReader::U8() { return Take(1)[0]; }
uint16_t ByteReader::U16() { return LoadU16(Take(2).data()); }
uint32_t ByteReader::U32() { return LoadU32(Take(4).data()); }

bool ByteReader::Flag() {
  const uint8_t value = U8();
  if (value > 1) throw MarshalError("presence flag is neither 0 nor 1");
  return value == 1;
}

std::span<const uint8_t> ByteReader::Take(size_t size) {
  if (size > Remaining()) throw MarshalError("parameters end early");
  std::span<const uint8_t> part = in.subspan(position, size);
  position += size;
  return part;
}

void ByteReader::ExpectEnd() const {
  if (Remaining() != 0) throw MarshalError("bytes left after the last parameter");
}

std::string DefaultEndpointPath() {
  return platform::RuntimeDirectory() + "/" + std::string(kEndpointName);
}

std::string ClientEndpointPath() {
  return platform::ClientRuntimeDirectory() + "/" + std::string(kEndpointName);
}

platform::UnixStream ConnectToTrustedPeer(const std::string& path,
                                          const std::vector<uint32_t>& owners) {
  return ConnectToTrustedPeer(path, owners, platform::kNoDeadline);
}

platform::UnixStream ConnectToTrustedPeer(const std::string& path,
                                          const std::vector<uint32_t>& owners,
                                          platform::Deadline deadline) {
  if (const std::string problem = platform::UntrustedSocketDirectory(path, owners);
      !problem.empty()) {
    throw UntrustedPeerError(problem);
  }
  platform::UnixStream stream = deadline == platform::kNoDeadline
                                    ? platform::UnixStream::Connect(path)
                                    : platform::UnixStream::Connect(path, deadline);
  const platform::PeerCredentials peer = stream.Credentials();
  if (std::find(owners.begin(), owners.end(), peer.uid) == owners.end()) {
    throw UntrustedPeerError("the process listening at " + path + " runs as uid " +
                             std::to_string(peer.uid));
  }
  return stream;
}

std::string CallbackDirectory(const std::string& runtimeDirectory) {
  return runtimeDirectory + "/" + std::string(kCallbackDirectoryName);
}

std::string CallbackEndpointPath(const std::string& runtimeDirectory, uint32_t uid,
                                 uint32_t endpointNumber) {
  return CallbackDirectory(runtimeDirectory) + "/" + std::to_string(uid) + "/" +
         std::string(kCallbackEndpointPrefix) + std::to_string(endpointNumber);
}

std::string CallbackEndpointPath(uint32_t uid, uint32_t endpointNumber) {
  return CallbackEndpointPath(platform::RuntimeDirectory(), uid, endpointNumber);
}

std::string ClientCallbackEndpointPath(uint32_t endpointNumber) {
  return CallbackEndpointPath(platform::ClientRuntimeDirectory(), platform::CurrentUserId(),
                              endpointNumber);
}

std::string_view TransportStatusText(uint32_t status) {
  switch (status) {
    case kStatusTimeout: return "the call timed out";
    case kStatusNotListening: return "the server is stopping";
    case kStatusUnknownVersion: return "protocol version not supported by the server";
    case kStatusServerUnavailable: return "the server is unavailable";
    case kStatusServerTooBusy: return "the server is too busy";
    case kStatusCallFailed: return "the call failed";
    case kStatusProtocolError: return "protocol error";
    case kStatusProcedureOutOfRange: return "unknown procedure";
    case kStatusNullReference: return "a string argument is null";
    case kStatusBadStubData: return "bad arguments";
    case kStatusUntrustedServer: return "the endpoint is not the engine's";
    default: return "transport failure";
  }
}

}  // namespace rpc
