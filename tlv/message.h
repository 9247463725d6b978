#pragma once

// The envelope of every buffer exchanged with the applet:
//   0x0000 moduleId (int), 0x0001 messageType (int), 0x0003 category (int),
//   0x0002 payload (bytes), [0x0004 metadata (bytes)], 0x0007 isResponse (bool),
//   0x0008 sessionId (int)
// written in that order. Reading requires all but 0x0004 and 0x0007. A buffer going to the applet
// may carry one more top-level item after these, 0x0006, the stored-data block, which Message
// neither writes nor reads.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "tlv/message_types.h"
#include "tlv/tlv.h"

namespace mfab {

// The envelope read in place: payload and metadata view the buffer it was parsed from, which must
// outlive the view and stay unchanged. For a reader that only looks (the session checking a reply,
// re-logging its metadata); Message is the owning form. Copyable; not thread-safe.
struct MessageView {
  uint32_t moduleId = 0xFFFFFFFF;
  uint32_t messageType = message_type::kUnset;
  uint32_t category = 0;
  std::span<const uint8_t> payload;
  std::optional<std::span<const uint8_t>> metadata;  // absent unless the applet sent it
  bool isResponse = false;
  uint32_t sessionId = 0xFFFFFFFF;

  // Reads a whole buffer; throws TlvException as Message::Parse does.
  static MessageView Parse(std::span<const uint8_t> bytes);
  // The envelope's bytes, in one buffer of exactly their size.
  Bytes Serialize() const;
};

class Message final : public Serializable {
 public:
  static constexpr uint16_t kTagModuleId = 0x0000;
  static constexpr uint16_t kTagMessageType = 0x0001;
  static constexpr uint16_t kTagPayload = 0x0002;
  static constexpr uint16_t kTagCategory = 0x0003;
  static constexpr uint16_t kTagMetadata = 0x0004;
  static constexpr uint16_t kTagStatus = 0x0005;
  static constexpr uint16_t kTagPiggyBack = 0x0006;
  static constexpr uint16_t kTagIsResponse = 0x0007;
  static constexpr uint16_t kTagSessionId = 0x0008;

  uint32_t moduleId = 0xFFFFFFFF;
  uint32_t messageType = message_type::kUnset;
  uint32_t category = 0;
  Bytes payload;
  std::shared_ptr<Bytes> metadata;  // absent unless the applet sent it
  bool isResponse = false;
  uint32_t sessionId = 0xFFFFFFFF;

  // Fills every field from the buffer, or, when it throws TlvException, none.
  using Serializable::Deserialize;
  void Deserialize(const uint8_t* begin, const uint8_t* end) override;
  Bytes Serialize() const override;
  // Views this message's own fields; valid while the message lives unchanged.
  MessageView View() const;

  // Parses a whole buffer; throws TlvException.
  static Message Parse(std::span<const uint8_t> bytes) {
    Message m;
    m.Deserialize(bytes);
    return m;
  }
};

}  // namespace mfab
