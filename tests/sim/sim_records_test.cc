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

// The registry mirror holds at most 32 factors; a 33rd is refused.
TEST(PolicyRecordTest, AcceptsOnlyWholePoliciesWithinTheFactorLimit) {
  Policy policy = ParsePolicy(SamplePolicy());
  policy.actions.clear();
  policy.factors.resize(33, policy.factors[0]);
  for (size_t i = 0; i < 33; ++i) policy.factors[i].id = "F" + std::to_string(i);
  const Bytes tooMany = SerializePolicy(policy);
  policy.factors.pop_back();
  EXPECT_EQ(ParsePolicy(SerializePolicy(policy)), policy);
  try {
    ParsePolicy(tooMany);
    ADD_FAILURE() << "33 factors accepted";
  } catch (const AppletError& error) {
    EXPECT_EQ(error.Code(), sim_error::kInvalidPolicy);
    EXPECT_NE(std::string(error.what()).find("more than 32"), std::string::npos) << error.what();
  }

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

TEST(SealingTest, BlobOpensOnlyAsSealed) {
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

TEST(FieldReaderTest, ValidatesNames) {
  EXPECT_TRUE(IsSid("S-1-5-21-1-2-3-1001"));
  EXPECT_FALSE(IsSid("S-1-5--21"));
  EXPECT_FALSE(IsSid("S-1-5-21/../x"));
  EXPECT_TRUE(IsIdentifier("Smart_Card-2"));
  EXPECT_FALSE(IsIdentifier("Smart Card"));
  EXPECT_TRUE(IsIdentifier(std::string(64, 'a')));
  EXPECT_FALSE(IsIdentifier(std::string(65, 'a')));
  EXPECT_EQ(ClassifyName("_US-1-5-21-1-2-3-4$EPin").kind, RecordKind::kEnrollment);
  EXPECT_EQ(ClassifyName("_Ux").kind, RecordKind::kOpaque);
  EXPECT_FALSE(IsStoredName("../../etc/passwd"));
}

}  // namespace
}  // namespace kilnsim::testing
