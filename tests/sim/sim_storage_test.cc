// Sealed storage through the host: the policy, enrollment data, removal of a user, clearing, and
// the refusal of blobs that were altered, moved, rolled back or deleted.

#include <gtest/gtest.h>

#include "sim/applet/policy.h"
#include "sim/applet/protocol.h"
#include "sim/applet/records.h"
#include "tests/sim/sim_test_support.h"
#include "tlv/client_messages.h"
#include "tlv/host_messages.h"

namespace kilnsim::testing {
namespace {

namespace mt = mfab::message_type;
constexpr char kSid[] = "S-1-5-21-11-22-33-1001";

class SimStorageTest : public ::testing::Test {
 protected:
  void SetPolicy(SimClient& client, const Bytes& policy = SamplePolicy()) {
    const mfab::Message reply = client.Run(MakeRequest(sim_type::kSetPolicyRequest, policy));
    ASSERT_EQ(reply.messageType, sim_type::kSetPolicyResponse) << ErrorTextOf(reply);
    ASSERT_EQ(BooleanOf(reply), 0);
  }

  void Enroll(SimClient& client, const std::string& sid, const std::string& factor) {
    mfab::SaveEnrollmentDataRequest store;
    store.user = sid;
    store.factorId = factor;
    const mfab::Message reply =
        client.Run(MakeRequest(mt::kSaveEnrollmentDataRequest, store.Serialize()));
    ASSERT_EQ(reply.messageType, mt::kSaveEnrollmentDataResponse) << ErrorTextOf(reply);
  }

  mfab::Message GetPolicy(SimClient& client) {
    return client.Send(0, MakeRequest(mt::kGetPolicyDataRequest));
  }

  std::vector<UserData> GetUsers(SimClient& client, const std::string& sid) {
    mfab::GetUserDataRequest query;
    query.user = sid;
    const mfab::Message reply = client.Send(
        0, MakeRequest(mt::kGetUserDataRequest, query.Serialize()),
        host.Block(
            {UserRootName(sid), EnrollmentName(sid, "SmartCard"), EnrollmentName(sid, "Phone")},
            {0x0101}, sid));
    EXPECT_EQ(reply.messageType, sim_type::kGetUserDataResponse) << ErrorTextOf(reply);
    mfab::GetUserDataResponse response;
    response.Deserialize(reply.payload);
    return ParseUserData(response.userData);
  }

  SimStateDir state;
  HostDouble host;
};

TEST_F(SimStorageTest, SetPolicyStoresSealedBlobsThroughTheHost) {
  SimClient client(host);
  const mfab::Message save =
      client.Send(0, MakeRequest(sim_type::kSetPolicyRequest, SamplePolicy("Card of Alice"), 31));
  ASSERT_EQ(save.messageType, mt::kSaveRequest) << ErrorTextOf(save);
  EXPECT_FALSE(save.isResponse);
  EXPECT_EQ(save.sessionId, 31u);
  mfab::SaveRequest request;
  request.Deserialize(save.payload);
  EXPECT_EQ(request.firstFileName, "_Sys");
  EXPECT_EQ(request.secondFileName, "_Sys$Policy");
  const std::string blob(request.secondFileData.begin(), request.secondFileData.end());
  EXPECT_EQ(blob.find("Card of Alice"), std::string::npos);  // opaque to the host

  // Nothing is in force before the host confirms.
  EXPECT_EQ(state.ReadFile("versions").find("_Sys$Policy"), std::string::npos);
  const mfab::Message reply = client.Send(0, *host.Answer(save));
  EXPECT_EQ(reply.messageType, sim_type::kSetPolicyResponse);
  EXPECT_TRUE(reply.isResponse);
  EXPECT_EQ(BooleanOf(reply), 0);
  EXPECT_NE(state.ReadFile("versions").find("file _Sys$Policy "), std::string::npos);

  const mfab::Message policy = GetPolicy(client);
  ASSERT_EQ(policy.messageType, sim_type::kGetPolicyDataResponse);
  mfab::GetPolicyDataResponse response;
  response.Deserialize(policy.payload);
  const Policy expected = ParsePolicy(SamplePolicy("Card of Alice"));
  EXPECT_EQ(response.factorsData, SerializeFactorElements(expected));
  EXPECT_EQ(response.actionsData, SerializeActionElements(expected));
  EXPECT_EQ(response.systemParamsData, SerializeSettingElements(expected));
}

TEST_F(SimStorageTest, PolicyComesBackFromDeliveredBlobsAfterARestart) {
  {
    SimClient first(host);
    SetPolicy(first);
  }  // every handle gone: the next one reads the state directory afresh
  SimClient second(host);
  const mfab::Message policy = GetPolicy(second);
  ASSERT_EQ(policy.messageType, sim_type::kGetPolicyDataResponse) << ErrorTextOf(policy);

  // Without the stored data the applet knows of no policy.
  HostDouble empty;
  SimClient third(empty);
  EXPECT_EQ(ErrorCodeOf(GetPolicy(third)), sim_error::kPolicyNotSet);
}

TEST_F(SimStorageTest, UnconfirmedChangeIsDropped) {
  SimClient client(host);
  const mfab::Message save =
      client.Send(0, MakeRequest(sim_type::kSetPolicyRequest, SamplePolicy()));
  ASSERT_EQ(save.messageType, mt::kSaveRequest);
  EXPECT_EQ(ErrorCodeOf(GetPolicy(client)), sim_error::kPolicyNotSet);
  EXPECT_EQ(ErrorCodeOf(client.Send(0, *host.Answer(save))), sim_error::kUnexpectedMessage);
}

TEST_F(SimStorageTest, InvalidPolicyIsRefusedWithItsReason) {
  SimClient client(host);
  Policy policy = ParsePolicy(SamplePolicy());
  policy.actions[0].sets[0][0].factorId = "Retina";
  const mfab::Message reply =
      client.Send(0, MakeRequest(sim_type::kSetPolicyRequest, SerializePolicy(policy)));
  EXPECT_EQ(ErrorCodeOf(reply), sim_error::kInvalidPolicy);
  EXPECT_NE(ErrorTextOf(reply).find("Retina"), std::string::npos);
}

TEST_F(SimStorageTest, AlteredOrMovedBlobsAreRefused) {
  {
    SimClient client(host);
    SetPolicy(client);
  }
  const Bytes original = host.store["_Sys$Policy"];
  host.store["_Sys$Policy"][40] ^= 0x01;
  {
    SimClient client(host);
    const mfab::Message reply = GetPolicy(client);
    EXPECT_EQ(ErrorCodeOf(reply), sim_error::kSealedDataRefused);
    EXPECT_NE(ErrorTextOf(reply).find("'_Sys$Policy'"), std::string::npos);
    // Reported once; the session goes on without the refused data.
    EXPECT_EQ(ErrorCodeOf(GetPolicy(client)), sim_error::kPolicyNotSet);
  }
  host.store["_Sys$Policy"] = host.store["_Sys"];  // a valid blob under the wrong name
  {
    SimClient client(host);
    EXPECT_EQ(ErrorCodeOf(GetPolicy(client)), sim_error::kSealedDataRefused);
  }
  host.store["_Sys$Policy"] = original;
  SimClient client(host);
  EXPECT_EQ(GetPolicy(client).messageType, sim_type::kGetPolicyDataResponse);
}

TEST_F(SimStorageTest, RolledBackBlobsAreRefused) {
  SimClient client(host);
  SetPolicy(client, SamplePolicy("First"));
  const HostDouble before = host;
  SetPolicy(client, SamplePolicy("Second"));
  host.store["_Sys"] = before.store.at("_Sys");
  host.store["_Sys$Policy"] = before.store.at("_Sys$Policy");

  SimClient restarted(host);
  const mfab::Message reply = GetPolicy(restarted);
  EXPECT_EQ(ErrorCodeOf(reply), sim_error::kRollbackDetected);
  EXPECT_NE(ErrorTextOf(reply).find("rolled back"), std::string::npos);
}

TEST_F(SimStorageTest, ChildWithoutItsParentIsIncomplete) {
  {
    SimClient client(host);
    SetPolicy(client);
  }
  HostDouble empty;
  SimClient client(empty);  // opened without stored data
  const mfab::Message reply =
      client.Send(0, MakeRequest(mt::kGetPolicyDataRequest), host.Block({"_Sys$Policy"}, {}));
  EXPECT_EQ(ErrorCodeOf(reply), sim_error::kStoredDataIncomplete);
  EXPECT_NE(ErrorTextOf(reply).find("without '_Sys'"), std::string::npos);
  // A category announced without its files is incomplete too.
  EXPECT_EQ(ErrorCodeOf(client.Send(0, MakeRequest(mt::kGetPolicyDataRequest),
                                    host.Block({"_Sys"}, {0x0002}))),
            sim_error::kStoredDataIncomplete);
}

TEST_F(SimStorageTest, ClearForgetsEverythingOnceTheHostCleared) {
  SimClient client(host);
  SetPolicy(client);
  const HostDouble before = host;
  const mfab::Message clear = client.Send(0, MakeRequest(mt::kClientClearData));
  ASSERT_EQ(clear.messageType, mt::kClearDataRequest);
  const mfab::Message reply = client.Send(0, *host.Answer(clear));
  EXPECT_EQ(reply.messageType, sim_type::kClientClearDataResponse);
  EXPECT_TRUE(host.store.empty());
  EXPECT_EQ(ErrorCodeOf(GetPolicy(client)), sim_error::kPolicyNotSet);

  // Blobs from before the clear are history, not data.
  host = before;
  SimClient restarted(host);
  EXPECT_EQ(ErrorCodeOf(GetPolicy(restarted)), sim_error::kRollbackDetected);
}

TEST_F(SimStorageTest, EnrollmentBecomesUserData) {
  SimClient client(host);
  mfab::SaveEnrollmentDataRequest store;
  store.user = kSid;
  store.factorId = "SmartCard";
  EXPECT_EQ(
      ErrorCodeOf(client.Send(0, MakeRequest(mt::kSaveEnrollmentDataRequest, store.Serialize()))),
      sim_error::kPolicyNotSet);
  SetPolicy(client);
  store.factorId = "Retina";
  EXPECT_EQ(
      ErrorCodeOf(client.Send(0, MakeRequest(mt::kSaveEnrollmentDataRequest, store.Serialize()))),
      mfab::applet_error::kFactorNotSupported);
  Enroll(client, kSid, "SmartCard");
  EXPECT_EQ(host.store.count(std::string("_U") + kSid + "$ESmartCard"), 1u);

  SimClient restarted(host);
  const std::vector<UserData> users = GetUsers(restarted, kSid);
  ASSERT_EQ(users.size(), 1u);
  EXPECT_EQ(users[0].sid, kSid);
  ASSERT_EQ(users[0].factors.count("SmartCard"), 1u);
  EXPECT_EQ(users[0].factors.at("SmartCard").front(), (NameValue{"IsEnrolled", "true"}));
  EXPECT_EQ(users[0].factors.count("Phone"), 0u);
}

TEST_F(SimStorageTest, RemovingAUserDeletesItsDataForGood) {
  SimClient client(host);
  SetPolicy(client);
  Enroll(client, kSid, "SmartCard");
  const HostDouble before = host;

  const mfab::Message remove =
      client.Send(0, MakeRequest(sim_type::kRemoveUserRequest, [] {
                    Bytes payload;
                    mfab::AppendTlv(payload, tag::kUser, std::string_view(kSid));
                    return payload;
                  }()));
  ASSERT_EQ(remove.messageType, mt::kDeleteLevel1Request) << ErrorTextOf(remove);
  mfab::DeleteLevel1Request request;
  request.Deserialize(remove.payload);
  EXPECT_EQ(request.namePrefix, std::string("_U") + kSid);
  EXPECT_EQ(client.Send(0, *host.Answer(remove)).messageType, sim_type::kRemoveUserResponse);
  EXPECT_TRUE(GetUsers(client, kSid).empty());
  EXPECT_EQ(host.store.count("_Sys$Policy"), 1u);

  host.store[std::string("_U") + kSid] = before.store.at(std::string("_U") + kSid);
  SimClient restarted(host);
  mfab::GetUserDataRequest query;
  query.user = kSid;
  const mfab::Message reply =
      restarted.Send(0, MakeRequest(mt::kGetUserDataRequest, query.Serialize()),
                     host.Block({std::string("_U") + kSid}, {0x0101}, kSid));
  EXPECT_EQ(ErrorCodeOf(reply), sim_error::kRollbackDetected);
  EXPECT_NE(ErrorTextOf(reply).find("no longer exists"), std::string::npos);
}

TEST_F(SimStorageTest, RemovalThatWouldHitAnotherUserIsRefused) {
  SimClient client(host);
  SetPolicy(client);
  Enroll(client, "S-1-5-21-1-2-3-100", "SmartCard");
  Enroll(client, "S-1-5-21-1-2-3-1000", "SmartCard");
  Bytes payload;
  mfab::AppendTlv(payload, tag::kUser, std::string_view("S-1-5-21-1-2-3-100"));
  const mfab::Message reply = client.Send(0, MakeRequest(sim_type::kRemoveUserRequest, payload));
  EXPECT_EQ(ErrorCodeOf(reply), sim_error::kInvalidArgument);
  EXPECT_NE(ErrorTextOf(reply).find("S-1-5-21-1-2-3-1000"), std::string::npos);

  Bytes unknown;
  mfab::AppendTlv(unknown, tag::kUser, std::string_view("S-1-5-21-9-9-9-9"));
  EXPECT_EQ(ErrorCodeOf(client.Send(0, MakeRequest(sim_type::kRemoveUserRequest, unknown))),
            sim_error::kUnknownUser);
}

TEST_F(SimStorageTest, HostThatCannotDeleteLeavesEverythingInForce) {
  SimClient client(host);
  SetPolicy(client);
  Enroll(client, kSid, "SmartCard");
  Bytes payload;
  mfab::AppendTlv(payload, tag::kUser, std::string_view(kSid));
  const mfab::Message remove = client.Send(0, MakeRequest(sim_type::kRemoveUserRequest, payload));
  mfab::Message refusal = *HostDouble{}.Answer(remove);
  mfab::BooleanResponse no;
  no.result = 1;
  refusal.payload = no.Serialize();
  EXPECT_EQ(ErrorCodeOf(client.Send(0, refusal)), sim_error::kHostRefused);
  ASSERT_EQ(GetUsers(client, kSid).size(), 1u);
}

TEST_F(SimStorageTest, OsLoginCacheClearAndIdleClearAnswerYes) {
  SimClient client(host);
  mfab::ClearActionTimeoutCacheRequest clear;
  clear.actionId = "OSLogin";
  mfab::Message request =
      MakeRequest(mt::kClearActionTimeoutCacheRequest, clear.Serialize(), 0xFFFFFFFF);
  request.moduleId = 6;
  request.category = 1;
  const mfab::Message reply = client.Send(0, request);
  EXPECT_EQ(reply.messageType, sim_type::kClearActionTimeoutCacheResponse);
  EXPECT_EQ(BooleanOf(reply), 0);
  EXPECT_EQ(reply.moduleId, 6u);

  // The idle clear drops a change still waiting for the host.
  const mfab::Message save =
      client.Send(0, MakeRequest(sim_type::kSetPolicyRequest, SamplePolicy()));
  Bytes idle;
  ASSERT_EQ(client.Exchange(1, {}, idle), KILN_STATUS_SUCCESS);
  EXPECT_EQ(mfab::Message::Parse(idle).messageType, sim_type::kIdleClearResponse);
  EXPECT_EQ(ErrorCodeOf(client.Send(0, *host.Answer(save))), sim_error::kUnexpectedMessage);
}

}  // namespace
}  // namespace kilnsim::testing
