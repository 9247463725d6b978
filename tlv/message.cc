#include "tlv/message.h"

#include <iterator>

namespace mfab {
namespace {

// The envelope's items in write order; the in-order walk expects exactly these, with 0x0004 and
// 0x0007 optional.
constexpr uint16_t kWriteOrder[] = {Message::kTagModuleId, Message::kTagMessageType,
                                    Message::kTagCategory, Message::kTagPayload,
                                    Message::kTagMetadata, Message::kTagIsResponse,
                                    Message::kTagSessionId};
constexpr size_t kFields = std::size(kWriteOrder);
// The inverse of kWriteOrder for the envelope's tags (0x0005 and 0x0006 are not its fields).
constexpr uint8_t kPositionOfTag[] = {0, 1, 3, 2, 4, 0xFF, 0xFF, 5, 6};
static_assert([] {
  for (size_t i = 0; i < kFields; ++i) {
    if (kPositionOfTag[kWriteOrder[i]] != i) return false;
  }
  return true;
}());

bool IsOptional(uint16_t tag) {
  return tag == Message::kTagMetadata || tag == Message::kTagIsResponse;
}

// Sets items[i] to the item of kWriteOrder[i] (null for an absent optional one) when the buffer is
// well formed and holds the envelope's items in write order and nothing else.
bool MatchInOrder(const uint8_t* begin, const uint8_t* end, const uint8_t** items) {
  size_t next = 0;
  for (const uint8_t* cursor = begin; cursor != end; cursor = TlvNext(cursor)) {
    const size_t remaining = static_cast<size_t>(end - cursor);
    if (remaining < kTlvHeaderSize || TlvLength(cursor) > remaining - kTlvHeaderSize) return false;
    const uint16_t tag = TlvTag(cursor);
    while (next < kFields && kWriteOrder[next] != tag && IsOptional(kWriteOrder[next])) {
      items[next++] = nullptr;
    }
    if (next == kFields || kWriteOrder[next] != tag) return false;
    items[next++] = cursor;
  }
  for (; next < kFields; ++next) {
    if (!IsOptional(kWriteOrder[next])) return false;
    items[next] = nullptr;
  }
  return true;
}

uint32_t ReadUint(const uint8_t* item) { return static_cast<uint32_t>(TlvToInt(item)); }

// Fills the view taking each item from itemOf(tag) (null for an absent optional one) in the order
// the envelope has always been read, so a buffer with several faults reports the same one.
template <class ItemOf>
MessageView Fill(const ItemOf& itemOf) {
  MessageView view;
  view.moduleId = ReadUint(itemOf(Message::kTagModuleId));
  view.category = ReadUint(itemOf(Message::kTagCategory));
  view.messageType = ReadUint(itemOf(Message::kTagMessageType));
  view.payload = TlvValue(itemOf(Message::kTagPayload));
  view.sessionId = ReadUint(itemOf(Message::kTagSessionId));
  if (const uint8_t* item = itemOf(Message::kTagMetadata)) view.metadata = TlvValue(item);
  const uint8_t* isResponse = itemOf(Message::kTagIsResponse);
  view.isResponse = isResponse != nullptr && TlvToInt(isResponse) != 0;
  return view;
}

// The small items are put together on the stack and appended as runs between the two byte
// arrays: five appends instead of two per item.
Bytes Write(const MessageView& m) {
  constexpr size_t kIntItem = kTlvHeaderSize + 4;
  const uint16_t payloadLength = CheckedTlvLength(m.payload.size());
  const uint16_t metadataLength = m.metadata ? CheckedTlvLength(m.metadata->size()) : 0;
  uint8_t head[3 * kIntItem + kTlvHeaderSize];
  uint8_t* p = PutTlvUint(head, Message::kTagModuleId, m.moduleId);
  p = PutTlvUint(p, Message::kTagMessageType, m.messageType);
  p = PutTlvUint(p, Message::kTagCategory, m.category);
  PutTlvHeader(p, Message::kTagPayload, payloadLength);
  uint8_t metadataHeader[kTlvHeaderSize];
  PutTlvHeader(metadataHeader, Message::kTagMetadata, metadataLength);
  uint8_t tail[2 * kIntItem];
  PutTlvUint(PutTlvUint(tail, Message::kTagIsResponse, m.isResponse ? 1 : 0),
             Message::kTagSessionId, m.sessionId);

  Bytes out;
  out.reserve(sizeof(head) + payloadLength +
              (m.metadata ? sizeof(metadataHeader) + metadataLength : 0) + sizeof(tail));
  out.insert(out.end(), std::begin(head), std::end(head));
  out.insert(out.end(), m.payload.begin(), m.payload.end());
  if (m.metadata) {
    out.insert(out.end(), std::begin(metadataHeader), std::end(metadataHeader));
    out.insert(out.end(), m.metadata->begin(), m.metadata->end());
  }
  out.insert(out.end(), std::begin(tail), std::end(tail));
  return out;
}

}  // namespace

MessageView MessageView::Parse(std::span<const uint8_t> bytes) {
  const uint8_t* const begin = bytes.data();
  const uint8_t* const end = begin + bytes.size();
  const uint8_t* items[kFields];
  if (MatchInOrder(begin, end, items)) {
    return Fill([&](uint16_t tag) { return items[kPositionOfTag[tag]]; });
  }
  const TlvIndex index = ParseTlv(begin, end);
  return Fill([&](uint16_t tag) { return IsOptional(tag) ? index.Find(tag) : GetTlv(index, tag); });
}

Bytes MessageView::Serialize() const { return Write(*this); }

void Message::Deserialize(const uint8_t* begin, const uint8_t* end) {
  const MessageView view = MessageView::Parse({begin, end});
  // The payload and metadata may be views into this message's own buffers: copy before assigning.
  Bytes newPayload(view.payload.begin(), view.payload.end());
  std::shared_ptr<Bytes> newMetadata;
  if (view.metadata) newMetadata = std::make_shared<Bytes>(view.metadata->begin(), view.metadata->end());
  moduleId = view.moduleId;
  messageType = view.messageType;
  category = view.category;
  payload = std::move(newPayload);
  metadata = std::move(newMetadata);
  isResponse = view.isResponse;
  sessionId = view.sessionId;
}

Bytes Message::Serialize() const { return Write(View()); }

MessageView Message::View() const {
  MessageView view;
  view.moduleId = moduleId;
  view.messageType = messageType;
  view.category = category;
  view.payload = payload;
  if (metadata) view.metadata = std::span<const uint8_t>(*metadata);
  view.isResponse = isResponse;
  view.sessionId = sessionId;
  return view;
}

}  // namespace mfab
