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
using SimStorageTest = SimTest;

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

  const mfab::Message policy = client.GetPolicy();
  ASSERT_EQ(policy.messageType, sim_type::kGetPolicyDataResponse);
  mfab::GetPolicyDataResponse response;
  response.Deserialize(policy.payload);
  const Policy expected = ParsePolicy(SamplePolicy("Card of Alice"));
  EXPECT_EQ(response.factorsData, SerializeFactorElements(expected));
  EXPECT_EQ(response.actionsData, SerializeActionElements(expected));
  EXPECT_EQ(response.systemParamsData, SerializeSettingElements(expected));
}

TEST_F(SimStorageTest, UnconfirmedChangeIsDropped) {
  SimClient client(host);
  const mfab::Message save =
      client.Send(0, MakeRequest(sim_type::kSetPolicyRequest, SamplePolicy()));
  ASSERT_EQ(save.messageType, mt::kSaveRequest);
  EXPECT_EQ(ErrorCodeOf(client.GetPolicy()), sim_error::kPolicyNotSet);
  EXPECT_EQ(ErrorCodeOf(client.Send(0, *host.Answer(save))), sim_error::kUnexpectedMessage);

  Policy policy = ParsePolicy(SamplePolicy());
  policy.actions[0].sets[0][0].factorId = "Retina";
  const mfab::Message invalid =
      client.Send(0, MakeRequest(sim_type::kSetPolicyRequest, SerializePolicy(policy)));
  EXPECT_EQ(ErrorCodeOf(invalid), sim_error::kInvalidPolicy);
  EXPECT_NE(ErrorTextOf(invalid).find("Retina"), std::string::npos);
}

// Every check opens a new session, which reads the state directory afresh and is given the
// host's blobs.
TEST_F(SimStorageTest, AlteredMovedOrRolledBackBlobsAreRefused) {
  SimClient(host).SetPolicy(SamplePolicy("First"));
  const HostDouble first = host;
  SimClient(host).SetPolicy(SamplePolicy("Second"));
  const Bytes original = host.store["_Sys$Policy"];
  host.store["_Sys$Policy"][40] ^= 0x01;
  {
    SimClient client(host);
    const mfab::Message reply = client.GetPolicy();
    EXPECT_EQ(ErrorCodeOf(reply), sim_error::kSealedDataRefused);
    EXPECT_NE(ErrorTextOf(reply).find("'_Sys$Policy'"), std::string::npos);
    // Reported once; the session goes on without the refused data.
    EXPECT_EQ(ErrorCodeOf(client.GetPolicy()), sim_error::kPolicyNotSet);
  }
  host.store["_Sys$Policy"] = host.store["_Sys"];  // a valid blob under the wrong name
  EXPECT_EQ(ErrorCodeOf(SimClient(host).GetPolicy()), sim_error::kSealedDataRefused);
  host.store["_Sys$Policy"] = original;
  EXPECT_EQ(SimClient(host).GetPolicy().messageType, sim_type::kGetPolicyDataResponse);

  host = first;
  const mfab::Message rolledBack = SimClient(host).GetPolicy();
  EXPECT_EQ(ErrorCodeOf(rolledBack), sim_error::kRollbackDetected);
  EXPECT_NE(ErrorTextOf(rolledBack).find("rolled back"), std::string::npos);
}

TEST_F(SimStorageTest, ChildWithoutItsParentIsIncomplete) {
  SimClient(host).SetPolicy();
  HostDouble empty;
  SimClient client(empty);  // opened without stored data: no policy known
  EXPECT_EQ(ErrorCodeOf(client.GetPolicy()), sim_error::kPolicyNotSet);
  const mfab::Message reply = client.GetPolicy(host.Block({"_Sys$Policy"}, {}));
  EXPECT_EQ(ErrorCodeOf(reply), sim_error::kStoredDataIncomplete);
  EXPECT_NE(ErrorTextOf(reply).find("without '_Sys'"), std::string::npos);
  // A category announced without its files is incomplete too.
  EXPECT_EQ(ErrorCodeOf(client.GetPolicy(host.Block({"_Sys"}, {0x0002}))),
            sim_error::kStoredDataIncomplete);
}

TEST_F(SimStorageTest, ClearForgetsEverythingOnceTheHostCleared) {
  SimClient client(host);
  client.SetPolicy();
  const HostDouble before = host;
  const mfab::Message clear = client.Send(0, MakeRequest(mt::kClientClearData));
  ASSERT_EQ(clear.messageType, mt::kClearDataRequest);
  EXPECT_EQ(client.Send(0, *host.Answer(clear)).messageType, sim_type::kClientClearDataResponse);
  EXPECT_TRUE(host.store.empty());
  EXPECT_EQ(ErrorCodeOf(client.GetPolicy()), sim_error::kPolicyNotSet);

  // Blobs from before the clear are history, not data.
  host = before;
  EXPECT_EQ(ErrorCodeOf(SimClient(host).GetPolicy()), sim_error::kRollbackDetected);
}

TEST_F(SimStorageTest, EnrollmentBecomesUserData) {
  SimClient client(host);
  EXPECT_EQ(ErrorCodeOf(client.Send(0, EnrollRequest(kSid, "SmartCard"))),
            sim_error::kPolicyNotSet);
  client.SetPolicy();
  EXPECT_EQ(ErrorCodeOf(client.Send(0, EnrollRequest(kSid, "Retina"))),
            mfab::applet_error::kFactorNotSupported);
  client.Enroll(kSid, "SmartCard");
  EXPECT_EQ(host.store.count(std::string("_U") + kSid + "$ESmartCard"), 1u);

  const mfab::Message reply = SimClient(host).GetUserData(kSid);
  ASSERT_EQ(reply.messageType, sim_type::kGetUserDataResponse) << ErrorTextOf(reply);
  const std::vector<UserData> users = UsersOf(reply);
  ASSERT_EQ(users.size(), 1u);
  EXPECT_EQ(users[0].sid, kSid);
  ASSERT_EQ(users[0].factors.count("SmartCard"), 1u);
  EXPECT_EQ(users[0].factors.at("SmartCard").front(), (NameValue{"IsEnrolled", "true"}));
  EXPECT_EQ(users[0].factors.count("Phone"), 0u);
}

TEST_F(SimStorageTest, RemovingAUserDeletesItsDataForGood) {
  SimClient client(host);
  client.SetPolicy();
  client.Enroll(kSid, "SmartCard");
  const HostDouble before = host;

  const mfab::Message remove = client.Send(0, RemoveUserRequest(kSid));
  ASSERT_EQ(remove.messageType, mt::kDeleteLevel1Request) << ErrorTextOf(remove);
  mfab::DeleteLevel1Request request;
  request.Deserialize(remove.payload);
  EXPECT_EQ(request.namePrefix, std::string("_U") + kSid);
  EXPECT_EQ(client.Send(0, *host.Answer(remove)).messageType, sim_type::kRemoveUserResponse);
  EXPECT_TRUE(UsersOf(client.GetUserData(kSid)).empty());
  EXPECT_EQ(host.store.count("_Sys$Policy"), 1u);

  host.store[std::string("_U") + kSid] = before.store.at(std::string("_U") + kSid);
  const mfab::Message reply = SimClient(host).GetUserData(kSid);
  EXPECT_EQ(ErrorCodeOf(reply), sim_error::kRollbackDetected);
  EXPECT_NE(ErrorTextOf(reply).find("no longer exists"), std::string::npos);
}

TEST_F(SimStorageTest, RemovalIsRefusedForOtherUsersUnknownUsersAndByTheHost) {
  SimClient client(host);
  client.SetPolicy();
  client.Enroll("S-1-5-21-1-2-3-100", "SmartCard");
  client.Enroll("S-1-5-21-1-2-3-1000", "SmartCard");
  const mfab::Message reply = client.Send(0, RemoveUserRequest("S-1-5-21-1-2-3-100"));
  EXPECT_EQ(ErrorCodeOf(reply), sim_error::kInvalidArgument);
  EXPECT_NE(ErrorTextOf(reply).find("S-1-5-21-1-2-3-1000"), std::string::npos);
  EXPECT_EQ(ErrorCodeOf(client.Send(0, RemoveUserRequest("S-1-5-21-9-9-9-9"))),
            sim_error::kUnknownUser);

  // A host that cannot delete leaves everything in force.
  client.Enroll(kSid, "SmartCard");
  const mfab::Message remove = client.Send(0, RemoveUserRequest(kSid));
  EXPECT_EQ(
      ErrorCodeOf(client.Send(0, AnswerTo(remove, mt::kDeleteLevel1Response, BooleanPayload(1)))),
      sim_error::kHostRefused);
  ASSERT_EQ(UsersOf(client.GetUserData(kSid)).size(), 1u);
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
