#include "storage/mirror_records.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "common/exceptions.h"
#include "platform/registry.h"
#include "sim/applet/policy.h"
#include "sim/applet/records.h"
#include "tests/fakes/log_capture.h"
#include "tests/fakes/memory_registry.h"
#include "tests/fakes/registry_export.h"
#include "tlv/applet_tags.h"

namespace AuthenticateDataMirroring {
namespace {

using keystone::testing::ExportTree;
using mfab::Bytes;
using ::testing::HasSubstr;
using ::testing::ThrowsMessage;
namespace tag = mfab::applet_tag;

constexpr char kSid[] = "S-1-5-21-1-2-3-1001";
constexpr char kOtherSid[] = "S-1-5-21-1-2-3-1002";

kilnsim::PolicyFactor Factor(const std::string& id, uint32_t type,
                             std::vector<kilnsim::NameValue> parameters = {}) {
  return {id, "Name of " + id, type, true, false, true, false, 30, 5, std::move(parameters)};
}

// One TLV item; a braced list of bytes is Bytes.
template <typename Value = Bytes>
Bytes Item(uint16_t itemTag, const Value& value) {
  Bytes out;
  mfab::AppendTlv(out, itemTag, value);
  return out;
}
Bytes Text(uint16_t itemTag, const std::string& value) { return Item(itemTag, value); }
Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

class MirrorRecordsTest : public ::testing::Test {
 protected:
  // Writes the record, compares the subtree's export (when one is given), reads it back and
  // compares the record.
  template <typename Record>
  void RoundTrip(const Record& record, const char* subtree = nullptr,
                 const std::string& expected = "") {
    record.WriteToRegistry(registry);
    if (subtree) {
      EXPECT_EQ(ExportTree(registry, MirrorPath(subtree)), expected);
    }
    Record read;
    read.ReadFromRegistry(registry);
    EXPECT_EQ(read, record);
  }

  keystone::testing::MemoryRegistry registry;
};

TEST_F(MirrorRecordsTest, PolicyFactorsReplaceTheFactorsKey) {
  kilnsim::Policy policy;
  policy.factors = {Factor("phone", 2, {{"Channel", "4"}, {"MinRssi", "-70"}})};
  RoundTrip(PolicyFactors::Decode(kilnsim::SerializeFactorElements(policy)), kFactorsKey,
            "[]\n"
            "[phone]\nDefName=SZ Name of phone\nIsContinuous=DWORD 1\nIsHardened=DWORD 1\n"
            "IsSupported=DWORD 0\nIsUi=DWORD 0\nTimeoutSuccess=DWORD 30\n"
            "TimeoutUnsuccessful=DWORD 5\nType=DWORD 2\n"
            "[phone\\Parameters]\nChannel=SZ 4\nMinRssi=SZ -70\n");
  PolicyFactors two;
  two.factors["Pin"].defName = "PIN";
  two.factors["card"].type = 3;
  RoundTrip(two);
  RoundTrip(PolicyFactors(), kFactorsKey, "");
}

TEST_F(MirrorRecordsTest, PolicyActionsNumberTheirSetsInOrder) {
  RoundTrip(PolicyActions(), kActionsKey, "[]\n");
  kilnsim::Policy policy;
  // In name order: the store lists a set's factors by name.
  policy.actions = {
      {"OSLogin", {{{"phone", {{"Grace", "10"}}}, {"pin", {}}}, {{"pin", {{"Tries", "3"}}}}}}};
  RoundTrip(PolicyActions::Decode(kilnsim::SerializeActionElements(policy)), kActionsKey,
            "[]\n[OSLogin]\n[OSLogin\\Set1]\n[OSLogin\\Set1\\phone]\nGrace=SZ 10\n"
            "[OSLogin\\Set1\\pin]\n[OSLogin\\Set2]\n[OSLogin\\Set2\\pin]\nTries=SZ 3\n");
  // The store lists Set10 and Set11 before Set2; reading puts them back in number order.
  registry.DeleteTree(MirrorPath(kActionsKey));  // writing keeps actions already there
  PolicyActions many;
  many.actions.push_back({"VPN", {}});
  for (int i = 1; i <= 11; ++i) many.actions[0].sets.push_back({{"f" + std::to_string(i), {}}});
  RoundTrip(many);
}

TEST_F(MirrorRecordsTest, SystemParamsRoundTripWithTheirType) {
  kilnsim::Policy policy;
  policy.settings = {{"Empty", 7, {}}, {"LockOnLeave", 1, {'y', 'e', 's'}}};
  const SystemParams decoded = SystemParams::Decode(kilnsim::SerializeSettingElements(policy));
  RoundTrip(decoded, kSystemSettingsKey,
            "[]\n[Empty]\nType=DWORD 7\nValue=REG_BINARY \n"
            "[LockOnLeave]\nType=DWORD 1\nValue=REG_BINARY 796573\n");
}

// One user's reply replaces that user's entries; every user's reply carries the enrollment state
// and merges into what is there. Users the reply lacks go; DisplayName stays.
TEST_F(MirrorRecordsTest, UserDataReplyIsCompleteOnlyForOneUser) {
  const auto decode = [](const std::vector<kilnsim::UserData>& users) {
    return UserData::Decode(kilnsim::SerializeUserData(users));
  };
  const kilnsim::UserData full{
      kSid, {{"phone", {{"DeviceId", "00112233"}, {"IsEnrolled", "true"}}}, {"pin", {}}}};
  decode({full, {kOtherSid, {}}}).WriteToRegistry(registry, nullptr, "");
  platform::WriteRegistryValue(registry, MirrorPath(kUsersKey) + "\\" + kSid, kDisplayNameValue,
                               platform::RegValue::String("Alice"));
  const struct {
    const char* name;
    std::vector<kilnsim::UserData> reply;
    std::string requested;
    std::string expected;
  } cases[] = {
      {"every user: state only, pin gone, the other user gone",
       {{kSid, {{"phone", {{"IsEnrolled", "true"}}}}}}, "",
       "[]\n[S-1-5-21-1-2-3-1001]\nDisplayName=SZ Alice\n[S-1-5-21-1-2-3-1001\\phone]\n"
       "DeviceId=SZ 00112233\nIsEnrolled=SZ true\n"},
      {"one user: replaced whole", {{kSid, {{"phone", {{"IsEnrolled", "TRUE"}}}}}}, kSid,
       "[]\n[S-1-5-21-1-2-3-1001]\nDisplayName=SZ Alice\n[S-1-5-21-1-2-3-1001\\phone]\n"
       "IsEnrolled=SZ TRUE\n"},
      {"one user the applet does not know: removed", {}, kSid, "[]\n"},
  };
  for (const auto& c : cases) {
    decode(c.reply).WriteToRegistry(registry, nullptr, c.requested);
    EXPECT_EQ(ExportTree(registry, MirrorPath(kUsersKey)), c.expected) << c.name;
  }
  decode({full}).WriteToRegistry(registry, nullptr, kSid);
  UserData read;
  read.ReadFromRegistry(registry, nullptr, kSid);
  EXPECT_EQ(read, decode({full}));
}

TEST_F(MirrorRecordsTest, DecodeRefusesWhatTheMirrorCannotHold) {
  const auto nameValue = [](const std::string& name) {
    return Item(tag::kNameValue, Join({Text(tag::kName, name), Text(tag::kValue, "1")}));
  };
  const auto factor = [](const std::string& id, const Bytes& extra = {}) {
    return Item(tag::kFactor, Join({Text(tag::kFactorId, id), Text(tag::kFactorName, "n"),
                                    Item(tag::kFactorType, {0, 0, 0, 1}), extra}));
  };
  const auto user = [](const std::string& sid, const std::string& factorId) {
    return Item(tag::kUserData,
                Join({Text(tag::kUser, sid),
                      Item(tag::kUserEntries,
                           Item(tag::kUserEntry, Join({Text(tag::kFactorId, factorId),
                                                       Item(tag::kNameValues, {})})))}));
  };
  const struct {
    const char* name;
    std::function<void()> decode;
    const char* text;
  } cases[] = {
      {"truncated", [&] { PolicyFactors::Decode(Bytes{0x7C, 0x02, 0x00}); }, "policy factors"},
      {"no type", [&] { PolicyFactors::Decode(Item(tag::kFactor, Text(tag::kFactorId, "a"))); },
       "lacks 0x7c03"},
      {"backslash", [&] { PolicyFactors::Decode(factor("a\\b")); }, "cannot name a registry key"},
      {"case twins", [&] { PolicyFactors::Decode(Join({factor("Pin"), factor("PIN")})); },
       "repeated (names ignore case)"},
      {"long integer",
       [&] { PolicyFactors::Decode(factor("a", Item(tag::kIsUi, {0, 0, 0, 0, 1}))); },
       "Not an integer value."},
      {"parameter twins",
       [&] {
         PolicyFactors::Decode(
             factor("a", Item(tag::kNameValues, Join({nameValue("A"), nameValue("a")}))));
       },
       "factor parameter 'a' repeated"},
      {"not a SID", [&] { UserData::Decode(user("S-1-x", "pin")); }, "is not a SID"},
      {"empty factor", [&] { UserData::Decode(user(kSid, "")); }, "cannot name a registry key"},
      {"setting without value",
       [&] {
         SystemParams::Decode(Item(tag::kSetting, Join({Text(tag::kSettingName, "s"),
                                                        Item(tag::kSettingType, {1})})));
       },
       "lacks 0x7c24"},
  };
  for (const auto& c : cases) {
    EXPECT_THAT(c.decode, ThrowsMessage<mfab::GeneralException>(HasSubstr(c.text))) << c.name;
  }
}

TEST_F(MirrorRecordsTest, RegistryFailuresThrowTheMirrorsExceptions) {
  auto capture = keystone::testing::LogCapture::Install();
  platform::WriteRegistryValue(registry, MirrorPath(kFactorsKey) + "\\pin", "DefName",
                               platform::RegValue::Dword(1));
  EXPECT_THROW(PolicyFactors().ReadFromRegistry(registry), mfab::ReadMirrorDataException);
  EXPECT_TRUE(capture->Has("Error reading from registry (1629)"));
  registry.SetFailure(platform::RegistryErrc::kIoFailed);
  EXPECT_THROW(UserData().ReadFromRegistry(registry), mfab::ReadMirrorDataException);
  EXPECT_TRUE(capture->Has("Error reading from registry (1016)"));
  EXPECT_THROW(PolicyActions().WriteToRegistry(registry), mfab::WriteMirrorDataException);
  capture->Uninstall();
}

}  // namespace
}  // namespace AuthenticateDataMirroring
