#include "tlv/tlv.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "tlv/host_messages.h"
#include "tlv/metadata.h"
#include "tlv/status_messages.h"

namespace mfab {
namespace {

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

template <class F>
std::string ThrownText(F&& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(nothing thrown)";
}

TEST(TlvCodecTest, IntegersOfZeroToFourBytesAreZeroExtended) {
  const struct {
    Bytes value;
    int32_t expected;
  } cases[] = {{{}, 0},
               {{0x05}, 5},
               {{0x01, 0x00}, 256},
               {{0xFF, 0xFF, 0xFF}, 0x00FFFFFF},
               {{0xFF, 0xFF, 0xFF, 0xFE}, -2},
               {{0x80, 0x00, 0x00, 0x00}, INT32_MIN}};
  for (const auto& c : cases) {
    const Bytes item = Item(0x7B08, c.value);
    EXPECT_EQ(TlvToInt(item.data()), c.expected) << c.value.size() << " bytes";
  }
}

TEST(TlvCodecTest, IntegerLongerThanFourBytesIsRefused) {
  const Bytes item = Item(0x7B08, {0, 0, 0, 0, 1});
  EXPECT_EQ(ThrownText([&] { TlvToInt(item.data()); }), "Not an integer value.");
  EXPECT_THROW(TlvToInt(item.data()), TlvException);
}

TEST(TlvCodecTest, WriterEmitsFourByteBigEndianIntegersAndBooleans) {
  Bytes out;
  AppendTlvInt(out, 0x7B08, -2);
  AppendTlvBool(out, 0x7B48, true);
  AppendTlvBool(out, 0x7B49, false);
  EXPECT_EQ(out, Concat({Item(0x7B08, {0xFF, 0xFF, 0xFF, 0xFE}), Item(0x7B48, {0, 0, 0, 1}),
                         Item(0x7B49, {0, 0, 0, 0})}));
}

TEST(TlvCodecTest, AnyNonZeroIntegerReadsAsTrue) {
  AuthenticationStatusData status;
  // The record's active flag (0x7B48) is a boolean; 2 is not 1 but still true.
  Bytes wire;
  AppendTlvInt(wire, 0x7B47, 1);
  AppendTlv(wire, 0x7B01, std::string_view("u"));
  AppendTlv(wire, 0x7B02, std::string_view("a"));
  for (uint16_t tag : {0x7B44, 0x7B42, 0x7B43, 0x7B4A}) AppendTlvInt(wire, tag, 0);
  AppendTlvInt(wire, 0x7B48, 2);
  status.Deserialize(wire);
  EXPECT_TRUE(status.active);
}

TEST(TlvCodecTest, TimeIsExactlyEightBytes) {
  Bytes out;
  AppendTlvTime(out, 0x7B23, 0x0102030405060708ull);
  EXPECT_EQ(out, Item(0x7B23, {1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(TlvToTime(out.data()), 0x0102030405060708ull);
  for (const size_t size : {0u, 4u, 7u, 9u}) {
    const Bytes item = Item(0x7B23, Bytes(size, 1));
    EXPECT_EQ(ThrownText([&] { TlvToTime(item.data()); }), "Not an time value.") << size;
  }
}

TEST(TlvCodecTest, StringsAndBytesAreCopiedRaw) {
  Bytes out;
  AppendTlv(out, 0x7B01, std::string_view("S-1-5\0x", 7));
  EXPECT_EQ(TlvToString(out.data()), std::string("S-1-5\0x", 7));
  EXPECT_EQ(TlvToBytes(out.data()), Bytes({'S', '-', '1', '-', '5', 0, 'x'}));
}

TEST(TlvCodecTest, LookupReturnsTheFirstOccurrence) {
  const Bytes wire = Concat({Item(0x7B14, {'a'}), Item(0x7B01, {'u'}), Item(0x7B14, {'b'})});
  const TlvIndex index = ParseTlv(wire);
  EXPECT_EQ(index.size(), 2u);
  EXPECT_EQ(TlvToString(GetTlv(index, 0x7B14)), "a");
  EXPECT_EQ(GetTlv(index, 0x7B14), wire.data());
}

TEST(TlvCodecTest, MissingTagNamesItInFourLowerCaseDigits) {
  const Bytes wire = Item(0x7B01, {});
  const TlvIndex index = ParseTlv(wire);
  EXPECT_FALSE(HasTlv(index, 0x7B05));
  EXPECT_EQ(ThrownText([&] { GetTlv(index, 0x7B05); }), "Requested TLV (0x7b05) not found.");
  EXPECT_EQ(ThrownText([&] { GetTlv(index, 0x0008); }), "Requested TLV (0x0008) not found.");
  EXPECT_THROW(GetTlv(index, 0xABCD), TlvException);
}

TEST(TlvCodecTest, EmptyRangeGivesAnEmptyIndex) { EXPECT_TRUE(ParseTlv(nullptr, nullptr).empty()); }

TEST(TlvCodecTest, LengthsUpTo32767AreWrittenAndLongerOnesRefused) {
  Bytes out = {0xEE};
  AppendTlv(out, 0x0002, Bytes(32767, 0xAB));
  EXPECT_EQ(out.size(), 1u + 4 + 32767);
  EXPECT_EQ(out[3], 0x7F);
  EXPECT_EQ(out[4], 0xFF);

  Bytes refused = {0xEE};
  EXPECT_EQ(ThrownText([&] { AppendTlv(refused, 0x0002, Bytes(32768)); }),
            "Error converting value 32768 to unsigned short (max value: 32767).");
  EXPECT_THROW(AppendTlv(refused, 0x0002, Bytes(65536)), std::overflow_error);
  EXPECT_EQ(refused, Bytes({0xEE})) << "nothing appended for a refused item";
}

TEST(TlvCodecTest, ReaderAcceptsLengthsAbove32767) {
  const Bytes wire = Item(0x7B05, Bytes(40000, 1));
  EXPECT_EQ(TlvLength(ParseTlv(wire).at(0x7B05)), 40000);
}

TEST(TlvCodecTest, ItemRunningPastTheEndIsRefused) {
  Bytes wire = Item(0x7B01, {'a', 'b', 'c'});
  wire.pop_back();
  EXPECT_EQ(ThrownText([&] { ParseTlv(wire); }),
            "TLV item (0x7b01) declares 3 value bytes but only 2 remain.");
}

TEST(TlvCodecTest, TrailingFragmentShorterThanAHeaderIsRefused) {
  for (size_t fragment = 1; fragment < kTlvHeaderSize; ++fragment) {
    Bytes wire = Item(0x7B01, {'a'});
    wire.insert(wire.end(), fragment, 0);
    EXPECT_EQ(ThrownText([&] { ParseTlv(wire); }), "TLV buffer ends in a fragment of " +
                                                       std::to_string(fragment) +
                                                       " bytes, shorter than an item header.");
  }
}

TEST(TlvListTest, ContainerListRoundTripsInWireOrder) {
  std::vector<FileData> files(3);
  for (size_t i = 0; i < files.size(); ++i) {
    files[i].fileName = "f" + std::to_string(i);
    files[i].content = Bytes(i, static_cast<uint8_t>(i));
  }
  Bytes wire;
  AppendTlvList(wire, 0x7BAE, 0x7BAF, files);
  EXPECT_EQ(TlvTag(wire.data()), 0x7BAE);
  const std::vector<FileData> read = ReadTlvList<FileData>(wire.data(), 0x7BAF);
  ASSERT_EQ(read.size(), 3u);
  for (size_t i = 0; i < read.size(); ++i) {
    EXPECT_EQ(read[i].fileName, files[i].fileName);
    EXPECT_EQ(read[i].content, files[i].content);
  }
}

TEST(TlvListTest, ListWithoutTheElementTagIsEmpty) {
  FileData file;
  const Bytes wire = Item(0x7BAE, Item(0x1234, file.Serialize()));
  EXPECT_TRUE(ReadTlvList<FileData>(wire.data(), 0x7BAF).empty());
  const Bytes empty = Item(0x7BAE, {});
  EXPECT_TRUE(ReadTlvList<FileData>(empty.data(), 0x7BAF).empty());
}

TEST(TlvListTest, EveryItemFromTheFirstElementOnIsAnElementWhateverItsTag) {
  FileData a;
  a.fileName = "a";
  FileData b;
  b.fileName = "b";
  // A stray item before the first element is skipped; one after it is taken as an element.
  const Bytes body =
      Concat({Item(0x0001, {}), Item(0x7BAF, a.Serialize()), Item(0x7777, b.Serialize())});
  const std::vector<FileData> read =
      ReadTlvListElements<FileData>(body.data(), body.data() + body.size(), 0x7BAF);
  ASSERT_EQ(read.size(), 2u);
  EXPECT_EQ(read[1].fileName, "b");
}

TEST(TlvListTest, TopLevelListHasNoContainer) {
  DataMigrationMessage migration;
  migration.files.resize(2);
  migration.files[0].fileName = "x";
  const Bytes wire = migration.Serialize();
  const TlvIndex index = ParseTlv(wire);
  EXPECT_EQ(index.size(), 1u);
  EXPECT_EQ(TlvTag(wire.data()), 0x7BAF);
  DataMigrationMessage read;
  read.Deserialize(wire);
  ASSERT_EQ(read.files.size(), 2u);
  EXPECT_EQ(read.files[0].fileName, "x");
}

TEST(TlvListTest, ElementThatFailsToDecodeFailsTheList) {
  const Bytes wire = Item(0x7BAF, Item(0x7BB0, {'n'}));  // no 0x7BB1
  DataMigrationMessage read;
  EXPECT_EQ(ThrownText([&] { read.Deserialize(wire); }), "Requested TLV (0x7bb1) not found.");
}

}  // namespace
}  // namespace mfab
