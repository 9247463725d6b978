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

TEST_F(SimStorageTest, SetPolicyStoresSealedBlobsThroughTheHostOnceConfirmed) {
  SimClient client(host);
  const mfab::Message dropped =
      client.Send(0, MakeRequest(sim_type::kSetPolicyRequest, SamplePolicy()));
  ASSERT_EQ(dropped.messageType, mt::kSaveRequest);
  // A change the host did not confirm at once is dropped.
  EXPECT_EQ(ErrorCodeOf(client.GetPolicy()), sim_error::kPolicyNotSet);
  EXPECT_EQ(ErrorCodeOf(client.Send(0, *host.Answer(dropped))), sim_error::kUnexpectedMessage);

  const mfab::Message save =
      client.Send(0, MakeRequest(sim_type::kSetPolicyRequest, SamplePolicy("Card of Alice"), 31));
  ASSERT_EQ(save.messageType, mt::kSaveRequest) << ErrorTextOf(save);
  EXPECT_FALSE(save.isResponse);
  EXPECT_EQ(save.sessionId, 31u);
  // What the host stores is checked through the engine (sim_engine_test).
  EXPECT_EQ(state.ReadFile("versions").find("_Sys$Policy"), std::string::npos);
  const mfab::Message reply = client.Send(0, *host.Answer(save));
  EXPECT_EQ(reply.messageType, sim_type::kSetPolicyResponse);
  EXPECT_TRUE(reply.isResponse);
  EXPECT_EQ(BooleanOf(reply), 0);
  EXPECT_NE(state.ReadFile("versions").find("file _Sys$Policy "), std::string::npos);

  mfab::GetPolicyDataResponse response;
  response.Deserialize(client.GetPolicy().payload);
  const Policy expected = ParsePolicy(SamplePolicy("Card of Alice"));
  EXPECT_EQ(response.factorsData, SerializeFactorElements(expected));
  EXPECT_EQ(response.actionsData, SerializeActionElements(expected));
  EXPECT_EQ(response.systemParamsData, SerializeSettingElements(expected));

  Policy invalid = expected;
  invalid.actions[0].sets[0][0].factorId = "Retina";
  const mfab::Message refused =
      client.Send(0, MakeRequest(sim_type::kSetPolicyRequest, SerializePolicy(invalid)));
  EXPECT_EQ(ErrorCodeOf(refused), sim_error::kInvalidPolicy);
  EXPECT_NE(ErrorTextOf(refused).find("Retina"), std::string::npos);
}

// Every check opens a new session, which reads the state directory afresh and is given the
// host's blobs.
TEST_F(SimStorageTest, AlteredMovedRolledBackOrOrphanedBlobsAreRefused) {
  SimClient(host).SetPolicy(SamplePolicy("First"));
  HostDouble first = host;
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
  HostDouble empty;
  SimClient client(empty);  // opened without stored data: no policy known
  const mfab::Message orphan = client.GetPolicy(host.Block({"_Sys$Policy"}, {}));
  EXPECT_EQ(ErrorCodeOf(orphan), sim_error::kStoredDataIncomplete);
  EXPECT_NE(ErrorTextOf(orphan).find("without '_Sys'"), std::string::npos);
  // A category announced without its files is incomplete too.
  EXPECT_EQ(ErrorCodeOf(client.GetPolicy(host.Block({"_Sys"}, {0x0002}))),
            sim_error::kStoredDataIncomplete);
  EXPECT_EQ(SimClient(host).GetPolicy().messageType, sim_type::kGetPolicyDataResponse);

  const mfab::Message rolledBack = SimClient(first).GetPolicy();
  EXPECT_EQ(ErrorCodeOf(rolledBack), sim_error::kRollbackDetected);
  EXPECT_NE(ErrorTextOf(rolledBack).find("rolled back"), std::string::npos);
}

// The engine's tests carry enrollment and removal through the library; here a removed user's
// blobs stay refused.
TEST_F(SimStorageTest, RemovalDeletesAUsersDataForGood) {
  SimClient client(host);
  EXPECT_EQ(ErrorCodeOf(client.Send(0, EnrollRequest(kSid, "SmartCard"))),
            sim_error::kPolicyNotSet);
  client.SetPolicy();
  EXPECT_EQ(ErrorCodeOf(client.Send(0, EnrollRequest(kSid, "Retina"))),
            mfab::applet_error::kFactorNotSupported);
  client.Enroll(kSid, "SmartCard");
  const HostDouble before = host;
  const mfab::Message remove = client.Send(0, RemoveUserRequest(kSid));
  ASSERT_EQ(remove.messageType, mt::kDeleteLevel1Request) << ErrorTextOf(remove);
  EXPECT_EQ(client.Send(0, *host.Answer(remove)).messageType, sim_type::kRemoveUserResponse);
  EXPECT_TRUE(UsersOf(client.GetUserData(kSid)).empty());
  host.store[std::string("_U") + kSid] = before.store.at(std::string("_U") + kSid);
  const mfab::Message reply = SimClient(host).GetUserData(kSid);
  EXPECT_EQ(ErrorCodeOf(reply), sim_error::kRollbackDetected);
  EXPECT_NE(ErrorTextOf(reply).find("no longer exists"), std::string::npos);
}

TEST_F(SimStorageTest, RemovalIsRefusedForOtherUsersUnknownUsersAndByTheHost) {
  SimClient client(host);
  client.SetPolicy();
  for (const char* sid : {"S-1-5-21-1-2-3-100", "S-1-5-21-1-2-3-1000", kSid})
    client.Enroll(sid, "SmartCard");
  const mfab::Message reply = client.Send(0, RemoveUserRequest("S-1-5-21-1-2-3-100"));
  EXPECT_EQ(ErrorCodeOf(reply), sim_error::kInvalidArgument);
  EXPECT_NE(ErrorTextOf(reply).find("S-1-5-21-1-2-3-1000"), std::string::npos);
  EXPECT_EQ(ErrorCodeOf(client.Send(0, RemoveUserRequest("S-1-5-21-9-9-9-9"))),
            sim_error::kUnknownUser);
  // A host that cannot delete leaves everything in force.
  const mfab::Message remove = client.Send(0, RemoveUserRequest(kSid));
  EXPECT_EQ(
      ErrorCodeOf(client.Send(0, AnswerTo(remove, mt::kDeleteLevel1Response, BooleanPayload(1)))),
      sim_error::kHostRefused);
  ASSERT_EQ(UsersOf(client.GetUserData(kSid)).size(), 1u);
}

TEST_F(SimStorageTest, ClearForgetsEverythingAndIdleClearDropsAWaitingChange) {
  SimClient client(host);
  client.SetPolicy();
  HostDouble before = host;
  const mfab::Message clear = client.Send(0, MakeRequest(mt::kClientClearData));
  ASSERT_EQ(clear.messageType, mt::kClearDataRequest);
  EXPECT_EQ(client.Send(0, *host.Answer(clear)).messageType, sim_type::kClientClearDataResponse);
  EXPECT_TRUE(host.store.empty());
  EXPECT_EQ(ErrorCodeOf(client.GetPolicy()), sim_error::kPolicyNotSet);
  // Blobs from before the clear are history, not data.
  EXPECT_EQ(ErrorCodeOf(SimClient(before).GetPolicy()), sim_error::kRollbackDetected);

  mfab::ClearActionTimeoutCacheRequest cache;
  cache.actionId = "OSLogin";
  mfab::Message request = MakeRequest(mt::kClearActionTimeoutCacheRequest, cache.Serialize());
  request.moduleId = 6;
  const mfab::Message reply = client.Send(0, request);
  EXPECT_EQ(reply.messageType, sim_type::kClearActionTimeoutCacheResponse);
  EXPECT_EQ(BooleanOf(reply), 0);
  EXPECT_EQ(reply.moduleId, 6u);

  const mfab::Message save =
      client.Send(0, MakeRequest(sim_type::kSetPolicyRequest, SamplePolicy()));
  Bytes idle;
  ASSERT_EQ(client.Exchange(1, {}, idle), KILN_STATUS_SUCCESS);
  EXPECT_EQ(mfab::Message::Parse(idle).messageType, sim_type::kIdleClearResponse);
  EXPECT_EQ(ErrorCodeOf(client.Send(0, *host.Answer(save))), sim_error::kUnexpectedMessage);
}

}  // namespace
}  // namespace kilnsim::testing
