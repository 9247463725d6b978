// The applet's own formats: policy validation, sealed blobs, the state files and the strict reader.

#include <set>

#include <gtest/gtest.h>

#include "sim/applet/field_reader.h"
#include "sim/applet/firmware.h"
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

TEST(PolicyRecordTest, HandWrittenPolicyReadsAndRoundTrips) {
  const Bytes payload =
      PolicyOf(Concat({Factor("Pin"), Factor("Phone")}), Action("OSLogin", {"Pin", "Phone"}));
  const Policy policy = ParsePolicy(payload);
  ASSERT_EQ(policy.factors.size(), 2u);
  EXPECT_EQ(policy.factors[1].id, "Phone");
  EXPECT_FALSE(policy.factors[1].isSupported);
  ASSERT_EQ(policy.actions.size(), 1u);
  EXPECT_EQ(policy.actions[0].sets[0][1].factorId, "Phone");
  EXPECT_EQ(ParsePolicy(SerializePolicy(policy)), policy);
  EXPECT_EQ(ParsePolicy(SamplePolicy()), ParsePolicy(SerializePolicy(ParsePolicy(SamplePolicy()))));
}

TEST(PolicyRecordTest, RefusesWhatTheRegistryMirrorCouldNotHold) {
  Bytes badFlag;
  mfab::AppendTlvInt(badFlag, tag::kIsUi, 2);
  Bytes many;
  for (int i = 0; i < 33; ++i) many = Concat({many, Factor("F" + std::to_string(i))});
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

TEST(SealingTest, BlobOpensOnlyWithItsKeyAndName) {
  SealingKey device{};
  device[0] = 7;
  const SealingKey key = DeriveSealingKey(device, 1);
  EXPECT_NE(key, DeriveSealingKey(device, 2));
  const Bytes record{1, 2, 3, 4, 5};
  const Bytes blob = SealBlob(key, "_Sys", {1, 42}, record);
  EXPECT_EQ(blob.size(), record.size() + kBlobOverhead);
  EXPECT_EQ(PeekBlobHeader(blob).version, 42u);
  EXPECT_EQ(OpenBlob(key, "_Sys", blob), record);
  EXPECT_NE(SealBlob(key, "_Sys", {1, 42}, record), blob);  // fresh nonce each time

  EXPECT_THROW(OpenBlob(key, "_Sys$Policy", blob), SealError);
  EXPECT_THROW(OpenBlob(DeriveSealingKey(device, 2), "_Sys", blob), SealError);
  for (size_t i = 0; i < blob.size(); ++i) {
    Bytes altered = blob;
    altered[i] ^= 0x80;
    EXPECT_THROW(OpenBlob(key, "_Sys", altered), SealError) << "byte " << i;
  }
  EXPECT_THROW(OpenBlob(key, "_Sys", Bytes(blob.begin(), blob.begin() + 40)), SealError);
}

TEST(StateFileTest, VersionTableAcceptsCurrentAndNewerOnly) {
  const VersionTable table =
      ParseVersionsFile("generation 9\nreserved 11\ndata-svn 2\nfile _Sys 9\nfile _Sys$Policy 5\n");
  EXPECT_EQ(FormatVersionsFile(table),
            "generation 9\nreserved 11\ndata-svn 2\nfile _Sys 9\nfile _Sys$Policy 5\n");
  EXPECT_TRUE(table.Accepts("_Sys$Policy", 5));
  EXPECT_TRUE(table.Accepts("_Sys$Policy", 10));  // written after the last confirmation
  EXPECT_FALSE(table.Accepts("_Sys$Policy", 4));
  EXPECT_FALSE(table.Accepts("_U1", 9));  // no entry: only what came after generation 9
  EXPECT_TRUE(table.Accepts("_U1", 10));
  EXPECT_THROW(ParseVersionsFile("generation nine\n"), std::runtime_error);
  EXPECT_THROW(ParseVersionsFile("file _Sys\n"), std::runtime_error);
}

TEST(StateFileTest, FirmwareFileKeepsUnknownKeysOutAndChecksValues) {
  const FirmwareInfo info = ParseFirmwareFile("# comment\nversion = 3.1.4\nsvn=7\nfuture=1\n");
  EXPECT_EQ(info.version, "3.1.4");
  EXPECT_EQ(info.svn, 7u);
  EXPECT_EQ(info.platform, kDefaultPlatformVersion);
  EXPECT_EQ(ParseFirmwareFile(FormatFirmwareFile(info)).version, "3.1.4");
  EXPECT_THROW(ParseFirmwareFile("version=" + std::string(50, '9') + "\n"), std::runtime_error);
  EXPECT_THROW(ParseFirmwareFile("svn=-1\n"), std::runtime_error);
}

TEST(StateFileTest, FirmwareKeepsItsDeviceKeyAcrossInstances) {
  TempDir dir;
  SealingKey first{};
  {
    Firmware firmware(dir.Path() + "/kiln-sim");
    first = firmware.KeyFor(1);
    firmware.Install("A", "/img");
    EXPECT_EQ(firmware.ReserveGeneration(), 1u);
  }
  Firmware again(dir.Path() + "/kiln-sim");
  EXPECT_EQ(again.KeyFor(1), first);
  EXPECT_EQ(again.InstalledImage("A"), "/img");
  EXPECT_EQ(again.ReserveGeneration(), 2u);
  EXPECT_EQ(dir.ReadFile("kiln-sim/device.key").size(), 32u);

  dir.WriteFile("kiln-sim/device.key", "short");
  EXPECT_THROW(Firmware(dir.Path() + "/kiln-sim"), std::runtime_error);
}

TEST(StateFileTest, CommitMergesChangesAndKeepsTheDataSvn) {
  TempDir dir;
  Firmware firmware(dir.Path());
  VersionChange first;
  first.generation = firmware.ReserveGeneration();
  first.set = {{"_Sys", first.generation}, {"_UA", first.generation}, {"_UA$E1", first.generation}};
  first.sealSvn = 3;
  firmware.Commit(first);
  VersionChange second;
  second.generation = firmware.ReserveGeneration();
  second.removePrefixes = {"_UA"};
  second.set = {{"_Sys", second.generation}};
  second.sealSvn = 4;
  firmware.Commit(second);
  const VersionTable table = firmware.Versions();
  EXPECT_EQ(table.generation, 2u);
  EXPECT_EQ(table.dataSvn, 3u);  // set by the first change to store data, not by later ones
  EXPECT_EQ(table.versions, (std::map<std::string, uint64_t>{{"_Sys", 2}}));
}

TEST(FieldReaderTest, NamesAndSids) {
  EXPECT_TRUE(IsSid("S-1-5-21-1-2-3-1001"));
  EXPECT_FALSE(IsSid("S-1-5--21"));
  EXPECT_FALSE(IsSid("S-1-5-"));
  EXPECT_FALSE(IsSid("S-1-5-21/../x"));
  EXPECT_TRUE(IsIdentifier("Smart_Card-2"));
  EXPECT_FALSE(IsIdentifier("Smart Card"));
  EXPECT_FALSE(IsIdentifier(std::string(65, 'a')));
  EXPECT_EQ(ClassifyName("_US-1-5-21-1-2-3-4$EPin").kind, RecordKind::kEnrollment);
  EXPECT_EQ(ClassifyName("_US-1-5-21-1-2-3-4$APin").kind, RecordKind::kOpaque);
  EXPECT_EQ(ClassifyName("_Ux").kind, RecordKind::kOpaque);
  EXPECT_FALSE(IsStoredName("../../etc/passwd"));
}

}  // namespace
}  // namespace kilnsim::testing
