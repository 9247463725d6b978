#include "tlv/metadata.h"

#include <gtest/gtest.h>

#include <string>

namespace mfab {
namespace {

LoggingEntry Entry(std::string text) {
  LoggingEntry entry;
  entry.auxText = "aux";
  entry.level = 2;
  entry.component = "TEE";
  entry.auxValueA = 0xA1;
  entry.scope = "scope";
  entry.text = std::move(text);
  entry.auxValueB = 0xB2;
  entry.fwTime = 0x1122334455667788ull;
  return entry;
}

std::vector<uint16_t> Tags(const Bytes& wire) {
  std::vector<uint16_t> tags;
  const uint8_t* end = wire.data() + wire.size();
  for (const uint8_t* item = wire.data(); item != end; item = TlvNext(item)) {
    tags.push_back(TlvTag(item));
  }
  return tags;
}

TEST(LoggingEntryTest, WritesEveryFieldInOrderAndReadsItBack) {
  const Bytes wire = Entry("hello").Serialize();
  EXPECT_EQ(Tags(wire), (std::vector<uint16_t>{0x6A02, 0x6A03, 0x6A04, 0x6A05, 0x6A06, 0x6A07,
                                               0x6A08, 0x6A09}));
  LoggingEntry read;
  read.Deserialize(wire);
  EXPECT_EQ(read.text, "hello");
  EXPECT_EQ(read.level, 2);
  EXPECT_EQ(read.auxValueA, 0xA1);
  EXPECT_EQ(read.auxValueB, 0xB2);
  EXPECT_EQ(read.fwTime, 0x1122334455667788ull);
  EXPECT_EQ(read.Serialize(), wire);
}

TEST(LoggingEntryTest, NarrowFieldsAreWrittenAsFourBytesAndTruncatedOnReading) {
  LoggingEntry entry = Entry("t");
  entry.level = 0xFF;
  const Bytes wire = entry.Serialize();
  const uint8_t* level = GetTlv(ParseTlv(wire), 0x6A03);
  EXPECT_EQ(TlvLength(level), 4);
  EXPECT_EQ(TlvToInt(level), 0xFF) << "zero-extended, not sign-extended";

  Bytes wide;
  for (const uint8_t* item = wire.data(); item != wire.data() + wire.size(); item = TlvNext(item)) {
    if (TlvTag(item) == 0x6A03) {
      AppendTlvInt(wide, 0x6A03, 0x1203);
    } else {
      wide.insert(wide.end(), item, TlvNext(item));
    }
  }
  LoggingEntry read;
  read.Deserialize(wide);
  EXPECT_EQ(read.level, 0x03);
}

TEST(LoggingEntryTest, FirmwareTimeIsOptionalAndOtherTagsRequired) {
  const Bytes wire = Entry("t").Serialize();
  Bytes withoutTime(wire.begin(), wire.end() - 12);  // the time item is last: 4 + 8 bytes
  LoggingEntry read;
  read.Deserialize(withoutTime);
  EXPECT_EQ(read.fwTime, 0u);
  EXPECT_EQ(read.text, "t");

  Bytes withoutAuxB(wire.begin(), wire.end() - 12 - 8);
  EXPECT_THROW(LoggingEntry().Deserialize(withoutAuxB), TlvException);
}

TEST(MessageMetadataTest, EntriesAreTopLevel0x7B38Items) {
  MessageMetadata metadata;
  metadata.entries = {Entry("one"), Entry("two")};
  const Bytes wire = metadata.Serialize();
  EXPECT_EQ(Tags(wire), (std::vector<uint16_t>{0x7B38, 0x7B38}));
  MessageMetadata read;
  read.Deserialize(wire);
  ASSERT_EQ(read.entries.size(), 2u);
  EXPECT_EQ(read.entries[1].text, "two");
}

TEST(MessageMetadataTest, NoEntryTagMeansNoEntries) {
  MessageMetadata read;
  read.entries = {Entry("stale")};
  Bytes wire;
  AppendTlv(wire, 0x1111, Entry("ignored").Serialize());
  read.Deserialize(wire);
  EXPECT_TRUE(read.entries.empty());
  read.Deserialize(Bytes{});
  EXPECT_TRUE(read.entries.empty());
}

TEST(MessageMetadataTest, ItemsAfterTheFirstEntryAreEntriesWhateverTheirTag) {
  Bytes wire;
  AppendTlv(wire, 0x0001, Bytes{});  // before the first entry: skipped
  AppendTlv(wire, 0x7B38, Entry("one").Serialize());
  AppendTlv(wire, 0x4242, Entry("two").Serialize());
  MessageMetadata read;
  read.Deserialize(wire);
  ASSERT_EQ(read.entries.size(), 2u);
  EXPECT_EQ(read.entries[1].text, "two");

  AppendTlv(wire, 0x4343, Bytes{1, 2, 3, 4});  // not an entry's sequence
  EXPECT_THROW(read.Deserialize(wire), TlvException);
}

TEST(ErrorMessageTest, DefaultsAndWireOrder) {
  const ErrorMessage fresh;
  EXPECT_EQ(fresh.errorCode, applet_error::kDefault);
  EXPECT_EQ(fresh.errorCode, 0x7FF0);
  ErrorMessage error;
  error.errorCode = applet_error::kSvnUpgradeNeeded;
  error.errorText = "upgrade";
  const Bytes wire = error.Serialize();
  EXPECT_EQ(Tags(wire), (std::vector<uint16_t>{0x7B0B, 0x7B0A}));
  ErrorMessage read;
  read.Deserialize(wire);
  EXPECT_EQ(read.errorCode, 0x7F24);
  EXPECT_EQ(read.errorText, "upgrade");
}

TEST(ErrorMessageTest, CodeIsTruncatedToSixteenBits) {
  Bytes wire;
  AppendTlvInt(wire, 0x7B0B, 0x00017F07);
  AppendTlv(wire, 0x7B0A, std::string_view("x"));
  ErrorMessage read;
  read.Deserialize(wire);
  EXPECT_EQ(read.errorCode, applet_error::kAlreadyEnrolled);
}

TEST(ErrorMessageTest, BothTagsAreRequired) {
  Bytes codeOnly;
  AppendTlvInt(codeOnly, 0x7B0B, 1);
  EXPECT_THROW(ErrorMessage().Deserialize(codeOnly), TlvException);
  Bytes textOnly;
  AppendTlv(textOnly, 0x7B0A, std::string_view("x"));
  EXPECT_THROW(ErrorMessage().Deserialize(textOnly), TlvException);
}

}  // namespace
}  // namespace mfab
