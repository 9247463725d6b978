#include "tlv/catalogue.h"

#include <gtest/gtest.h>

#include <set>
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

class CatalogueRoundTripTest : public ::testing::TestWithParam<const CatalogueEntry*> {};

TEST_P(CatalogueRoundTripTest, AllFieldsPresentRoundTripExactly) {
  const CatalogueEntry& entry = *GetParam();
  const std::vector<FieldInfo> schema = entry.schema();
  auto object = entry.create();
  object->Deserialize(Sample(schema, Optionals::kPresent, false));
  EXPECT_EQ(object->Serialize(), Sample(schema, Optionals::kPresent, true));
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

TEST_P(CatalogueRoundTripTest, OptionalFieldsMayBeAbsent) {
  const CatalogueEntry& entry = *GetParam();
  const std::vector<FieldInfo> schema = entry.schema();
  const Bytes sent = Sample(schema, Optionals::kAbsent, true);
  auto object = entry.create();
  object->Deserialize(sent);
  ExpectCarried(schema, sent, object->Serialize());
}

TEST_P(CatalogueRoundTripTest, EachRequiredFieldIsRequired) {
  const CatalogueEntry& entry = *GetParam();
  const std::vector<FieldInfo> schema = entry.schema();
  for (const FieldInfo& field : schema) {
    if (field.presence != Presence::kRequired || field.access == Access::kWriteOnly) continue;
    char expected[48];
    std::snprintf(expected, sizeof(expected), "Requested TLV (0x%04x) not found.", field.tag);
    try {
      entry.create()->Deserialize(Sample(schema, Optionals::kPresent, false, field.tag));
      ADD_FAILURE() << field.name << " missing was accepted";
    } catch (const TlvException& e) {
      EXPECT_STREQ(e.what(), expected) << field.name;
    }
  }
}

TEST_P(CatalogueRoundTripTest, DescribesEveryFieldByName) {
  const CatalogueEntry& entry = *GetParam();
  auto object = entry.create();
  const std::vector<record::FieldValue> values = entry.describe(*object);
  const std::vector<FieldInfo> schema = entry.schema();
  ASSERT_EQ(values.size(), schema.size());
  for (size_t i = 0; i < values.size(); ++i) EXPECT_EQ(values[i].name, schema[i].name);
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

// Tags of each catalogue class in write order; this restates the system's table on purpose so a
// slip in a field table shows here.
TEST(CatalogueLayoutTest, ClassesWriteTheirTagsInTheDocumentedOrder) {
  const std::pair<const char*, std::vector<uint16_t>> expected[] = {
      {"BooleanResponse", {0x7B08}},
      {"SaveRequest", {0x7B30, 0x7B31, 0x7B32, 0x7B33, 0x7B34}},
      {"DeleteLevel1Request", {0x7B30, 0x7B33}},
      {"NeedUserDataResponse", {0x7B08, 0x7B01}},
      {"GetPolicyDataResponse", {0x7B94, 0x7B95, 0x7BAA}},
      {"GetUserDataRequest", {0x0000}},
      {"FpRequest", {0x7B0C, 0x7F08, 0x7B05}},
      {"FpResponse", {0x7B0A, 0x7F08, 0x7B08, 0x7B23}},
      {"SaveEnrollmentDataRequest", {0x7B01, 0x7B14, 0x7B05}},
      {"CheckFactorEnrollmentRequest", {0x7B14, 0x7B01, 0x7B05}},
      {"EnrollFactorRequest", {0x7B04, 0x7B14, 0x7B01, 0x7B05}},
      {"StoreSecureDataRequest", {0x7B0C, 0x7B0D, 0x7B3A, 0x7B05}},
      {"ActionAuthenticateInterAppRequest", {0x7B1F, 0x7B05, 0x7B01}},
      {"InitAuthenticateActionRequest", {0x7B01, 0x7B02, 0x7B49}},
      {"AuthenticateActionRetrieveDataRequest",
       {0x7B01, 0x7B02, 0x7B0C, 0x7B0D, 0x7B3A, 0x7B0E, 0x7B49, 0x7B81}},
      {"CloseAuthenticateActionRetrieveDataRequest",
       {0x7B47, 0x7B0C, 0x7B0D, 0x7B3A, 0x7B0E, 0x7B81}},
      {"AuthenticateSetFactorRequest", {0x7B47, 0x7B14}},
      {"AuthenticationStatusData",
       {0x7B47, 0x7B01, 0x7B02, 0x7B44, 0x7B42, 0x7B43, 0x7B41, 0x7B4A, 0x7B48, 0x7B4B}},
      {"FactorStatusData", {0x7B14, 0x7B45, 0x7B5E}},
      {"SmartCardDataForEnrollment", {0x7B5C, 0x7B5B, 0x7B5D, 0x7B01, 0x7B5F}},
      {"SmartCardChallengeResponse", {0x7B0E, 0x7B5D, 0x7B5B, 0x7B5F}},
      {"ValidateChallengeResponseRequest", {0x7B0E, 0x7B01}},
      {"FactorDiscoveryFactorData", {0x7B14, 0x7B04, 0x7B3E, 0x7B3F, 0x7B02}},
      {"GetFactorEnrollmentParametersResponse", {0x7B96, 0x7B97, 0x7B91}},
      {"FileData", {0x7BB0, 0x7BB1}},
  };
  for (const auto& [name, tags] : expected) {
    const CatalogueEntry* entry = FindMessageClass(name);
    ASSERT_NE(entry, nullptr) << name;
    std::vector<uint16_t> written;
    for (const FieldInfo& field : entry->schema()) written.push_back(field.tag);
    EXPECT_EQ(written, tags) << name;
  }
}

TEST(CatalogueLayoutTest, WrittenOnlyFieldsAreNotRead) {
  ClearActionTimeoutCacheRequest request;
  request.actionId = "OSLogin";
  const Bytes wire = request.Serialize();
  EXPECT_EQ(TlvToString(GetTlv(ParseTlv(wire), 0x7B02)), "OSLogin");
  ClearActionTimeoutCacheRequest read;
  read.Deserialize(wire);
  EXPECT_EQ(read.actionId, "");
  read.Deserialize(Bytes{});  // reading requires nothing

  GetFactorEnrollmentParametersResponse parameters;
  parameters.parameters = {1};
  GetFactorEnrollmentParametersResponse readParameters;
  readParameters.Deserialize(Bytes{});
  Bytes only91;
  AppendTlv(only91, 0x7B91, Bytes{9});
  readParameters.Deserialize(only91);
  EXPECT_EQ(readParameters.parameters, Bytes{9});
}

TEST(CatalogueLayoutTest, AbsentOptionalFieldsKeepTheirValues) {
  // The authentication state manager decodes each reply into the record it holds.
  AuthenticationStatusData status;
  status.active = true;
  status.errorCode = 0xA0000031;
  status.factors.resize(1);
  AuthenticationStatusData update;
  update.state = 2;
  Bytes wire;
  for (const auto& field : AuthenticationStatusData::Fields()) {
    if (field.presence == Presence::kRequired) field.write(update, field, wire);
  }
  status.Deserialize(wire);
  EXPECT_EQ(status.state, 2);
  EXPECT_TRUE(status.active);
  EXPECT_EQ(status.errorCode, 0xA0000031u);
  EXPECT_EQ(status.factors.size(), 1u);
}

TEST(CatalogueLayoutTest, NestedAndListFieldsUseTheirElementTags) {
  GetPolicyActionFactorsDataResponse::ActionFactorDiscoveryData data;
  data.user = "S-1";
  data.action.sets.resize(2);
  data.action.sets[1].factorId = "PhysicalSmartcard";
  const Bytes wire = data.Serialize();
  const uint8_t* action = GetTlv(ParseTlv(wire), 0x7B54);
  const TlvIndex inner = ParseTlv(TlvValueBegin(action), TlvValueEnd(action));
  const uint8_t* sets = GetTlv(inner, 0x7B40);
  EXPECT_EQ(TlvTag(TlvValueBegin(sets)), 0x7B4F);
  GetPolicyActionFactorsDataResponse::ActionFactorDiscoveryData read;
  read.Deserialize(wire);
  ASSERT_EQ(read.action.sets.size(), 2u);
  EXPECT_EQ(read.action.sets[1].factorId, "PhysicalSmartcard");
}

TEST(CatalogueTest, EveryClassIsListedOnceAndFoundByName) {
  std::set<std::string> names;
  for (const CatalogueEntry& entry : MessageCatalogue()) {
    EXPECT_TRUE(names.insert(entry.name).second) << entry.name;
    EXPECT_EQ(FindMessageClass(entry.name), &entry);
  }
  EXPECT_GE(names.size(), 55u);
  EXPECT_EQ(FindMessageClass("SaveRequest"), FindMessageClass("mfab::SaveRequest"));
  EXPECT_EQ(FindMessageClass("NoSuchRequest"), nullptr);
}

TEST(CatalogueTest, PayloadClassesOfTheEngineMessageTypes) {
  const std::pair<uint32_t, const char*> expected[] = {
      {0xABBA0001, "mfab::SaveRequest"},
      {0xABBA0002, "mfab::SaveResponse"},
      {0xABBA001A, "mfab::BooleanResponse"},
      {0xABBA003C, "mfab::FpRequest"},
      {0xABBA0078, "mfab::DataMigrationMessage"},
      {0xABBA007B, "AuthenticateFlows::AuthenticateFactorRequest"},
      {0xABBA007F, "SmartCardFactor::SmartCardDataForEnrollment"},
      {0xABBAAAAA, "mfab::ErrorMessage"},
      {0xABBA0009, "mfab::ActionAuthenticateRequest"},
  };
  for (const auto& [type, name] : expected) {
    ASSERT_NE(PayloadClassOf(type), nullptr) << std::hex << type;
    EXPECT_STREQ(PayloadClassOf(type)->name, name);
  }
  EXPECT_EQ(PayloadClassOf(message_type::kClearDataRequest), nullptr);
  EXPECT_EQ(PayloadClassOf(message_type::kUnset), nullptr);
  EXPECT_EQ(MessageTypesOf(*FindMessageClass("DataMigrationMessage")),
            (std::vector<uint32_t>{0xABBA0078, 0xABBA0079}));
}

}  // namespace
}  // namespace mfab
