#include "engine/command_handler.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "common/config_keys.h"
#include "common/exceptions.h"
#include "engine/attestation_client.h"
#include "platform/registry.h"
#include "platform/signed_file_verifier.h"
#include "storage/data_controller.h"
#include "tests/applet/applet_test_support.h"
#include "tests/fakes/fake_engine_services.h"
#include "tests/fakes/log_capture.h"
#include "tests/fakes/memory_file_system.h"
#include "tests/fakes/memory_registry.h"
#include "tests/fakes/program_paths.h"
#include "tests/fakes/program_runner.h"
#include "tests/fakes/test_signing.h"
#include "tlv/applet_tags.h"
#include "tlv/client_messages.h"
#include "tlv/host_messages.h"
#include "tlv/message_types.h"

namespace mfab {
namespace {

using keystone::testing::MemoryFileSystem;
using keystone::testing::ThrownText;
namespace mt = message_type;

constexpr keystone::ClientIdentity kRoot{100, 0};
constexpr keystone::ClientIdentity kUser{200, 1000};
constexpr keystone::ClientIdentity kUnknown{};
constexpr char kStoredFile[] = "/data/Data/_Sys.SDS";

Message MakeMessage(uint32_t type, Bytes payload = {}, bool isResponse = false,
                    uint32_t sessionId = 17) {
  Message message;
  message.moduleId = 4;
  message.messageType = type;
  message.payload = std::move(payload);
  message.isResponse = isResponse;
  message.sessionId = sessionId;
  return message;
}

Message InAuthentication(uint32_t type, int32_t id) {
  SetNextFactorRequest request;
  request.authenticationId = id;
  request.factorId = "F1";
  return MakeMessage(type, request.Serialize());
}

// The 0x7B08 result every answer to the applet's host requests carries.
int32_t ResultOf(const Message& answer) {
  return TlvToInt(GetTlv(ParseTlv(answer.payload), 0x7B08));
}

class CommandHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    keystone::testing::EnableEngineLog();
    platform::WriteRegistryValue(registry, keystone::kEngineKey, "DataDir",
                                 platform::RegValue::String("/data"));
    files.PutFile(kStoredFile, "blob");
  }
  void TearDown() override { capture->Uninstall(); }

  CommandHandler& Handler() {
    if (!handler) {
      handler = std::make_unique<CommandHandler>(CommandHandlerServices{
          host, auth, controller, accounts, clock, attestation, nullptr, factorFlows});
    }
    return *handler;
  }
  Bytes FromClient(const Message& message, const keystone::ClientIdentity& client = kRoot) {
    return Handler().HandleRequest(message.Serialize(), client, true);
  }
  Bytes FromApplet(const Message& message) {
    return Handler().HandleRequest(message.Serialize(), kUser, false);
  }

  std::shared_ptr<keystone::testing::LogCapture> capture = keystone::testing::LogCapture::Install();
  keystone::testing::MemoryRegistry registry;
  MemoryFileSystem files;
  DataController controller{registry, files};
  keystone::testing::FakeCommandHost host;
  keystone::testing::FakeAuthenticationState auth;
  keystone::testing::FakeAccounts accounts;
  keystone::testing::SteppingClock clock;
  keystone::testing::FakeAttestation attestation;
  IFactorFlowRunner* factorFlows = nullptr;
  std::unique_ptr<CommandHandler> handler;
};

// Answers as told and records what it was asked.
class FakeFactorFlows : public IFactorFlowRunner {
 public:
  int32_t RunFactorFlow(const Message& request, uint32_t ownerId, std::chrono::milliseconds limit,
                        Bytes& answer) override {
    seenSession = request.sessionId;
    seenOwner = ownerId;
    seenLimit = limit;
    answer = flowAnswer;
    return result;
  }
  int32_t result = 0;
  Bytes flowAnswer{0x01, 0x02};
  uint32_t seenSession = 0;
  uint32_t seenOwner = 0;
  std::chrono::milliseconds seenLimit{0};
};

TEST_F(CommandHandlerTest, ClientRequestsClaimTheAppletWithTheirFlowType) {
  EXPECT_TRUE(FromClient(MakeMessage(0xABBA000B)).empty());
  EXPECT_TRUE(FromClient(MakeMessage(0xABBA0013, {}, false, 18)).empty());
  FromClient(MakeMessage(0xABBA0099));
  FromClient(MakeMessage(0xABBA0022, {}, true));  // a client's answer claims nothing
  EXPECT_EQ(host.claims, (std::vector<std::pair<uint32_t, int32_t>>{{17, 1}, {18, 3}, {17, 0}}));
  host.refuseClaims = true;
  EXPECT_THROW(FromClient(MakeMessage(0xABBA000B)), AppletCurrentlyBusyException);
}

// A running authentication (5) admits only its own calls, which must name it.
TEST_F(CommandHandlerTest, RunningAuthenticationAdmitsOnlyItsOwnCalls) {
  auth.actionId = 5;
  auth.inProgress = true;
  EXPECT_THROW(FromClient(MakeMessage(0xABBA0013)), ApiCurrentlyBusyException);
  EXPECT_THROW(FromClient(MakeMessage(mt::kActionAuthenticateRequest)), ApiCurrentlyBusyException);
  // A start-of-action answer while one runs is refused by the action itself.
  EXPECT_THROW(FromClient(MakeMessage(mt::kActionAuthenticateRequest,
                                      ActionAuthenticateRequest().Serialize(), true)),
               ApiCurrentlyBusyException);
  EXPECT_TRUE(host.claims.empty());
  auth.inProgress = false;
  EXPECT_THROW(FromClient(InAuthentication(mt::kSetNextFactorRequest, 5)), InvalidApiException);
  EXPECT_TRUE(capture->Has("AuthenticationInProgres = false"));
  auth.inProgress = true;
  EXPECT_THROW(FromClient(InAuthentication(mt::kSetNextFactorRequest, 4)), InvalidApiException);
  EXPECT_THROW(FromClient(InAuthentication(mt::kAuthenticateSetFactorRequest, -5)),
               InvalidApiException);
  for (const Message& own : {InAuthentication(mt::kSetNextFactorRequest, 5),
                             InAuthentication(mt::kUnsetFactorRequest, 5),
                             InAuthentication(mt::kCloseAuthenticateActionRequest, 5),
                             MakeMessage(0xABBA0013, {}, true)}) {
    EXPECT_NO_THROW(FromClient(own)) << own.messageType;
  }
  EXPECT_TRUE(capture->Has("In GetInvalidResponse"));
  host.apiBusy = true;
  EXPECT_THROW(FromClient(InAuthentication(mt::kSetNextFactorRequest, 5)),
               ApiCurrentlyBusyException);
}

TEST_F(CommandHandlerTest, StartOfActionHandsTheMonitoringWishOn) {
  InitAuthenticateActionRequest init;
  init.monitorStatus = 1;
  FromClient(MakeMessage(mt::kInitAuthenticateActionRequest, init.Serialize()));
  EXPECT_EQ(auth.Monitoring(), true);
  AuthenticateActionRetrieveDataRequest retrieve;
  retrieve.monitorStatus = 0;
  FromClient(MakeMessage(mt::kAuthenticateActionRetrieveDataRequest, retrieve.Serialize()));
  EXPECT_EQ(auth.Monitoring(), false);
}

TEST_F(CommandHandlerTest, ConnectedStandbyRefusesAppletRepliesAndClientAnswers) {
  host.flowAllowed = false;
  EXPECT_EQ(
      ThrownText<ConnectedStandByException>([&] { FromApplet(MakeMessage(0xABBA0014, {}, true)); }),
      "in connected stand by state");
  EXPECT_THROW(FromClient(MakeMessage(0xABBA0013, {}, true)), ConnectedStandByException);
  // A new client request is the claim's business.
  EXPECT_NO_THROW(FromClient(MakeMessage(0xABBA0013)));
}

TEST_F(CommandHandlerTest, ClearDataNeedsAClientConnectedAsRootAndReportsAFailedDelete) {
  EXPECT_THROW(FromClient(MakeMessage(mt::kClientClearData), kUser), NotElevatedException);
  EXPECT_TRUE(capture->Has("Client is running with insufficient privileges"));
  EXPECT_THROW(FromClient(MakeMessage(mt::kClientClearData), kUnknown), NotElevatedException);
  EXPECT_TRUE(capture->Has("Cannot evaluate client's privileges"));
  EXPECT_TRUE(files.WriteLog().empty());

  EXPECT_TRUE(FromClient(MakeMessage(mt::kClientClearData), kRoot).empty());
  EXPECT_FALSE(files.HasFile(kStoredFile));
  files.PutFile(kStoredFile, "blob");
  files.FailOn(MemoryFileSystem::Op::kDelete, kStoredFile, std::errc::permission_denied);
  EXPECT_EQ(ThrownText<ClearDiskException>(
                [&] { FromClient(MakeMessage(mt::kClientClearData), kRoot); }),
            "Couldn't delete all SDS files");
}

// A user-scoped request names users by SID; only root may name someone else.
TEST_F(CommandHandlerTest, ClientsActOnlyForTheirOwnUser) {
  auto withUsers = [](std::initializer_list<const char*> users) {
    Bytes payload;
    AppendTlv(payload, 0x7B14, std::string_view("F1"));
    for (const char* user : users) AppendTlv(payload, applet_tag::kUser, std::string_view(user));
    return MakeMessage(mt::kEnrollFactorRequest, payload);
  };
  const char* own = "S-1-5-21-1-2-3-1000";
  const char* other = "S-1-5-21-1-2-3-0";
  EXPECT_NO_THROW(FromClient(withUsers({own}), kUser));
  EXPECT_NO_THROW(FromClient(withUsers({}), kUser));
  EXPECT_NO_THROW(FromClient(withUsers({other}), kRoot));
  const struct {
    const char* what;
    Message message;
    keystone::ClientIdentity client;
  } refused[] = {
      {"another user", withUsers({other}), kUser},
      // Every user item counts, not only the first of its tag.
      {"a second user", withUsers({own, other}), kUser},
      {"all users", withUsers({""}), kUser},
      {"a payload that is not TLV", MakeMessage(mt::kEnrollFactorRequest, {0x7B, 0x01, 0x00}),
       kUser},
      {"an unknown caller", withUsers({own}), kUnknown},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.what);
    EXPECT_THROW(FromClient(c.message, c.client), InvalidApiException);
  }
  accounts.sidFailsFor = kUser.uid;
  EXPECT_THROW(FromClient(withUsers({own}), kUser), InvalidApiException);
  EXPECT_TRUE(capture->Has("Request 0xABBA000B of uid 1000 names user S-1-5-21-1-2-3-0, not its own"));
  // Refused before anything is claimed.
  EXPECT_EQ(host.claims.size(), 3u);
}

// Another user's authentication keeps the client out unless the host hands it over.
TEST_F(CommandHandlerTest, RunningAuthenticationYieldsOnlyWhenTheHostHandsItOver) {
  auth.inProgress = true;
  EXPECT_THROW(FromClient(MakeMessage(0xABBA0013), kRoot), ApiCurrentlyBusyException);
  host.yields = true;
  host.onYield = [&] { auth.inProgress = false; };
  EXPECT_NO_THROW(FromClient(MakeMessage(0xABBA0013), kRoot));
  EXPECT_EQ(host.yieldRequests, (std::vector<uint32_t>{0, 0}));
  EXPECT_EQ(host.claimUids, (std::vector<uint32_t>{0}));
}

TEST_F(CommandHandlerTest, HostRequestsOfTheAppletAreAnsweredInTheirSession) {
  SaveRequest save;
  save.masterVersionsData = {1};
  save.secondFileName = "_Sys";
  save.secondFileData = {2};
  save.firstFileName = "_Sys$Policy";
  save.firstFileData = {3};
  DeleteLevel1Request remove, escape;
  remove.masterVersionsData = escape.masterVersionsData = {7};
  remove.namePrefix = "_U1";
  escape.namePrefix = "../etc";
  CheckPhonePresenceRequest presence;
  presence.deviceId = Bytes(8, 1);
  NeedUserDataRequest need;
  need.user = "S-1-5-21-1-2-3-1001";
  files.PutFile("/data/Data/_U1$A.SDS", "x");
  const struct {
    uint32_t request;
    Bytes payload;
    uint32_t answer;
    int32_t result;
    bool isResponse;
  } cases[] = {
      {mt::kSaveRequest, save.Serialize(), mt::kSaveResponse, 1, true},
      {mt::kDeleteLevel1Request, remove.Serialize(), mt::kDeleteLevel1Response, 0, true},
      {mt::kDeleteLevel1Request, escape.Serialize(), mt::kDeleteLevel1Response, 1, true},
      // Absent components answer as their absence implies.
      {mt::kCheckPhonePresenceRequest, presence.Serialize(), mt::kCheckPhonePresenceResponse, 1,
       true},
      {mt::kFactorResultRequest, {}, mt::kFactorResultResponse, 1, false},
      {mt::kNeedUserDataRequest, need.Serialize(), mt::kNeedUserDataResponse, 1, true},
  };
  uint32_t session = 20;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request);
    const Message answer =
        Message::Parse(FromApplet(MakeMessage(c.request, c.payload, false, ++session)));
    EXPECT_EQ(answer.messageType, c.answer);
    EXPECT_EQ(answer.moduleId, 4u);
    EXPECT_EQ(answer.sessionId, session);
    EXPECT_EQ(answer.category, 0u);
    EXPECT_EQ(answer.isResponse, c.isResponse);
    EXPECT_EQ(ResultOf(answer), c.result);
  }
  EXPECT_TRUE(files.HasFile("/data/Data/_Sys$Policy.SDS"));
  EXPECT_FALSE(files.HasFile("/data/Data/_U1$A.SDS"));
  EXPECT_TRUE(capture->Has("Phone presence monitor is not present"));
  EXPECT_TRUE(capture->Has("Factor-authentication flows are not present"));
  NeedUserDataResponse user;
  user.Deserialize(
      Message::Parse(FromApplet(MakeMessage(mt::kNeedUserDataRequest, need.Serialize()))).payload);
  EXPECT_EQ(user.user, need.user);

  EXPECT_EQ(ResultOf(Message::Parse(FromApplet(MakeMessage(mt::kClearDataRequest)))), 0);
  EXPECT_FALSE(files.HasFile(kStoredFile));
}

TEST_F(CommandHandlerTest, FactorRequestIsAnsweredByTheFlowsForTheRequestingClient) {
  FakeFactorFlows flows;
  factorFlows = &flows;
  for (const int32_t result : {0, 1, 2, 3}) {
    SCOPED_TRACE(result);
    flows.result = result;
    const Bytes answer = FromApplet(MakeMessage(mt::kFactorResultRequest, {}, false, 33));
    if (result == 0) {
      EXPECT_EQ(answer, flows.flowAnswer);
    } else if (result == 3) {
      EXPECT_TRUE(answer.empty());
    } else {
      const Message refused = Message::Parse(answer);
      EXPECT_EQ(refused.messageType, mt::kFactorResultResponse);
      EXPECT_EQ(ResultOf(refused), 1);
      EXPECT_FALSE(refused.isResponse);
    }
  }
  EXPECT_EQ(flows.seenSession, 33u);
  EXPECT_EQ(flows.seenOwner, kUser.pid);
  EXPECT_EQ(flows.seenLimit, std::chrono::seconds(120));
}

TEST_F(CommandHandlerTest, KeyRenewalReportsAResumeOnce) {
  FpRequest renew;
  renew.requestCode = 0x7DD0;
  host.resumeMark = true;
  auto ask = [&] {
    const Message answer =
        Message::Parse(FromApplet(MakeMessage(mt::kFpRequest, renew.Serialize())));
    EXPECT_EQ(answer.messageType, mt::kFpResponse);
    FpResponse response;
    response.Deserialize(answer.payload);
    EXPECT_EQ(response.time, 1'700'000'000u);
    EXPECT_TRUE(response.keyData.empty());
    return response.result;
  };
  EXPECT_EQ(ask(), 10);
  EXPECT_TRUE(capture->Has("back from power state need to renew session key"));
  EXPECT_EQ(ask(), 0);

  renew.requestCode = 0x7DD1;
  host.resumeMark = true;
  EXPECT_TRUE(FromApplet(MakeMessage(mt::kFpRequest, renew.Serialize())).empty());
  EXPECT_TRUE(host.resumeMark);
}

TEST_F(CommandHandlerTest, HostWorkTypesFromAClientAreOnlyForwarded) {
  EXPECT_TRUE(FromClient(MakeMessage(mt::kClearDataRequest)).empty());
  EXPECT_TRUE(FromClient(MakeMessage(mt::kNeedUserDataRequest)).empty());
  // And client request types coming back from the applet do nothing here.
  EXPECT_TRUE(FromApplet(MakeMessage(mt::kClientClearData)).empty());
  EXPECT_TRUE(files.HasFile(kStoredFile));
}

// Its status for the client (9) is checked end to end.
TEST_F(CommandHandlerTest, AttestationRequestStartsTheClient) {
  EXPECT_TRUE(FromClient(MakeMessage(mt::kInitAttestationRequest)).empty());
  EXPECT_EQ(attestation.starts, 1);
}

TEST_F(CommandHandlerTest, AttestationClientLoadsOnlyWhenItsSignerIsTrusted) {
  using namespace keystone::testing;
  const auto verifier = platform::CreateSignedFileVerifier();
  LibraryAttestationClient client(registry, *verifier);
  const auto configure = [&](const std::string& path) {
    platform::WriteRegistryValue(registry, keystone::kEngineKey, kAttestationClientPathValue,
                                 platform::RegValue::String(path));
  };
  const std::string refused = "Failed to initialing Halo client for Attestation.";
  EXPECT_EQ(ThrownText<GenericException>([&] { client.Initialize(); }), refused);
  EXPECT_TRUE(capture->Contains("No attestation client is configured"));
  for (const char* path : {"/nonexistent/libattest.so", "libc.so.6"}) {
    configure(path);
    EXPECT_EQ(ThrownText<GenericException>([&] { client.Initialize(); }), refused) << path;
  }
  EXPECT_TRUE(capture->Contains("The attestation client is not trusted"));

  if (!*kTestAttestationLibrary) GTEST_SKIP() << "the signed test library was not built";
  TempDirectory dir;
  configure(CopySigned(kTestAttestationLibrary, dir.Path(), "lib.so"));
  capture->Clear();
  EXPECT_EQ(ThrownText<GenericException>([&] { client.Initialize(); }), refused);
  EXPECT_TRUE(capture->Contains("no signer is trusted"));
  // Trusted, it is loaded and its start's own error (42) comes back.
  platform::WriteRegistryValue(registry, keystone::kEngineKey, keystone::kTrustedSignersValue,
                               platform::RegValue::MultiString({ThumbprintOf(kTestSignerCert)}));
  EXPECT_EQ(ThrownText<GenericException>([&] { client.Initialize(); }), refused + " Error: 42");
}

}  // namespace
}  // namespace mfab
