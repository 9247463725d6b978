// Reading in place: MessageView and the view records, and the in-order walk of the field-table
// reader against its indexed path.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "tlv/catalogue.h"
#include "tlv/message.h"
#include "tlv/metadata.h"
#include "tlv/tlv.h"

namespace mfab {
namespace {

using ::testing::StrEq;
using ::testing::ThrowsMessage;

Bytes Item(uint16_t tag, const Bytes& value) {
  Bytes out;
  AppendTlv(out, tag, value);
  return out;
}
Bytes Int(uint16_t tag, uint32_t value) {
  Bytes out;
  AppendTlvUint(out, tag, value);
  return out;
}
Bytes Text(uint16_t tag, std::string_view text) {
  Bytes out;
  AppendTlv(out, tag, text);
  return out;
}
Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

// The outcome of a read, for comparing readers: the envelope written back, or the error text.
template <class Read>
std::string Outcome(const Read& read) {
  try {
    const Bytes written = read();
    return std::string(written.begin(), written.end());
  } catch (const TlvException& e) {
    return std::string("error: ") + e.what();
  }
}

struct EnvelopeCase {
  const char* name;
  Bytes wire;
  std::string error;  // empty: reads
};

std::vector<EnvelopeCase> EnvelopeCases() {
  const Bytes moduleId = Int(0x0000, 5), type = Int(0x0001, 0xABBA0001), category = Int(0x0003, 1),
              payload = Item(0x0002, {1, 2, 3}), metadata = Item(0x0004, {9}),
              isResponse = Int(0x0007, 1), session = Int(0x0008, 7);
  const Bytes badInt = Item(0x0000, {1, 2, 3, 4, 5});
  return {
      {"in order", Concat({moduleId, type, category, payload, metadata, isResponse, session}), ""},
      {"optionals absent", Concat({moduleId, type, category, payload, session}), ""},
      {"reversed", Concat({session, isResponse, metadata, payload, category, type, moduleId}), ""},
      {"repeated tag, first wins",
       Concat({moduleId, type, category, payload, session, Int(0x0000, 6)}), ""},
      {"stored-data block after", Concat({moduleId, type, category, payload, session,
                                          Item(0x0006, {})}), ""},
      {"required absent", Concat({moduleId, type, payload, session}),
       "Requested TLV (0x0003) not found."},
      {"bad int before an absent tag", Concat({badInt, type, payload, session}),
       "Not an integer value."},
      {"bad int before a truncated tail",
       Concat({badInt, type, category, payload, session, Bytes{0x00, 0x09, 0x00}}),
       "TLV buffer ends in a fragment of 3 bytes, shorter than an item header."},
  };
}

TEST(MessageViewTest, ReadsAsTheOwningMessageDoes) {
  for (const EnvelopeCase& c : EnvelopeCases()) {
    const std::string view = Outcome([&] { return MessageView::Parse(c.wire).Serialize(); });
    const std::string owned = Outcome([&] { return Message::Parse(c.wire).Serialize(); });
    EXPECT_EQ(view, owned) << c.name;
    if (c.error.empty()) {
      EXPECT_EQ(view.rfind("error", 0), std::string::npos) << c.name << ": " << view;
    } else {
      EXPECT_EQ(view, "error: " + c.error) << c.name;
    }
  }
}

TEST(MessageViewTest, FirstOfARepeatedTagWins) {
  const Bytes wire = EnvelopeCases()[3].wire;
  EXPECT_EQ(MessageView::Parse(wire).moduleId, 5u);
  EXPECT_EQ(Message::Parse(wire).moduleId, 5u);
}

TEST(MessageViewTest, PayloadAndMetadataPointIntoTheBuffer) {
  Message message;
  message.payload = {1, 2, 3, 4};
  message.metadata = std::make_shared<Bytes>(Bytes{5, 6});
  const Bytes wire = message.Serialize();
  const MessageView view = MessageView::Parse(wire);
  ASSERT_TRUE(view.metadata);
  EXPECT_GE(view.payload.data(), wire.data());
  EXPECT_LE(view.metadata->data() + view.metadata->size(), wire.data() + wire.size());
  EXPECT_EQ(Bytes(view.payload.begin(), view.payload.end()), message.payload);
  EXPECT_EQ(Bytes(view.metadata->begin(), view.metadata->end()), *message.metadata);
  EXPECT_EQ(message.View().Serialize(), wire);
}

TEST(MessageViewTest, TruncationAtEveryLengthFailsAsTheOwningMessage) {
  const Bytes wire = EnvelopeCases()[0].wire;
  for (size_t size = 0; size < wire.size(); ++size) {
    const Bytes cut(wire.begin(), wire.begin() + static_cast<ptrdiff_t>(size));
    const std::string view = Outcome([&] { return MessageView::Parse(cut).Serialize(); });
    EXPECT_EQ(view, Outcome([&] { return Message::Parse(cut).Serialize(); })) << size;
    EXPECT_EQ(view.rfind("error: ", 0), 0u) << size;
  }
}

// LoggingEntry items in table order: 0x6A02 auxText .. 0x6A08 auxValueB, 0x6A09 fwTime.
Bytes EntryItems(std::string_view text, bool withTime = true) {
  Bytes out = Concat({Text(0x6A02, "aux"), Int(0x6A03, 2), Text(0x6A04, "TEE"), Int(0x6A05, 3),
                      Text(0x6A06, "scope"), Text(0x6A07, text), Int(0x6A08, 4)});
  if (withTime) AppendTlvTime(out, 0x6A09, 99);
  return out;
}

// The same items in another order, or with other items among them, take the indexed path.
Bytes Reversed(const Bytes& sequence) {
  std::vector<Bytes> items;
  for (const uint8_t* item = sequence.data(); item != sequence.data() + sequence.size();
       item = TlvNext(item)) {
    items.emplace_back(item, TlvNext(item));
  }
  Bytes out;
  for (auto it = items.rbegin(); it != items.rend(); ++it) out.insert(out.end(), it->begin(), it->end());
  return out;
}

TEST(RecordReadTest, EveryItemOrderReadsTheSameEntry) {
  const Bytes inOrder = EntryItems("hello");
  const Bytes shapes[] = {inOrder, Reversed(inOrder), Concat({Int(0x1234, 0), inOrder}),
                          Concat({inOrder, Text(0x6A07, "later")})};
  for (const Bytes& shape : shapes) {
    LoggingEntry owned;
    owned.Deserialize(shape);
    LoggingEntryView view;
    view.Deserialize(shape);
    EXPECT_EQ(owned.text, "hello");
    EXPECT_EQ(view.text, "hello");
    EXPECT_EQ(owned.Serialize(), inOrder);
    EXPECT_EQ(view.Serialize(), inOrder);
  }
}

TEST(RecordReadTest, AbsentOptionalFieldKeepsItsValue) {
  for (const Bytes& shape : {EntryItems("t", false), Reversed(EntryItems("t", false))}) {
    LoggingEntryView entry;
    entry.fwTime = 42;
    entry.Deserialize(shape);
    EXPECT_EQ(entry.fwTime, 42u);
  }
}

TEST(RecordReadTest, ErrorsComeInTableOrder) {
  const Bytes badLevel = Item(0x6A03, {0, 0, 0, 0, 2});
  Bytes badTime = Item(0x6A09, {1, 2, 3});
  struct Case {
    const char* name;
    Bytes wire;
    const char* error;
  } cases[] = {
      {"required absent", Concat({Text(0x6A02, "a"), Int(0x6A03, 1)}),
       "Requested TLV (0x6a04) not found."},
      // level precedes the absent text in the table.
      {"bad int before an absent field", Concat({Text(0x6A02, "a"), badLevel}),
       "Not an integer value."},
      // An optional field out of place is still read, after every field before it.
      {"bad optional out of place", Concat({badTime, EntryItems("t", false)}),
       "Not an time value."},
      {"bad int before a fragment", Concat({Text(0x6A02, "a"), badLevel, Bytes{0x6A}}),
       "TLV buffer ends in a fragment of 1 bytes, shorter than an item header."},
  };
  for (const Case& c : cases) {
    EXPECT_THAT([&] { LoggingEntryView().Deserialize(c.wire); },
                ThrowsMessage<TlvException>(StrEq(c.error)))
        << c.name;
    EXPECT_THAT([&] { LoggingEntry().Deserialize(c.wire); },
                ThrowsMessage<TlvException>(StrEq(c.error)))
        << c.name;
  }
}

TEST(MessageMetadataViewTest, EntriesViewTheMetadataBuffer) {
  MessageMetadata metadata;
  for (const char* text : {"first line of a long log text", "second"}) {
    metadata.entries.emplace_back().text = text;
  }
  metadata.entries[1].fwTime = 7;
  const Bytes wire = metadata.Serialize();
  MessageMetadataView view;
  view.Deserialize(wire);
  ASSERT_EQ(view.entries.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(view.entries[i].text, metadata.entries[i].text);
    EXPECT_EQ(view.entries[i].fwTime, metadata.entries[i].fwTime);
    EXPECT_GE(view.entries[i].text.data(), reinterpret_cast<const char*>(wire.data()));
    EXPECT_LT(view.entries[i].text.data(), reinterpret_cast<const char*>(wire.data() + wire.size()));
  }
  EXPECT_EQ(view.Serialize(), wire);
}

TEST(MessageMetadataViewTest, EachEntryOfAListReadsOnItsOwn) {
  // Entries of every shape side by side: none may keep a field of its neighbour.
  const Bytes wire = Concat({Item(0x7B38, EntryItems("in order")),
                             Item(0x7B38, Reversed(EntryItems("reversed", false))),
                             Item(0x7B38, EntryItems("no time", false)),
                             Item(0x7B38, Concat({EntryItems("extra item"), Int(0x1234, 0)}))});
  for (const bool owned : {false, true}) {
    std::vector<std::pair<std::string, uint64_t>> read;
    if (owned) {
      MessageMetadata metadata;
      metadata.Deserialize(wire);
      for (const LoggingEntry& entry : metadata.entries) {
        read.emplace_back(entry.text, entry.fwTime);
      }
    } else {
      MessageMetadataView metadata;
      metadata.Deserialize(wire);
      for (const LoggingEntryView& entry : metadata.entries) {
        read.emplace_back(entry.text, entry.fwTime);
      }
    }
    const std::vector<std::pair<std::string, uint64_t>> expected = {
        {"in order", 99}, {"reversed", 0}, {"no time", 0}, {"extra item", 99}};
    EXPECT_EQ(read, expected) << (owned ? "owned" : "view");
  }
}

TEST(RecordReadTest, NoTableRepeatsAReadableTag) {
  // The in-order walk gives the first item of each tag only because no table names a tag twice.
  for (const CatalogueEntry& entry : MessageCatalogue()) {
    std::set<uint16_t> tags;
    for (const record::FieldInfo& field : entry.schema()) {
      if (field.access == record::Access::kWriteOnly) continue;
      EXPECT_TRUE(tags.insert(field.tag).second) << entry.name << " repeats " << field.tag;
    }
  }
}

}  // namespace
}  // namespace mfab
