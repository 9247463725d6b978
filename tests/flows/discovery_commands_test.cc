#include "flows/discovery_commands.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/config_keys.h"
#include "common/exceptions.h"
#include "platform/registry.h"
#include "storage/authenticate_data_mirroring.h"
#include "storage/data_controller.h"
#include "storage/user_records_interface.h"
#include "tests/fakes/fake_mirroring_host.h"
#include "tests/fakes/log_capture.h"
#include "tests/fakes/memory_file_system.h"
#include "tests/fakes/memory_registry.h"
#include "tests/fakes/thrown.h"
#include "tlv/applet_tags.h"
#include "tlv/discovery_messages.h"

namespace mfab {
namespace {

using ActionFactorDiscoveryData = GetPolicyActionFactorsDataResponse::ActionFactorDiscoveryData;
namespace field = discovery_field;

constexpr char kSid[] = "S-1-5-21-1-2-3-1001";
constexpr char kPinUser[] = "S-1-5-21-1-2-3-1003";

class ListedUsers : public IUserRecords {
 public:
  void updateUserRecord() override {}
  std::vector<std::string> LoadUserList() override { return users; }
  Bytes getSavedDisplayName(const std::string&) override { return {}; }
  std::vector<std::string> users;
};

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

// The items of a sequence as (tag, value text) pairs.
std::vector<std::pair<uint16_t, std::string>> Pairs(const Bytes& bytes, uint16_t itemTag,
                                                    uint16_t nameTag, uint16_t valueTag) {
  std::vector<std::pair<uint16_t, std::string>> out;
  const uint8_t* end = bytes.data() + bytes.size();
  ParseTlv(bytes);
  for (const uint8_t* item = bytes.data(); item != end; item = TlvNext(item)) {
    EXPECT_EQ(TlvTag(item), itemTag);
    const TlvIndex fields = ParseTlv(TlvValueBegin(item), TlvValueEnd(item));
    out.emplace_back(0, TlvToString(GetTlv(fields, nameTag)) + "=" +
                            TlvToString(GetTlv(fields, valueTag)));
  }
  return out;
}

class DiscoveryCommandsTest : public ::testing::Test {
 protected:
  ~DiscoveryCommandsTest() override { capture->Uninstall(); }

  // A policy of a PIN, a supported continuous phone with a parameter, and OSLogin by
  // phone+pin or pin; the user has enrolled the phone.
  void MirrorPolicy() {
    kilnsim::Policy policy;
    policy.factors = {{"phone", "Phone", 2, true, true, false, true, 0, 0, {{"MinRssi", "-70"}}},
                      {"pin", "PIN", 1, false, false, true, false, 0, 0, {}}};
    policy.actions = {{"OSLogin", {{{"phone", {}}, {"pin", {}}}, {{"pin", {}}}}}};
    host.SetPolicy(keystone::testing::PolicyReply(policy));
    host.SetUsers(keystone::testing::UserDataReply(
        {{kSid, {{"phone", {{"DeviceId", "0011"}, {"IsEnrolled", "true"}}}, {"pin", {}}}},
         {kPinUser, {{"pin", {{"IsEnrolled", "true"}}}}}}));
    mirroring.UpdateAll();
  }
  Bytes Discover(int16_t kind, const std::string& data, const std::string& user = kSid) {
    return discovery.Discover(kind, Text(data), user, "");
  }

  std::shared_ptr<keystone::testing::LogCapture> capture = keystone::testing::LogCapture::Install();
  keystone::testing::MemoryRegistry registry;
  keystone::testing::MemoryFileSystem files;
  DataController controller{registry, files};
  keystone::testing::FakeMirroringHost host;
  AuthenticateDataMirroring mirroring{registry, controller, host};
  ListedUsers users;
  DiscoveryCommands discovery{mirroring, users};
};

TEST_F(DiscoveryCommandsTest, PolicyListsEachFactorWithTheUsersState) {
  MirrorPolicy();
  FactorDiscovery reply;
  reply.Deserialize(Discover(1, ""));
  EXPECT_EQ(reply.user, kSid);
  ASSERT_EQ(reply.factors.size(), 2u);
  EXPECT_EQ(reply.factors[0].factorId, "phone");
  EXPECT_EQ(reply.factors[0].text04, "Phone");
  EXPECT_EQ(reply.factors[0].value3E, 2);
  EXPECT_EQ(reply.factors[0].value3F,
            field::kEnrolled | field::kSupported | field::kContinuous | field::kUi);
  EXPECT_EQ(reply.factors[1].factorId, "pin");
  EXPECT_EQ(reply.factors[1].value3F, field::kHardened);  // not enrolled
  EXPECT_EQ(capture->Count("PolicyDiscoveryCommand::Discover"), 3);  // FLOW, AM-START, AM-END
}

TEST_F(DiscoveryCommandsTest, ActionListsItsFactorSetsWithTheUsersState) {
  MirrorPolicy();
  ActionFactorDiscoveryData reply;
  reply.Deserialize(Discover(0, "OSLogin"));
  EXPECT_EQ(reply.user, kSid);
  EXPECT_EQ(reply.action.text56, "OSLogin");
  ASSERT_EQ(reply.action.sets.size(), 2u);
  EXPECT_EQ(reply.action.sets[0].factorId, "phone,pin");
  EXPECT_EQ(reply.action.sets[1].factorId, "pin");
  EXPECT_EQ(reply.action.value4C, 2);
  EXPECT_EQ(reply.action.value4D, 0);  // the user has no whole set: the PIN is missing
  EXPECT_EQ(reply.action.value55, 2);
  const Bytes factors(reply.action.text57.begin(), reply.action.text57.end());
  const auto named = ReadTlvListElements<FactorDiscoveryFactorData>(
      factors.data(), factors.data() + factors.size(), discovery_tag::kFactorData);
  ASSERT_EQ(named.size(), 2u);
  EXPECT_EQ(named[0].factorId, "phone");
  EXPECT_EQ(named[0].text02, "OSLogin");
  EXPECT_NE(named[0].value3F & field::kEnrolled, 0);
  EXPECT_EQ(named[1].value3F & field::kEnrolled, 0);

  reply.Deserialize(Discover(0, "OSLogin", kPinUser));
  EXPECT_EQ(reply.action.value4D, 2);
}

TEST_F(DiscoveryCommandsTest, EnrollmentValuesOfAnEnrolledFactorOnly) {
  MirrorPolicy();
  EXPECT_EQ(Pairs(Discover(2, "phone"), discovery_tag::kEnrollmentValue,
                  discovery_tag::kValueName, discovery_tag::kValueText),
            (std::vector<std::pair<uint16_t, std::string>>{{0, "DeviceId=0011"},
                                                           {0, "IsEnrolled=true"}}));
  EXPECT_TRUE(Discover(2, "pin").empty());
  EXPECT_TRUE(Discover(2, "phone", "not a SID").empty());
}

TEST_F(DiscoveryCommandsTest, EachOtherKindAnswersItsOwnData) {
  MirrorPolicy();
  GetFactorEnrollmentParametersResponse parameters;
  parameters.Deserialize(Discover(4, "phone", ""));
  EXPECT_EQ(Pairs(parameters.parameters, applet_tag::kNameValue, applet_tag::kName,
                  applet_tag::kValue),
            (std::vector<std::pair<uint16_t, std::string>>{{0, "MinRssi=-70"}}));
  const Bytes reply = Discover(4, "phone", "");
  const TlvIndex written = ParseTlv(reply);
  EXPECT_EQ(TlvToString(GetTlv(written, discovery_tag::kParametersFactorId)), "phone");
  EXPECT_EQ(TlvToString(GetTlv(written, discovery_tag::kParametersFactorName)), "Phone");

  EXPECT_TRUE(Discover(3, "").empty());
  users.users = {kSid, "S-1-5-21-1-2-3-1002"};
  UsersDiscovery listed;
  listed.Deserialize(Discover(3, ""));
  EXPECT_EQ(listed.users, std::string(kSid) + ",S-1-5-21-1-2-3-1002");
  EXPECT_TRUE(Discover(5, "").empty());
  EXPECT_TRUE(Discover(-1, "").empty());
}

TEST_F(DiscoveryCommandsTest, FailuresOfEachKind) {
  for (int16_t kind : {0, 1, 4}) {
    EXPECT_THROW(Discover(kind, "phone"), PolicyNotSetException) << kind;
  }
  EXPECT_TRUE(capture->Has("Policy Not Set"));
  MirrorPolicy();
  EXPECT_EQ(keystone::testing::Thrown<InvalidParamException>([&] { Discover(0, "VPN"); }),
            "Invalid action (0xA0000035)");
  EXPECT_TRUE(capture->Has("Invalid Action"));
  EXPECT_EQ(keystone::testing::Thrown<InvalidApiCallException>([&] { Discover(4, "card"); }),
            "Factor [card] Not Found in policy (0xA0000035)");
  EXPECT_TRUE(capture->Has("Factor Not Found"));
  registry.SetFailure(platform::RegistryErrc::kIoFailed);
  EXPECT_THROW(Discover(1, ""), ReadMirrorDataException);
}

}  // namespace
}  // namespace mfab
