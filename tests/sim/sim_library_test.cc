// The nine functions of libkiln-sim.so: handles, sessions, installation, version, buffers.

#include <dlfcn.h>

#include <gtest/gtest.h>

#include "applet/applet_ids.h"
#include "sim/applet/protocol.h"
#include "tests/sim/sim_test_support.h"
#include "tlv/client_messages.h"
#include "tlv/host_messages.h"
#include "tlv/metadata.h"

namespace kilnsim::testing {
namespace {

using SimLibraryTest = SimTest;
using keystone::kAuthenticationAppletId;

// One exchange on any pair of handle and session.
KILN_STATUS SendOn(KILN_HANDLE handle, KILN_SESSION_HANDLE session) {
  const Bytes request = MakeRequest(0xABBA0065).Serialize();
  Bytes reply(32768);
  KILN_COMM_BUFFER buffer{request.data(), static_cast<uint32_t>(request.size()), reply.data(),
                          static_cast<uint32_t>(reply.size())};
  return Kiln().SendAndRecv2(handle, session, 0, &buffer, nullptr);
}

// The firmware version it reports is checked with keystonectl (sim_tool_test).
TEST_F(SimLibraryTest, ExportsOnlyTheNineFunctions) {
  Kiln().Load();  // resolves the nine
  void* library = ::dlopen(KILN_SIM_LIBRARY, RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(library, nullptr);
  // The codec and the applet's classes are linked in but stay hidden.
  EXPECT_EQ(::dlsym(library, "_ZN4mfab8ParseTlvEPKhS1_"), nullptr);
  EXPECT_EQ(::dlsym(library, "_ZN7kilnsim10SimLibrary8InstanceEv"), nullptr);
  ::dlclose(library);
}

TEST_F(SimLibraryTest, SessionsNeedAnInstalledAppletWithSoundInitData) {
  SimClient client(false);
  EXPECT_EQ(client.Open(InitData()), KILN_STATUS_APPLET_NOT_INSTALLED);
  EXPECT_EQ(Kiln().Install2(client.Handle(), "00000000000000000000000000000000", "/x"),
            KILN_STATUS_APPLET_NOT_FOUND);
  for (const char* applet : {keystone::kPanelAppletId, kAuthenticationAppletId})
    ASSERT_EQ(Kiln().Install2(client.Handle(), applet, "/opt/a.img"), KILN_STATUS_SUCCESS);
  KILN_SESSION_HANDLE session = nullptr;
  const Bytes init = InitData();
  KILN_INIT_BUFFER buffer{init.data(), static_cast<uint32_t>(init.size())};
  EXPECT_EQ(Kiln().CreateSession(client.Handle(), keystone::kPanelAppletId, 1, &buffer, &session),
            KILN_STATUS_APPLET_NOT_FOUND);
  EXPECT_EQ(Kiln().CreateSession(client.Handle(), kAuthenticationAppletId, 1, nullptr, &session),
            KILN_STATUS_INVALID_PARAMETER);
  Bytes noGeneration;
  mfab::AppendTlvInt(noGeneration, 0x0001, 3);
  Bytes brokenBlock = init;
  mfab::AppendTlv(brokenBlock, 0x0006, Bytes{0x7B, 0xAC, 0x00});
  for (const Bytes& bad : {noGeneration, Bytes(init.begin(), init.end() - 1), brokenBlock})
    EXPECT_EQ(client.Open(bad), KILN_STATUS_INVALID_PARAMETER) << ::testing::PrintToString(bad);
  ASSERT_EQ(client.Open(init), KILN_STATUS_SUCCESS);

  // Uninstalling ends the applet's sessions; uninstalling again is harmless.
  for (int i = 0; i < 2; ++i)
    ASSERT_EQ(Kiln().Uninstall(client.Handle(), kAuthenticationAppletId), KILN_STATUS_SUCCESS);
  EXPECT_EQ(SendOn(client.Handle(), client.Session()), KILN_STATUS_INVALID_SESSION_HANDLE);
  EXPECT_EQ(client.Open(init), KILN_STATUS_APPLET_NOT_INSTALLED);
}

TEST_F(SimLibraryTest, SessionIsKnownOnlyToItsHandleWhileOpen) {
  SimClient first;
  SimClient second;
  EXPECT_EQ(SendOn(second.Handle(), first.Session()), KILN_STATUS_INVALID_SESSION_HANDLE);
  EXPECT_EQ(SendOn(first.Handle(), reinterpret_cast<KILN_SESSION_HANDLE>(0x77)),
            KILN_STATUS_INVALID_SESSION_HANDLE);
  EXPECT_EQ(Kiln().Deinit(reinterpret_cast<KILN_HANDLE>(0x5)), KILN_STATUS_INVALID_PARAMETER);

  KILN_SESSION_HANDLE session = second.Session();
  ASSERT_EQ(Kiln().CloseSession(second.Handle(), &session), KILN_STATUS_SUCCESS);
  EXPECT_EQ(session, nullptr);
  session = second.Session();
  EXPECT_EQ(Kiln().ForceCloseSession(second.Handle(), &session),
            KILN_STATUS_INVALID_SESSION_HANDLE);
  EXPECT_EQ(SendOn(second.Handle(), second.Session()), KILN_STATUS_INVALID_SESSION_HANDLE);

  // Deinit ends the handle's sessions only.
  SimClient third;
  ASSERT_EQ(Kiln().Deinit(first.Handle()), KILN_STATUS_SUCCESS);
  EXPECT_EQ(SendOn(first.Handle(), first.Session()), KILN_STATUS_INVALID_SESSION_HANDLE);
  EXPECT_EQ(SendOn(third.Handle(), third.Session()), KILN_STATUS_SUCCESS);
}

TEST_F(SimLibraryTest, TooSmallReceiveBufferChangesNothing) {
  SimClient client;
  Bytes reply;
  const Bytes setPolicy = MakeRequest(sim_type::kSetPolicyRequest, SamplePolicy()).Serialize();
  ASSERT_EQ(client.Exchange(0, setPolicy, reply, 100), KILN_STATUS_INSUFFICIENT_BUFFER);
  EXPECT_EQ(reply.size(), kMaxReplySize);
  // The refused request left no change waiting for a save response.
  const mfab::Message answer = client.Send(
      0, MakeRequest(mfab::message_type::kSaveResponse, mfab::SaveResponse{}.Serialize()));
  EXPECT_EQ(ErrorCodeOf(answer), sim_error::kUnexpectedMessage);
}

// The session's echo is checked in sim_concurrency_test; here refusals, even of garbage, and the
// firmware's log lines that every reply carries.
TEST_F(SimLibraryTest, RequestsTheAppletCannotServeAreRefusedWithLogLines) {
  SimClient client;
  const mfab::Message reply = client.Send(0, MakeRequest(0xABBA0065));
  EXPECT_EQ(ErrorCodeOf(reply), sim_error::kPolicyNotSet);
  ASSERT_TRUE(reply.metadata);
  mfab::MessageMetadata metadata;
  metadata.Deserialize(*reply.metadata);
  EXPECT_EQ(metadata.entries.at(0).component, "KILN-SIM");

  Bytes garbage;
  ASSERT_EQ(client.Exchange(0, Bytes{0x00, 0x01, 0xFF, 0xFF, 0x01}, garbage), KILN_STATUS_SUCCESS);
  EXPECT_EQ(ErrorCodeOf(mfab::Message::Parse(garbage)), sim_error::kMalformedRequest);
  EXPECT_EQ(mfab::Message::Parse(garbage).sessionId, 0xFFFFFFFFu);
  EXPECT_EQ(ErrorCodeOf(client.Send(0, MakeRequest(0xABBA1234))), sim_error::kUnsupportedMessage);
  EXPECT_EQ(ErrorCodeOf(client.Send(0, MakeRequest(mfab::message_type::kClearDataResponse))),
            sim_error::kUnexpectedMessage);
  EXPECT_EQ(ErrorCodeOf(client.Send(9, MakeRequest(0xABBA0065))), sim_error::kUnsupportedMessage);
}

// The host-factor check: the applet asks the host (0xABBA007B) and answers with the host's verdict;
// the factor's own requests may come between the question and the answer.
TEST_F(SimLibraryTest, HostFactorCheckAnswersWithTheHostsVerdict) {
  namespace mt = mfab::message_type;
  SimClient client;
  AuthenticateFlows::AuthenticateFactorRequest check;
  check.factorId = "TestCard";
  check.user = kSid;
  const auto verdict = [&](int32_t answer) {
    const mfab::Message question =
        client.Send(0, MakeRequest(mt::kCheckHostFactorRequest, check.Serialize(), 41));
    EXPECT_EQ(question.messageType, mt::kFactorResultRequest);
    EXPECT_FALSE(question.isResponse);
    EXPECT_EQ(question.sessionId, 41u);
    EXPECT_EQ(question.payload, check.Serialize());
    EXPECT_EQ(ErrorCodeOf(client.Send(0, MakeRequest(0xABBA0065))), sim_error::kPolicyNotSet);
    mfab::BooleanResponse host;
    host.result = answer;
    const mfab::Message reply =
        client.Send(0, MakeRequest(mt::kFactorResultResponse, host.Serialize(), 41));
    EXPECT_EQ(reply.messageType, mt::kCheckHostFactorResponse);
    EXPECT_TRUE(reply.isResponse);
    mfab::BooleanResponse result;
    result.Deserialize(reply.payload);
    return result.result;
  };
  EXPECT_EQ(verdict(0), 0);
  EXPECT_EQ(verdict(1), 1);
  // Nobody asked any more; a user that is not a SID is refused.
  EXPECT_EQ(ErrorCodeOf(client.Send(0, MakeRequest(mt::kFactorResultResponse))),
            sim_error::kUnexpectedMessage);
  check.user = "alice";
  EXPECT_EQ(
      ErrorCodeOf(client.Send(0, MakeRequest(mt::kCheckHostFactorRequest, check.Serialize()))),
      sim_error::kInvalidArgument);
}

// A phone check whose device id is not exactly 8 bytes is refused, and no question is left
// waiting for the host's answer.
TEST_F(SimLibraryTest, PhoneCheckRefusesDeviceIdNotEightBytes) {
  namespace mt = mfab::message_type;
  SimClient client;
  for (const size_t size : {0u, 6u, 7u, 9u, 64u}) {
    SCOPED_TRACE(size);
    mfab::CheckPhonePresenceRequest check;
    check.deviceId.assign(size, 0xA5);
    EXPECT_EQ(ErrorCodeOf(client.Send(0, MakeRequest(mt::kPhoneCheckRequest, check.Serialize()))),
              sim_error::kInvalidArgument);
    mfab::BooleanResponse host;
    host.result = 0;
    EXPECT_EQ(ErrorCodeOf(client.Send(
                  0, MakeRequest(mt::kCheckPhonePresenceResponse, host.Serialize()))),
              sim_error::kUnexpectedMessage);
  }
}

}  // namespace
}  // namespace kilnsim::testing
