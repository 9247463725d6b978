#pragma once

// Reading and writing whole frames of the protocol (rpc/protocol.h) on a stream.

#include <chrono>
#include <cstdint>
#include <span>
#include <vector>

#include "platform/unix_socket.h"
#include "rpc/protocol.h"

namespace rpc {

// Splits the bytes of one stream into frames. Reads as much as the stream offers at once, so a
// small frame costs one read. Not thread-safe: one reader per stream.
class FrameReader {
 public:
  enum class Status {
    kFrame,       // header and payload are set
    kClosed,      // the peer closed between frames
    kIdle,        // nothing arrived before the idle deadline
    kTruncated,   // the peer closed inside a frame
    kTimedOut,    // a started frame did not complete within the frame limit
    kBadMagic,    // not our protocol
    kBadVersion,  // a version we do not speak (header is set)
    kTooLarge,    // announced payload above the limit (header is set)
  };

  // Waits until idleDeadline for a frame to start, then until frameLimit after that for the
  // rest. The payload stays valid until the next call. Throws std::system_error on a failure
  // of the stream itself.
  Status Next(platform::UnixStream& stream, platform::Deadline idleDeadline,
              std::chrono::milliseconds frameLimit, uint32_t maxPayload, FrameHeader& header,
              std::span<const uint8_t>& payload);

  // Whether bytes of a next frame are already buffered.
  bool HasBuffered() const { return end > start; }
  // Gives back memory kept from a large frame.
  void Trim();

 private:
  // Reads until n bytes are buffered; false when the peer closed first. Throws
  // std::system_error (ETIMEDOUT at the deadline).
  bool Fill(platform::UnixStream& stream, size_t n, platform::Deadline deadline);

  std::vector<uint8_t> buffer;
  size_t start = 0;
  size_t end = 0;
};

// Builds a frame in out: the header with the payload length taken from out's size. The payload
// must already follow the first kFrameHeaderSize bytes.
void FinishFrame(std::vector<uint8_t>& out, FrameKind kind, uint16_t procedure, uint32_t callId,
                 uint32_t status = 0);

// A frame of only a header.
std::array<uint8_t, kFrameHeaderSize> HeaderOnlyFrame(FrameKind kind, uint16_t procedure,
                                                      uint32_t callId, uint32_t status);

}  // namespace rpc
