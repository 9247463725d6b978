#include "tlv/message.h"

namespace mfab {

void Message::Deserialize(const uint8_t* begin, const uint8_t* end) {
  const TlvIndex index = ParseTlv(begin, end);
  moduleId = static_cast<uint32_t>(TlvToInt(GetTlv(index, kTagModuleId)));
  category = static_cast<uint32_t>(TlvToInt(GetTlv(index, kTagCategory)));
  messageType = static_cast<uint32_t>(TlvToInt(GetTlv(index, kTagMessageType)));
  const uint8_t* payloadItem = GetTlv(index, kTagPayload);
  payload.assign(TlvValueBegin(payloadItem), TlvValueEnd(payloadItem));
  sessionId = static_cast<uint32_t>(TlvToInt(GetTlv(index, kTagSessionId)));
  metadata.reset();
  if (const uint8_t* item = index.Find(kTagMetadata)) {
    metadata = std::make_shared<Bytes>(TlvValueBegin(item), TlvValueEnd(item));
  }
  const uint8_t* isResponseItem = index.Find(kTagIsResponse);
  isResponse = isResponseItem != nullptr && TlvToInt(isResponseItem) != 0;
}

Bytes Message::Serialize() const {
  // Five ints of 8 bytes each and the payload's header: the exact size with the two byte arrays.
  constexpr size_t kFixedSize = 5 * (kTlvHeaderSize + 4) + kTlvHeaderSize;
  Bytes out;
  out.reserve(kFixedSize + payload.size() + (metadata ? kTlvHeaderSize + metadata->size() : 0));
  AppendTlvUint(out, kTagModuleId, moduleId);
  AppendTlvUint(out, kTagMessageType, messageType);
  AppendTlvUint(out, kTagCategory, category);
  AppendTlv(out, kTagPayload, payload);
  if (metadata) AppendTlv(out, kTagMetadata, *metadata);
  AppendTlvBool(out, kTagIsResponse, isResponse);
  AppendTlvUint(out, kTagSessionId, sessionId);
  return out;
}

}  // namespace mfab
