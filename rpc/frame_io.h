#pragma once

// Reading and writing whole frames of the protocol (rpc/protocol.h) on a stream.

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
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
  // Reads until n bytes are buffered; false when the peer closed first. The deadline is set
  // (limit from now) the first time a read has to wait. Throws std::system_error (ETIMEDOUT at
  // the deadline).
  bool Fill(platform::UnixStream& stream, size_t n, std::chrono::milliseconds limit,
            std::optional<platform::Deadline>& deadline);

  std::vector<uint8_t> buffer;
  size_t start = 0;
  size_t end = 0;
};

// Assembles frames from a non-blocking stream as its bytes arrive: the server's side, where one
// thread reads whatever a connection has and goes on to other work. A frame's header never
// decides how much memory is taken: the buffer grows with the bytes that came (doubling once
// full, at most to the frame's size), and every growth is approved first by the caller (its
// memory budget).
// Not thread-safe: one assembler per connection, used by one thread at a time.
class FrameAssembler {
 public:
  enum class Status {
    kFrame,       // header and payload are set; Consume when done with them
    kNeedMore,    // nothing more to read now
    kClosed,      // the peer closed between frames
    kTruncated,   // the peer closed inside a frame
    kBadMagic,    // not our protocol
    kBadVersion,  // a version we do not speak (header is set)
    kTooLarge,    // announced payload above the limit (header is set)
    kRefused,     // the memory for the next bytes was not approved
  };
  // Approves growing the buffer by that many bytes; false refuses.
  using Grow = std::function<bool(size_t bytes)>;

  // The next complete frame, reading what the stream offers meanwhile. The payload stays valid
  // until Consume or the next call. Throws std::system_error on a failure of the stream.
  Status Next(platform::UnixStream& stream, uint32_t maxPayload, const Grow& grow,
              FrameHeader& header, std::span<const uint8_t>& payload);
  // As Next, without reading: only what is already buffered.
  Status Buffered(uint32_t maxPayload, FrameHeader& header, std::span<const uint8_t>& payload);
  // Drops the frame Next or Buffered returned.
  void Consume();
  // Whether part of a frame is held.
  bool HoldsPart() const { return end > start; }
  // Bytes of memory held.
  size_t Held() const { return buffer.size(); }
  // Gives back the memory when nothing is held; returns the bytes freed.
  size_t Release();

 private:
  // Validates the buffered header, if there is one: kFrame when the whole frame is here,
  // kNeedMore when more is to come, or the header's fault.
  Status Check(uint32_t maxPayload, FrameHeader& header) const;

  std::vector<uint8_t> buffer;
  size_t start = 0;
  size_t end = 0;
  size_t frameSize = 0;  // of the frame Next returned
};

// Builds a frame in out: the header with the payload length taken from out's size. The payload
// must already follow the first kFrameHeaderSize bytes.
void FinishFrame(std::vector<uint8_t>& out, FrameKind kind, uint16_t procedure, uint32_t callId,
                 uint32_t status = 0);

// A frame of only a header.
std::array<uint8_t, kFrameHeaderSize> HeaderOnlyFrame(FrameKind kind, uint16_t procedure,
                                                      uint32_t callId, uint32_t status);

}  // namespace rpc
