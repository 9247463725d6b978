#include "tlv/message.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <stdexcept>
#include <string>

#include "tlv/metadata.h"

namespace mfab {
namespace {

using ::testing::StrEq;
using ::testing::ThrowsMessage;

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

// The tags of the top-level items of a serialized envelope.
std::vector<uint16_t> Tags(const Bytes& wire) {
  std::vector<uint16_t> tags;
  for (const uint8_t* item = wire.data(); item != wire.data() + wire.size(); item = TlvNext(item))
    tags.push_back(TlvTag(item));
  return tags;
}

// Drops the top-level items with this tag from a serialized envelope.
Bytes Without(const Bytes& wire, uint16_t tag) {
  Bytes out;
  for (const uint8_t* item = wire.data(); item != wire.data() + wire.size(); item = TlvNext(item))
    if (TlvTag(item) != tag) out.insert(out.end(), item, TlvNext(item));
  return out;
}

TEST(MessageTest, DefaultMessageIsTheFortyFourByteEnvelope) {
  const Bytes expected = {
      0x00, 0x00, 0x00, 0x04, 0xFF, 0xFF, 0xFF, 0xFF,  // moduleId
      0x00, 0x01, 0x00, 0x04, 0xAB, 0xBA, 0xFF, 0xFF,  // messageType
      0x00, 0x03, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00,  // category
      0x00, 0x02, 0x00, 0x00,                          // payload
      0x00, 0x07, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00,  // isResponse
      0x00, 0x08, 0x00, 0x04, 0xFF, 0xFF, 0xFF, 0xFF,  // sessionId
  };
  EXPECT_EQ(Message().Serialize(), expected);
}

TEST(MessageTest, RoundTripsEveryFieldWithMetadataBeforeIsResponse) {
  const Message sent = ReplyWithMetadata();
  const Bytes wire = sent.Serialize();
  EXPECT_EQ(Tags(wire),
            (std::vector<uint16_t>{0x0000, 0x0001, 0x0003, 0x0002, 0x0004, 0x0007, 0x0008}));
  const Message read = Message::Parse(wire);
  EXPECT_EQ(read.moduleId, 5u);
  EXPECT_EQ(read.messageType, message_type::kSaveRequest);
  EXPECT_EQ(read.category, 1u);
  EXPECT_EQ(read.payload, sent.payload);
  ASSERT_TRUE(read.metadata);
  EXPECT_EQ(*read.metadata, *sent.metadata);
  EXPECT_TRUE(read.isResponse);
  EXPECT_EQ(read.sessionId, 7u);
  EXPECT_EQ(read.Serialize(), wire);
}

TEST(MessageTest, AbsentMetadataAndIsResponseTakeTheirDefaultsAndTheRestIsRequired) {
  const Bytes wire = ReplyWithMetadata().Serialize();
  Message read = ReplyWithMetadata();  // filled, so the defaults must come from the reading
  read.Deserialize(Without(Without(wire, 0x0004), 0x0007));
  EXPECT_FALSE(read.metadata);
  EXPECT_FALSE(read.isResponse);
  for (const uint16_t tag : {0x0000, 0x0001, 0x0002, 0x0003, 0x0008}) {
    char expected[48];
    std::snprintf(expected, sizeof(expected), "Requested TLV (0x%04x) not found.", tag);
    EXPECT_THAT([&] { Message::Parse(Without(wire, tag)); },
                ThrowsMessage<TlvException>(StrEq(expected)));
  }
}

TEST(MessageTest, TrailingStoredDataBlockIsNeitherReadNorWritten) {
  Bytes wire = ReplyWithMetadata().Serialize();
  const Bytes envelope = wire;
  AppendTlv(wire, Message::kTagPiggyBack, Bytes{0x7B, 0xAC, 0x00, 0x00});
  EXPECT_EQ(Message::Parse(wire).Serialize(), envelope);
}

TEST(MessageTest, PayloadOf32767BytesIsTheLargest) {
  Message message;
  message.payload.assign(32767, 0x5A);
  EXPECT_EQ(Message::Parse(message.Serialize()).payload.size(), 32767u);
  message.payload.push_back(0);
  EXPECT_THAT([&] { message.Serialize(); },
              ThrowsMessage<std::overflow_error>(
                  StrEq("Error converting value 32768 to unsigned short (max value: 32767).")));
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
