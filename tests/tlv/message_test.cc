// The envelope. Its default 44 bytes and a full save message, byte for byte, are checked by
// keystonectl's tests; the 32767-byte item limit by the codec's.

#include "tlv/message.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tlv/metadata.h"

namespace mfab {
namespace {

Message ReplyWithMetadata() {
  Message message;
  message.moduleId = 5;
  message.messageType = message_type::kSaveRequest;
  message.category = 1;
  message.payload = {0x7B, 0x08, 0x00, 0x04, 0x00, 0x00, 0x00, 0x01};
  MessageMetadata metadata;
  metadata.entries.resize(2);
  metadata.entries[1].text = "second";
  message.metadata = std::make_shared<Bytes>(metadata.Serialize());
  message.isResponse = true;
  message.sessionId = 7;
  return message;
}

// The serialized envelope without its top-level items of this tag; tags, when given, receives
// every item's tag in order.
Bytes Without(const Bytes& wire, int tag, std::vector<uint16_t>* tags = nullptr) {
  Bytes out;
  for (const uint8_t* item = wire.data(); item != wire.data() + wire.size(); item = TlvNext(item)) {
    if (tags) tags->push_back(TlvTag(item));
    if (TlvTag(item) != tag) out.insert(out.end(), item, TlvNext(item));
  }
  return out;
}

TEST(MessageTest, RoundTripsWithMetadataBeforeIsResponseAndDefaultsForAbsentOptionals) {
  const Bytes wire = ReplyWithMetadata().Serialize();
  std::vector<uint16_t> tags;
  Without(wire, -1, &tags);
  EXPECT_EQ(tags, (std::vector<uint16_t>{0x0000, 0x0001, 0x0003, 0x0002, 0x0004, 0x0007, 0x0008}));
  // Every field differs from its default, so reading must have taken each one.
  EXPECT_EQ(Message::Parse(wire).Serialize(), wire);
  // A trailing stored-data block is neither read nor written back.
  Bytes withBlock = wire;
  AppendTlv(withBlock, Message::kTagPiggyBack, Bytes{0x7B, 0xAC, 0x00, 0x00});
  EXPECT_EQ(Message::Parse(withBlock).Serialize(), wire);

  Message filled = ReplyWithMetadata();  // so the defaults must come from the reading
  filled.Deserialize(Without(Without(wire, 0x0004), 0x0007));
  EXPECT_FALSE(filled.metadata);
  EXPECT_FALSE(filled.isResponse);
  for (const uint16_t tag : {0x0000, 0x0001, 0x0002, 0x0003, 0x0008}) {
    char expected[48];
    std::snprintf(expected, sizeof(expected), "Requested TLV (0x%04x) not found.", tag);
    EXPECT_THAT([&] { Message::Parse(Without(wire, tag)); },
                ::testing::ThrowsMessage<TlvException>(::testing::StrEq(expected)));
  }
}

TEST(MessageTest, TruncatedOverlongAndExtendedEnvelopesAreRefused) {
  const Bytes wire = ReplyWithMetadata().Serialize();
  for (size_t size = 0; size < wire.size(); ++size) {
    const Bytes cut(wire.begin(), wire.begin() + static_cast<ptrdiff_t>(size));
    EXPECT_THROW(Message::Parse(cut), TlvException) << "cut at " << size;
  }
  // Lengthen each item by one in turn: it then overlaps its successor and the last one runs past
  // the end, so the sequence no longer tiles.
  for (size_t offset = 0; offset < wire.size();
       offset += kTlvHeaderSize + TlvLength(&wire[offset])) {
    Bytes bad = wire;
    const uint16_t length = TlvLength(wire.data() + offset) + 1;
    bad[offset + 2] = static_cast<uint8_t>(length >> 8);
    bad[offset + 3] = static_cast<uint8_t>(length);
    EXPECT_THROW(Message::Parse(bad), TlvException) << "item at " << offset;
  }
  Bytes longer = wire;
  longer.push_back(0);
  EXPECT_THROW(Message::Parse(longer), TlvException);
}

}  // namespace
}  // namespace mfab
