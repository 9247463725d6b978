#include "tlv/message.h"

namespace mfab {

void Message::Deserialize(const uint8_t* begin, const uint8_t* end) {
  const TlvIndex index = ParseTlv(begin, end);
  moduleId = static_cast<uint32_t>(TlvToInt(GetTlv(index, kTagModuleId)));
  category = static_cast<uint32_t>(TlvToInt(GetTlv(index, kTagCategory)));
  messageType = static_cast<uint32_t>(TlvToInt(GetTlv(index, kTagMessageType)));
  payload = TlvToBytes(GetTlv(index, kTagPayload));
  sessionId = static_cast<uint32_t>(TlvToInt(GetTlv(index, kTagSessionId)));
  metadata.reset();
  if (HasTlv(index, kTagMetadata)) {
    metadata = std::make_shared<Bytes>(TlvToBytes(GetTlv(index, kTagMetadata)));
  }
  isResponse = HasTlv(index, kTagIsResponse) && TlvToInt(GetTlv(index, kTagIsResponse)) != 0;
}

Bytes Message::Serialize() const {
  Bytes out;
  out.reserve(44 + payload.size() + (metadata ? metadata->size() + 4 : 0));
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
