#include "tlv/catalogue.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "tlv/messages.h"

namespace mfab {
namespace {

using record::Access;
using record::FieldInfo;
using record::Kind;
using record::Presence;

enum class Optionals { kPresent, kAbsent };

// Builds a wire buffer from a class's table alone: distinct values per tag, every list with two
// elements, optional fields present or absent. With canonical set, written-only fields carry the
// empty value that a read-then-written object has.
Bytes Sample(const std::vector<FieldInfo>& schema, Optionals optionals, bool canonical,
             int skipTag = -1) {
  Bytes out;
  for (const FieldInfo& field : schema) {
    if (field.tag == skipTag) continue;
    if (field.presence == Presence::kOptional && optionals == Optionals::kAbsent) continue;
    const bool emptied = canonical && field.access == Access::kWriteOnly;
    switch (field.kind) {
      case Kind::kInt:
        AppendTlvInt(out, field.tag, 1);  // survives the narrowest member (bool)
        break;
      case Kind::kTime:
        AppendTlvTime(out, field.tag, 0x0102030405060700ull | (field.tag & 0xFF));
        break;
      case Kind::kString:
        AppendTlv(out, field.tag, emptied ? "" : "s" + std::to_string(field.tag));
        break;
      case Kind::kBytes:
        AppendTlv(out, field.tag, Bytes{0xB0, static_cast<uint8_t>(field.tag), 0x00});
        break;
      case Kind::kNested:
        AppendTlv(out, field.tag, Sample(field.elementSchema(), optionals, canonical));
        break;
      case Kind::kList: {
        Bytes body;
        for (int i = 0; i < 2; ++i) {
          AppendTlv(body, field.elementTag, Sample(field.elementSchema(), optionals, canonical));
        }
        AppendTlv(out, field.tag, body);
        break;
      }
      case Kind::kTopLevelList:
        if (optionals == Optionals::kAbsent) break;
        for (int i = 0; i < 2; ++i) {
          AppendTlv(out, field.elementTag, Sample(field.elementSchema(), optionals, canonical));
        }
        break;
    }
  }
  return out;
}

// The values of the items of sequence, in order.
std::vector<std::span<const uint8_t>> Values(std::span<const uint8_t> sequence) {
  std::vector<std::span<const uint8_t>> values;
  const uint8_t* end = sequence.data() + sequence.size();
  for (const uint8_t* item = sequence.data(); item != end; item = TlvNext(item)) {
    values.push_back(TlvValue(item));
  }
  return values;
}

// Every field that sent carries comes back unchanged in written, nested objects and list elements
// included; written may add the defaults of absent optional fields.
void ExpectCarried(const std::vector<FieldInfo>& schema, std::span<const uint8_t> sent,
                   std::span<const uint8_t> written) {
  const TlvIndex sentIndex = ParseTlv(sent);
  const TlvIndex writtenIndex = ParseTlv(written);
  for (const FieldInfo& field : schema) {
    if (!HasTlv(sentIndex, field.tag)) continue;
    ASSERT_TRUE(HasTlv(writtenIndex, field.tag)) << field.name;
    const std::span<const uint8_t> from = TlvValue(GetTlv(sentIndex, field.tag));
    const std::span<const uint8_t> to = TlvValue(GetTlv(writtenIndex, field.tag));
    switch (field.kind) {
      case Kind::kNested:
        ExpectCarried(field.elementSchema(), from, to);
        break;
      case Kind::kList: {
        const auto fromElements = Values(from);
        const auto toElements = Values(to);
        ASSERT_EQ(fromElements.size(), toElements.size()) << field.name;
        for (size_t i = 0; i < fromElements.size(); ++i) {
          ExpectCarried(field.elementSchema(), fromElements[i], toElements[i]);
        }
        break;
      }
      case Kind::kTopLevelList:
        ASSERT_EQ(Values(sent).size(), Values(written).size()) << field.name;
        break;
      default:
        EXPECT_EQ(Bytes(from.begin(), from.end()), Bytes(to.begin(), to.end())) << field.name;
    }
  }
}

class CatalogueRoundTripTest : public ::testing::TestWithParam<const CatalogueEntry*> {};

TEST_P(CatalogueRoundTripTest,
       FieldsRoundTripWithOptionalsPresentOrAbsentAndRequiredOnesAreRequired) {
  const CatalogueEntry& entry = *GetParam();
  const std::vector<FieldInfo> schema = entry.schema();
  auto object = entry.create();
  object->Deserialize(Sample(schema, Optionals::kPresent, false));
  EXPECT_EQ(object->Serialize(), Sample(schema, Optionals::kPresent, true));

  const Bytes sent = Sample(schema, Optionals::kAbsent, true);
  object = entry.create();
  object->Deserialize(sent);
  ExpectCarried(schema, sent, object->Serialize());

  for (const FieldInfo& field : schema) {
    if (field.presence != Presence::kRequired || field.access == Access::kWriteOnly) continue;
    char expected[48];
    std::snprintf(expected, sizeof(expected), "Requested TLV (0x%04x) not found.", field.tag);
    EXPECT_THAT(
        [&] { entry.create()->Deserialize(Sample(schema, Optionals::kPresent, false, field.tag)); },
        ::testing::ThrowsMessage<TlvException>(::testing::StrEq(expected)))
        << field.name;
  }
}

std::string EntryName(const ::testing::TestParamInfo<const CatalogueEntry*>& info) {
  std::string name;
  for (const char* p = info.param->name; *p; ++p) name += std::isalnum(*p) ? *p : '_';
  return name;
}

std::vector<const CatalogueEntry*> AllEntries() {
  std::vector<const CatalogueEntry*> entries;
  for (const CatalogueEntry& entry : MessageCatalogue()) entries.push_back(&entry);
  return entries;
}

INSTANTIATE_TEST_SUITE_P(AllClasses, CatalogueRoundTripTest, ::testing::ValuesIn(AllEntries()),
                         EntryName);

// A class's fields in write order as the documentation writes them: "[tag]" optional on
// reading, "tag(element)" a list in a container, "(element)" a top-level list, "tag!" written
// only.
std::string Layout(const std::vector<FieldInfo>& schema) {
  std::string out;
  for (const FieldInfo& field : schema) {
    char text[24];
    if (field.kind == Kind::kList) {
      std::snprintf(text, sizeof(text), "%04X(%04X)", field.tag, field.elementTag);
    } else if (field.kind == Kind::kTopLevelList) {
      std::snprintf(text, sizeof(text), "(%04X)", field.elementTag);
    } else {
      std::snprintf(text, sizeof(text), "%04X%s", field.tag,
                    field.access == Access::kWriteOnly ? "!" : "");
    }
    if (!out.empty()) out += ' ';
    out += field.presence == Presence::kOptional ? "[" + std::string(text) + "]" : text;
  }
  return out;
}

// This restates the system's table on purpose so that a slip in a field table shows here.
TEST(CatalogueTest, ClassesWriteTheirTagsInTheDocumentedOrderAndAreFoundByName) {
  // Each entry: the class name, then its layout; entries end in ';'.
  std::istringstream expected(R"(LoggingEntry 6A02 6A03 6A04 6A05 6A06 6A07 6A08 [6A09];
    MessageMetadata [(7B38)]; ErrorMessage 7B0B 7B0A; BooleanResponse 7B08;
    SaveRequest 7B30 7B31 7B32 7B33 7B34; DeleteLevel1Request 7B30 7B33;
    NeedUserDataResponse 7B08 7B01; GetPolicyDataResponse 7B94 7B95 7BAA;
    GetUserDataRequest 0000; GetUserDataResponse [7B05]; ClearActionTimeoutCacheRequest 7B02!;
    FpRequest 7B0C 7F08 7B05; FpResponse 7B0A 7F08 7B08 7B23;
    SaveEnrollmentDataRequest 7B01 7B14 7B05; CheckFactorEnrollmentRequest 7B14 7B01 7B05;
    EnrollFactorRequest 7B04 7B14 7B01 7B05; StoreSecureDataRequest 7B0C 7B0D 7B3A 7B05;
    ActionAuthenticateInterAppRequest 7B1F 7B05 7B01; InitAuthenticateActionRequest 7B01 7B02 7B49;
    AuthenticateActionRetrieveDataRequest 7B01 7B02 7B0C 7B0D 7B3A 7B0E 7B49 7B81;
    CloseAuthenticateActionRetrieveDataRequest 7B47 7B0C 7B0D 7B3A 7B0E 7B81;
    AuthenticateSetFactorRequest 7B47 7B14;
    AuthenticationStatusData 7B47 7B01 7B02 7B44 7B42 7B43 [7B41(7B4F)] 7B4A [7B48] [7B4B];
    FactorStatusData 7B14 7B45 7B5E; SmartCardDataForEnrollment [7B5C] 7B5B 7B5D 7B01 7B5F;
    SmartCardChallengeResponse 7B0E 7B5D 7B5B 7B5F; ValidateChallengeResponseRequest 7B0E 7B01;
    FactorDiscovery 7B01 [7B40(7B4F)]; FactorDiscoveryFactorData 7B14 7B04 7B3E 7B3F [7B02];
    GetFactorEnrollmentParametersResponse 7B96! 7B97! [7B91]; ActionFactorDiscoveryData 7B01 7B54;
    Action 7B40(7B4F) 7B4C 7B4D 7B55 7B56 7B57; set [7B14]; FileData 7BB0 7BB1;
    DataMigrationMessage [(7BAF)];)");
  int checked = 0;
  for (std::string name, layout; expected >> name && std::getline(expected >> std::ws, layout, ';');
       ++checked) {
    const CatalogueEntry* entry = FindMessageClass(name);
    ASSERT_NE(entry, nullptr) << name;
    EXPECT_EQ(Layout(entry->schema()), layout) << name;
  }
  EXPECT_EQ(checked, 35);

  for (const CatalogueEntry& entry : MessageCatalogue()) {
    EXPECT_EQ(FindMessageClass(entry.name), &entry) << "a name found twice: " << entry.name;
  }
  EXPECT_EQ(FindMessageClass("SaveRequest"), FindMessageClass("mfab::SaveRequest"));
  EXPECT_EQ(FindMessageClass("NoSuchRequest"), nullptr);
  // Payload classes of message types; keystonectl's tests decode payloads through them.
  EXPECT_EQ(PayloadClassOf(0xABBAAAAA), FindMessageClass("ErrorMessage"));
  EXPECT_EQ(PayloadClassOf(message_type::kClearDataRequest), nullptr);
  EXPECT_EQ(MessageTypesOf(*FindMessageClass("DataMigrationMessage")),
            (std::vector<uint32_t>{0xABBA0078, 0xABBA0079}));
}

LoggingEntry Entry(std::string text) {
  LoggingEntry entry;
  entry.level = 2;
  entry.text = std::move(text);
  return entry;
}

TEST(MessageMetadataTest, EntriesRunFromTheFirst0x7B38ItemToTheEnd) {
  MessageMetadata read;
  read.entries = {Entry("stale")};
  Bytes wire;
  AppendTlv(wire, 0x1111, Entry("ignored").Serialize());
  read.Deserialize(wire);
  EXPECT_TRUE(read.entries.empty()) << "no entry tag means no entries";

  wire.clear();
  AppendTlv(wire, 0x0001, Bytes{});  // before the first entry: skipped
  AppendTlv(wire, 0x7B38, Entry("one").Serialize());
  AppendTlv(wire, 0x4242, Entry("two").Serialize());  // after it: an entry whatever its tag
  read.Deserialize(wire);
  ASSERT_EQ(read.entries.size(), 2u);
  EXPECT_EQ(read.entries[1].text, "two");

  AppendTlv(wire, 0x4343, Bytes{1, 2, 3, 4});  // not an entry's sequence
  EXPECT_THROW(read.Deserialize(wire), TlvException);
}

TEST(RecordIntegerTest, NarrowMembersAreFourBytesOnTheWireAndAbsentOptionalsKeepTheirValues) {
  LoggingEntry entry = Entry("t");
  entry.level = 0xFF;
  Bytes wire = entry.Serialize();
  const uint8_t* level = GetTlv(ParseTlv(wire), 0x6A03);
  EXPECT_EQ(TlvToInt(level), 0xFF) << "zero-extended";
  const size_t value = static_cast<size_t>(level - wire.data()) + kTlvHeaderSize;
  wire[value + 2] = 0x12;  // 0x1203 on the wire: a narrow member keeps the low byte
  wire[value + 3] = 0x03;
  LoggingEntry readEntry;
  readEntry.Deserialize(wire);
  EXPECT_EQ(readEntry.level, 0x03);

  // Absent optional fields keep their values, as the authentication state manager decodes each
  // reply into the record it holds; any non-zero flag is true.
  AuthenticationStatusData status;
  status.active = true;
  status.errorCode = 0xA0000031;
  status.factors.resize(1);
  AuthenticationStatusData update;
  update.state = 2;
  Bytes reply;
  for (const auto& field : AuthenticationStatusData::Fields()) {
    if (field.presence == Presence::kRequired) field.write(update, field, reply);
  }
  status.Deserialize(reply);
  EXPECT_EQ(status.state, 2);
  EXPECT_TRUE(status.active);
  EXPECT_EQ(status.errorCode, 0xA0000031u);
  EXPECT_EQ(status.factors.size(), 1u);

  status.active = false;
  AppendTlvInt(reply, 0x7B48, 2);  // 2 is not 1 but still true
  status.Deserialize(reply);
  EXPECT_TRUE(status.active);
}

}  // namespace
}  // namespace mfab
