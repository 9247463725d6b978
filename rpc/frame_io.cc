#include "rpc/frame_io.h"

#include <algorithm>
#include <cstring>
#include <system_error>

namespace rpc {
namespace {

// Room for any small frame and a few more behind it.
constexpr size_t kInitialBuffer = 4096;
// A buffer grown past this for one large frame is given back afterwards.
constexpr size_t kKeptBuffer = 256 * 1024;

}  // namespace

bool FrameReader::Fill(platform::UnixStream& stream, size_t n, std::chrono::milliseconds limit,
                       std::optional<platform::Deadline>& deadline) {
  if (buffer.size() - start < n) {
    // Move what is left to the front and grow to hold the whole frame.
    std::memmove(buffer.data(), buffer.data() + start, end - start);
    end -= start;
    start = 0;
    if (buffer.size() < n) buffer.resize(std::max(n, kInitialBuffer));
  }
  while (end - start < n) {
    std::span<uint8_t> free(buffer.data() + end, buffer.size() - end);
    const std::optional<size_t> got = stream.TryReceive(free);
    if (!got) {
      // The frame's limit starts with its first byte; most frames come whole in one read.
      if (!deadline) deadline = platform::DeadlineAfter(limit);
      if (!stream.WaitReadable(*deadline)) {
        throw std::system_error(ETIMEDOUT, std::generic_category(), "frame");
      }
      continue;
    }
    if (*got == 0) return false;
    end += *got;
  }
  return true;
}

FrameReader::Status FrameReader::Next(platform::UnixStream& stream,
                                      platform::Deadline idleDeadline,
                                      std::chrono::milliseconds frameLimit, uint32_t maxPayload,
                                      FrameHeader& header, std::span<const uint8_t>& payload) {
  if (buffer.empty()) buffer.resize(kInitialBuffer);
  if (start == end) {
    start = end = 0;
    if (!stream.WaitReadable(idleDeadline)) return Status::kIdle;
  }
  std::optional<platform::Deadline> frameDeadline;
  try {
    if (!Fill(stream, kFrameHeaderSize, frameLimit, frameDeadline)) {
      return end == start ? Status::kClosed : Status::kTruncated;
    }
    header = DecodeHeader(buffer.data() + start);
    if (header.magic != kFrameMagic) return Status::kBadMagic;
    if (header.version != kProtocolVersion) return Status::kBadVersion;
    if (header.length > maxPayload) return Status::kTooLarge;
    const size_t frameSize = kFrameHeaderSize + header.length;
    if (!Fill(stream, frameSize, frameLimit, frameDeadline)) return Status::kTruncated;
    payload = std::span<const uint8_t>(buffer.data() + start + kFrameHeaderSize, header.length);
    start += frameSize;
    return Status::kFrame;
  } catch (const std::system_error& e) {
    if (e.code().value() == ETIMEDOUT) return Status::kTimedOut;
    throw;
  }
}

void FrameReader::Trim() {
  if (buffer.size() <= kKeptBuffer || end - start > kInitialBuffer) return;
  std::vector<uint8_t> smaller(kInitialBuffer);
  std::memcpy(smaller.data(), buffer.data() + start, end - start);
  end -= start;
  start = 0;
  buffer.swap(smaller);
}

FrameAssembler::Status FrameAssembler::Check(uint32_t maxPayload, FrameHeader& header) const {
  if (end - start < kFrameHeaderSize) return Status::kNeedMore;
  header = DecodeHeader(buffer.data() + start);
  if (header.magic != kFrameMagic) return Status::kBadMagic;
  if (header.version != kProtocolVersion) return Status::kBadVersion;
  if (header.length > maxPayload) return Status::kTooLarge;
  return end - start >= kFrameHeaderSize + header.length ? Status::kFrame : Status::kNeedMore;
}

FrameAssembler::Status FrameAssembler::Buffered(uint32_t maxPayload, FrameHeader& header,
                                                std::span<const uint8_t>& payload) {
  const Status status = Check(maxPayload, header);
  if (status == Status::kFrame) {
    frameSize = kFrameHeaderSize + header.length;
    payload = std::span<const uint8_t>(buffer.data() + start + kFrameHeaderSize, header.length);
  }
  return status;
}

FrameAssembler::Status FrameAssembler::Next(platform::UnixStream& stream, uint32_t maxPayload,
                                            const Grow& grow, FrameHeader& header,
                                            std::span<const uint8_t>& payload) {
  for (;;) {
    const Status status = Buffered(maxPayload, header, payload);
    if (status != Status::kNeedMore) return status;

    // Before a frame's header is known, a small buffer's worth is read, which holds most frames
    // whole. A buffer grows only once it is full, doubling up to the frame's size, so it never
    // holds more than about twice what arrived.
    const size_t held = end - start;
    const size_t wanted =
        held < kFrameHeaderSize ? kInitialBuffer : kFrameHeaderSize + size_t{header.length};
    if (end == buffer.size()) {
      if (start > 0) {
        std::memmove(buffer.data(), buffer.data() + start, held);
        end = held;
        start = 0;
      }
      if (end == buffer.size()) {
        const size_t target = std::min(std::max(buffer.size() * 2, kInitialBuffer),
                                       std::max(wanted, buffer.size() + 1));
        if (!grow(target - buffer.size())) return Status::kRefused;
        std::vector<uint8_t> larger;
        larger.reserve(target);
        larger.assign(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(end));
        larger.resize(target);
        buffer.swap(larger);
      }
    }
    const std::optional<size_t> got =
        stream.TryReceive(std::span<uint8_t>(buffer.data() + end, buffer.size() - end));
    if (!got) return Status::kNeedMore;
    if (*got == 0) return held == 0 ? Status::kClosed : Status::kTruncated;
    end += *got;
  }
}

void FrameAssembler::Consume() {
  start += frameSize;
  frameSize = 0;
  if (start == end) start = end = 0;
}

size_t FrameAssembler::Release() {
  if (HoldsPart() || buffer.empty()) return 0;
  const size_t freed = buffer.size();
  std::vector<uint8_t>().swap(buffer);
  start = end = 0;
  return freed;
}

void FinishFrame(std::vector<uint8_t>& out, FrameKind kind, uint16_t procedure, uint32_t callId,
                 uint32_t status) {
  FrameHeader header;
  header.kind = static_cast<uint8_t>(kind);
  header.procedure = procedure;
  header.callId = callId;
  header.status = status;
  header.length = static_cast<uint32_t>(out.size() - kFrameHeaderSize);
  EncodeHeader(header, out.data());
}

std::array<uint8_t, kFrameHeaderSize> HeaderOnlyFrame(FrameKind kind, uint16_t procedure,
                                                      uint32_t callId, uint32_t status) {
  std::array<uint8_t, kFrameHeaderSize> frame{};
  FrameHeader header;
  header.kind = static_cast<uint8_t>(kind);
  header.procedure = procedure;
  header.callId = callId;
  header.status = status;
  EncodeHeader(header, frame.data());
  return frame;
}

}  // namespace rpc
