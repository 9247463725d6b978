// The applet's own formats: policy validation, sealed blobs and the strict reader.

#include <set>

#include <gtest/gtest.h>

#include "sim/applet/field_reader.h"
#include "sim/applet/policy.h"
#include "sim/applet/protocol.h"
#include "sim/applet/records.h"
#include "sim/applet/sealing.h"
#include "tests/sim/sim_test_support.h"
#include "tlv/tlv.h"

namespace kilnsim::testing {
namespace {

Bytes Item(uint16_t itemTag, const Bytes& value) {
  Bytes out;
  mfab::AppendTlv(out, itemTag, value);
  return out;
}

Bytes Text(uint16_t itemTag, std::string_view value) {
  Bytes out;
  mfab::AppendTlv(out, itemTag, value);
  return out;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

Bytes Factor(std::string_view id, std::initializer_list<Bytes> extra = {}) {
  Bytes type;
  mfab::AppendTlvInt(type, tag::kFactorType, 1);
  Bytes fields = Concat({Text(tag::kFactorId, id), Text(tag::kFactorName, "Some factor"), type});
  for (const Bytes& part : extra) fields.insert(fields.end(), part.begin(), part.end());
  return Item(tag::kFactor, fields);
}

Bytes PolicyOf(const Bytes& factors, const Bytes& actions = {}) {
  Bytes out = Item(tag::kFactors, factors);
  if (!actions.empty()) {
    const Bytes container = Item(tag::kActions, actions);
    out.insert(out.end(), container.begin(), container.end());
  }
  return out;
}

Bytes Action(std::string_view id, std::initializer_list<std::string_view> set) {
  Bytes entries;
  for (std::string_view factor : set) {
    const Bytes entry = Item(tag::kSetEntry, Text(tag::kFactorId, factor));
    entries.insert(entries.end(), entry.begin(), entry.end());
  }
  return Item(tag::kAction, Concat({Text(tag::kActionId, id),
                                    Item(tag::kFactorSets, Item(tag::kFactorSet, entries))}));
}

TEST(PolicyRecordTest, HandWrittenPolicyRoundTripsAndWhatTheMirrorCouldNotHoldIsRefused) {
  const Policy policy = ParsePolicy(
      PolicyOf(Concat({Factor("Pin"), Factor("Phone")}), Action("OSLogin", {"Pin", "Phone"})));
  EXPECT_EQ(policy.actions.at(0).sets.at(0).at(1).factorId, "Phone");
  EXPECT_EQ(ParsePolicy(SerializePolicy(policy)), policy);

  Bytes badFlag;
  mfab::AppendTlvInt(badFlag, tag::kIsUi, 2);
  Bytes many;
  for (int i = 0; i < 32; ++i) many = Concat({many, Factor("F" + std::to_string(i))});
  EXPECT_NO_THROW(ParsePolicy(PolicyOf(many)));
  many = Concat({many, Factor("F32")});
  const struct {
    Bytes payload;
    const char* reason;
  } cases[] = {
      {PolicyOf({}), "no factor"},
      {PolicyOf(Concat({Factor("Pin"), Factor("Pin")})), "repeated"},
      {PolicyOf(Factor("Pin\\x")), "not an identifier"},
      {PolicyOf(Factor("Pin"), Action("VPN", {"Retina"})), "Retina"},
      {PolicyOf(Factor("Pin"), Action("VPN", {"Pin", "Pin"})), "twice"},
      {PolicyOf(Factor("Pin"), Action("VPN", {})), "empty factor set"},
      {PolicyOf(Factor("Pin", {Text(0x7C99, "x")})), "unexpected item 0x7C99"},
      {PolicyOf(Factor("Pin", {Text(tag::kFactorName, "again")})), "repeated"},
      {PolicyOf(Factor("Pin", {badFlag})), "0 or 1"},
      {PolicyOf(Factor("Pin", {Text(tag::kNameValues, "\x7C\x0C\x00")})), "truncated"},
      {PolicyOf(many), "more than 32"},
  };
  for (const auto& c : cases) {
    try {
      ParsePolicy(c.payload);
      ADD_FAILURE() << c.reason << ": accepted";
    } catch (const AppletError& error) {
      EXPECT_EQ(error.Code(), sim_error::kInvalidPolicy) << c.reason;
      EXPECT_NE(std::string(error.what()).find(c.reason), std::string::npos) << error.what();
    }
  }
}

TEST(PolicyRecordTest, EveryTruncationIsRefusedCleanly) {
  const Bytes payload = SamplePolicy();
  // Cut after the factors or the actions, what remains is a smaller valid policy.
  std::set<size_t> boundaries;
  for (const TlvItem& item : SplitTlv(payload, 8, 0, "policy")) {
    boundaries.insert(static_cast<size_t>(item.value.data() + item.value.size() - payload.data()));
  }
  for (size_t length = 0; length < payload.size(); ++length) {
    const std::span<const uint8_t> cut(payload.data(), length);
    if (boundaries.count(length) != 0) {
      EXPECT_NO_THROW(ParsePolicy(cut)) << length;
    } else {
      EXPECT_THROW(ParsePolicy(cut), AppletError) << length;
    }
  }
}

TEST(SealingTest, BlobOpensOnlyWithItsKeyAndNameAndUnaltered) {
  const SealingKey key = DeriveSealingKey(SealingKey{7}, 1);
  const Bytes record{1, 2, 3, 4, 5};
  const Bytes blob = SealBlob(key, "_Sys", {1, 42}, record);
  EXPECT_EQ(OpenBlob(key, "_Sys", blob), record);
  EXPECT_NE(SealBlob(key, "_Sys", {1, 42}, record), blob);  // fresh nonce each time
  EXPECT_THROW(OpenBlob(DeriveSealingKey(SealingKey{7}, 2), "_Sys", blob), SealError);
  for (size_t i = 0; i < blob.size(); ++i) {
    Bytes altered = blob;
    altered[i] ^= 0x80;
    EXPECT_THROW(OpenBlob(key, "_Sys", altered), SealError) << "byte " << i;
  }
  EXPECT_THROW(OpenBlob(key, "_Sys", Bytes(blob.begin(), blob.end() - 1)), SealError);
}

TEST(FieldReaderTest, NamesAndSids) {
  EXPECT_TRUE(IsSid("S-1-5-21-1-2-3-1001"));
  EXPECT_FALSE(IsSid("S-1-5--21"));
  EXPECT_FALSE(IsSid("S-1-5-"));
  EXPECT_FALSE(IsSid("S-1-5-21/../x"));
  EXPECT_TRUE(IsIdentifier("Smart_Card-2"));
  EXPECT_FALSE(IsIdentifier("Smart Card"));
  EXPECT_TRUE(IsIdentifier(std::string(64, 'a')));
  EXPECT_FALSE(IsIdentifier(std::string(65, 'a')));
  EXPECT_EQ(ClassifyName("_US-1-5-21-1-2-3-4$EPin").kind, RecordKind::kEnrollment);
  EXPECT_EQ(ClassifyName("_US-1-5-21-1-2-3-4$APin").kind, RecordKind::kOpaque);
  EXPECT_EQ(ClassifyName("_Ux").kind, RecordKind::kOpaque);
  EXPECT_FALSE(IsStoredName("../../etc/passwd"));
}

}  // namespace
}  // namespace kilnsim::testing
