// TLV items and the message envelope built of them.

#include "tlv/tlv.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "tlv/host_messages.h"
#include "tlv/message.h"
#include "tlv/metadata.h"

namespace mfab {
namespace {

using ::testing::StrEq;
using ::testing::ThrowsMessage;

Bytes Item(uint16_t tag, const Bytes& value) {
  Bytes out = {static_cast<uint8_t>(tag >> 8), static_cast<uint8_t>(tag),
               static_cast<uint8_t>(value.size() >> 8), static_cast<uint8_t>(value.size())};
  out.insert(out.end(), value.begin(), value.end());
  return out;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

TEST(TlvCodecTest, ScalarsHaveTheirWidthsAndWrongWidthsAreRefused) {
  // Integers of zero to four bytes are zero-extended.
  const std::pair<Bytes, int32_t> integers[] = {{{}, 0},
                                                {{0x05}, 5},
                                                {{0x01, 0x00}, 256},
                                                {{0xFF, 0xFF, 0xFF}, 0x00FFFFFF},
                                                {{0xFF, 0xFF, 0xFF, 0xFE}, -2},
                                                {{0x80, 0x00, 0x00, 0x00}, INT32_MIN}};
  for (const auto& [value, expected] : integers) {
    EXPECT_EQ(TlvToInt(Item(0x7B08, value).data()), expected) << value.size() << " bytes";
  }
  EXPECT_THAT(
      [&] {
        TlvToInt(Item(0x7B08, {0, 0, 0, 0, 1}).data());
      },
      ThrowsMessage<TlvException>(StrEq("Not an integer value.")));
  for (const size_t size : {0u, 4u, 7u, 9u}) {
    EXPECT_THAT([&] { TlvToTime(Item(0x7B23, Bytes(size, 1)).data()); },
                ThrowsMessage<TlvException>(StrEq("Not an time value.")))
        << size;
  }

  // The writer uses four big-endian bytes for integers and booleans, eight for times, and
  // copies strings raw.
  Bytes out;
  AppendTlvInt(out, 0x7B08, -2);
  AppendTlvBool(out, 0x7B48, true);
  AppendTlvBool(out, 0x7B49, false);
  AppendTlvTime(out, 0x7B23, 0x0102030405060708ull);
  AppendTlv(out, 0x7B01, std::string_view("S-1\0x", 5));
  EXPECT_EQ(out, Concat({Item(0x7B08, {0xFF, 0xFF, 0xFF, 0xFE}), Item(0x7B48, {0, 0, 0, 1}),
                         Item(0x7B49, {0, 0, 0, 0}), Item(0x7B23, {1, 2, 3, 4, 5, 6, 7, 8}),
                         Item(0x7B01, {'S', '-', '1', 0, 'x'})}));
  const TlvIndex index = ParseTlv(out);
  EXPECT_EQ(TlvToTime(GetTlv(index, 0x7B23)), 0x0102030405060708ull);
  EXPECT_EQ(TlvToString(GetTlv(index, 0x7B01)), std::string("S-1\0x", 5));
}

TEST(TlvCodecTest, LookupReturnsTheFirstOccurrenceAndNamesAMissingTag) {
  const Bytes wire = Concat({Item(0x7B14, {'a'}), Item(0x7B01, {'u'}), Item(0x7B14, {'b'})});
  const TlvIndex index = ParseTlv(wire);
  EXPECT_EQ(index.size(), 2u);
  EXPECT_EQ(GetTlv(index, 0x7B14), wire.data());
  EXPECT_FALSE(HasTlv(index, 0x7B05));
  EXPECT_THAT([&] { GetTlv(index, 0x7B05); },
              ThrowsMessage<TlvException>(StrEq("Requested TLV (0x7b05) not found.")));
}

TEST(TlvCodecTest, LengthsUpTo32767AreWrittenAndItemsPastTheEndRefused) {
  Bytes out = {0xEE};
  AppendTlv(out, 0x0002, Bytes(32767, 0xAB));
  EXPECT_EQ(out.size(), 1u + 4 + 32767);
  EXPECT_EQ(out[3], 0x7F);
  EXPECT_EQ(out[4], 0xFF);
  Bytes refused = {0xEE};
  EXPECT_THAT([&] { AppendTlv(refused, 0x0002, Bytes(32768)); },
              ThrowsMessage<std::overflow_error>(
                  StrEq("Error converting value 32768 to unsigned short (max value: 32767).")));
  EXPECT_THROW(AppendTlv(refused, 0x0002, Bytes(65536)), std::overflow_error);
  EXPECT_EQ(refused, Bytes({0xEE})) << "nothing appended for a refused item";
  // Only the writer is bounded: a longer item from elsewhere still reads.
  EXPECT_EQ(TlvLength(ParseTlv(Item(0x7B05, Bytes(40000, 1))).at(0x7B05)), 40000);

  Bytes wire = Item(0x7B01, {'a', 'b', 'c'});
  wire.pop_back();
  EXPECT_THAT([&] { ParseTlv(wire); },
              ThrowsMessage<TlvException>(
                  StrEq("TLV item (0x7b01) declares 3 value bytes but only 2 remain.")));
  for (size_t fragment = 1; fragment < kTlvHeaderSize; ++fragment) {
    Bytes fragmented = Item(0x7B01, {'a'});
    fragmented.insert(fragmented.end(), fragment, 0);
    EXPECT_THAT([&] { ParseTlv(fragmented); },
                ThrowsMessage<TlvException>(StrEq("TLV buffer ends in a fragment of " +
                                                  std::to_string(fragment) +
                                                  " bytes, shorter than an item header.")));
  }
}

// Sequences that take each lookup path: short and unsorted with a repeat, unsorted without one
// (two tags equal modulo 64), and long enough in ascending order to be bisected.
std::vector<std::pair<const char*, std::vector<uint16_t>>> IndexShapes() {
  std::vector<uint16_t> ascending;
  for (uint16_t i = 0; i < 40; ++i) ascending.push_back(static_cast<uint16_t>(0x7B00 + 3 * i));
  std::vector<uint16_t> unsortedLong;
  for (uint16_t i = 0; i < 40; ++i) unsortedLong.push_back(static_cast<uint16_t>(0x7C00 - i));
  unsortedLong.push_back(0x7C00);
  return {{"repeat", {0x0003, 0x0001, 0x0003, 0x0002, 0x0001}},
          {"modulo collision", {0x0041, 0x0001, 0x0002}},
          {"ascending", ascending},
          {"long with a repeat", unsortedLong}};
}

TEST(TlvIndexTest, EveryHintFindsTheFirstOccurrence) {
  for (const auto& [shape, tags] : IndexShapes()) {
    Bytes wire;
    for (size_t i = 0; i < tags.size(); ++i) AppendTlv(wire, tags[i], Bytes(i % 3, 0x11));
    const TlvIndex index = ParseTlv(wire);
    ASSERT_EQ(index.Items().size(), tags.size()) << shape;
    for (const uint16_t tag : tags) {
      const uint8_t* first = nullptr;
      for (const TlvIndex::Entry& entry : index.Items()) {
        if (entry.tag == tag) {
          first = entry.item;
          break;
        }
      }
      EXPECT_EQ(index.Find(tag), first) << shape;
      for (size_t hint = 0; hint <= tags.size(); ++hint) {
        size_t moved = hint;
        EXPECT_EQ(index.Find(tag, moved), first) << shape << " tag " << tag << " hint " << hint;
      }
    }
    size_t hint = 0;
    EXPECT_EQ(index.Find(0x0000, hint), nullptr) << shape;
    EXPECT_EQ(index.Find(0x0000), nullptr) << shape;
  }
}

TEST(TlvIndexTest, CopiesAndMovesKeepEveryItem) {
  for (const auto& [shape, tags] : IndexShapes()) {
    Bytes wire;
    for (const uint16_t tag : tags) AppendTlvInt(wire, tag, tag);
    TlvIndex original = ParseTlv(wire);
    const TlvIndex copy = original;
    TlvIndex assigned;
    assigned = copy;
    const TlvIndex moved = std::move(original);
    for (const TlvIndex* index : {&copy, &moved, static_cast<const TlvIndex*>(&assigned)}) {
      ASSERT_EQ(index->Items().size(), tags.size()) << shape;
      for (size_t i = 0; i < tags.size(); ++i) {
        EXPECT_EQ(TlvToInt(index->Items()[i].item), tags[i]) << shape;
      }
      EXPECT_EQ(index->size(), std::set<uint16_t>(tags.begin(), tags.end()).size()) << shape;
    }
  }
}

TEST(TlvRecordTest, RefusedElementIsNotAppended) {
  // One entry whose text fits an item, but not together with the entry's other fields.
  MessageMetadata metadata;
  metadata.entries.resize(2);
  metadata.entries[1].text.assign(kMaxTlvLength, 'x');
  const size_t entrySize = metadata.entries[1].Serialize().size();
  EXPECT_THAT([&] { metadata.Serialize(); },
              ThrowsMessage<std::overflow_error>(StrEq("Error converting value " +
                                                       std::to_string(entrySize) +
                                                       " to unsigned short (max value: 32767).")));
  Bytes out = {0xEE};
  for (const auto& field : MessageMetadata::Fields()) {
    EXPECT_THROW(field.write(metadata, field, out), std::overflow_error);
  }
  EXPECT_EQ(out.size(), 1u + kTlvHeaderSize + metadata.entries[0].Serialize().size())
      << "the first entry stays, the refused one is removed";
}

TEST(TlvListTest, ContainerListKeepsWireOrderAndStartsAtTheFirstElement) {
  std::vector<FileData> files(3);
  for (size_t i = 0; i < files.size(); ++i) files[i].fileName = "f" + std::to_string(i);
  Bytes wire;
  AppendTlvList(wire, 0x7BAE, 0x7BAF, files);
  EXPECT_EQ(TlvTag(wire.data()), 0x7BAE);
  const std::vector<FileData> read = ReadTlvList<FileData>(wire.data(), 0x7BAF);
  ASSERT_EQ(read.size(), 3u);
  for (size_t i = 0; i < read.size(); ++i) EXPECT_EQ(read[i].fileName, files[i].fileName);
  EXPECT_TRUE(ReadTlvList<FileData>(Item(0x7BAE, {}).data(), 0x7BAF).empty());
  // A stray item before the first element is skipped; one after it is taken as an element.
  const Bytes stray = Item(0x7BAE, Concat({Item(0x0001, {}), Item(0x7BAF, files[0].Serialize()),
                                           Item(0x7777, files[1].Serialize())}));
  const std::vector<FileData> strayRead = ReadTlvList<FileData>(stray.data(), 0x7BAF);
  ASSERT_EQ(strayRead.size(), 2u);
  EXPECT_EQ(strayRead[1].fileName, "f1");
  // An element that fails to decode fails the list.
  DataMigrationMessage migration;
  EXPECT_THAT([&] { migration.Deserialize(Item(0x7BAF, Item(0x7BB0, {'n'}))); },
              ThrowsMessage<TlvException>(StrEq("Requested TLV (0x7bb1) not found.")));
}

// The envelope. Its default 44 bytes and a full save message, byte for byte, are checked by
// keystonectl's tests.

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
                ThrowsMessage<TlvException>(StrEq(expected)));
  }
}

TEST(MessageTest, WritesEachItemAsItsOwnWriterWouldAndRefusesAnOversizeByteArray) {
  Message message = ReplyWithMetadata();
  message.moduleId = 0x01020304;
  message.sessionId = 0xA1B2C3D4;
  const auto itemByItem = [](const Message& m) {
    Bytes out;
    AppendTlvUint(out, Message::kTagModuleId, m.moduleId);
    AppendTlvUint(out, Message::kTagMessageType, m.messageType);
    AppendTlvUint(out, Message::kTagCategory, m.category);
    AppendTlv(out, Message::kTagPayload, m.payload);
    if (m.metadata) AppendTlv(out, Message::kTagMetadata, *m.metadata);
    AppendTlvBool(out, Message::kTagIsResponse, m.isResponse);
    AppendTlvUint(out, Message::kTagSessionId, m.sessionId);
    return out;
  };
  EXPECT_EQ(message.Serialize(), itemByItem(message));
  message.metadata.reset();
  message.payload.clear();
  message.isResponse = false;
  EXPECT_EQ(message.Serialize(), itemByItem(message));
  EXPECT_EQ(message.Serialize().size(), 44u);

  message.payload.assign(kMaxTlvLength, 0x11);
  EXPECT_EQ(message.Serialize().size(), 44u + kMaxTlvLength);
  message.payload.push_back(0x11);
  EXPECT_THAT([&] { message.Serialize(); },
              ThrowsMessage<std::overflow_error>(
                  StrEq("Error converting value 32768 to unsigned short (max value: 32767).")));
  message.payload.clear();
  message.metadata = std::make_shared<Bytes>(kMaxTlvLength + 1);
  EXPECT_THROW(message.Serialize(), std::overflow_error);
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
