#include "engine/command_handler.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <system_error>

#include "common/config_keys.h"
#include "common/exceptions.h"
#include "engine/attestation_client.h"
#include "platform/registry.h"
#include "storage/data_controller.h"
#include "tests/applet/applet_test_support.h"
#include "tests/fakes/fake_engine_services.h"
#include "tests/fakes/log_capture.h"
#include "tests/fakes/memory_file_system.h"
#include "tests/fakes/memory_registry.h"
#include "tlv/client_messages.h"
#include "tlv/host_messages.h"
#include "tlv/message_types.h"

namespace mfab {
namespace {

using keystone::testing::EnableEngineLog;
using keystone::testing::FakeAccounts;
using keystone::testing::FakeAttestation;
using keystone::testing::FakeAuthenticationState;
using keystone::testing::FakeCommandHost;
using keystone::testing::LogCapture;
using keystone::testing::MemoryFileSystem;
using keystone::testing::MemoryRegistry;
using keystone::testing::SteppingClock;
using Step = platform::ElevationQueryError::Step;
namespace mt = message_type;

constexpr uint32_t kElevatedPid = 100;
constexpr uint32_t kUserPid = 200;
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

Bytes SetNextFactor(int32_t id) {
  SetNextFactorRequest request;
  request.authenticationId = id;
  request.factorId = "F1";
  return request.Serialize();
}

Bytes CloseAction(int32_t id) {
  CloseAuthenticateActionRequest request;
  request.authenticationId = id;
  return request.Serialize();
}

int32_t BooleanOf(const Message& answer) {
  BooleanResponse response;
  response.Deserialize(answer.payload);
  return response.result;
}

class CommandHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    capture = LogCapture::Install();
    EnableEngineLog();
    platform::WriteRegistryValue(registry, keystone::kEngineKey, "DataDir",
                                 platform::RegValue::String("/data"));
    files.PutFile(kStoredFile, "blob");
    accounts.elevatedPids[kElevatedPid] = true;
  }
  void TearDown() override { capture->Uninstall(); }

  CommandHandler& Handler() {
    if (!handler) {
      handler = std::make_unique<CommandHandler>(CommandHandlerServices{
          host, auth, controller, accounts, clock, attestation, nullptr, nullptr});
    }
    return *handler;
  }
  Bytes FromClient(const Message& message, uint32_t pid = kUserPid) {
    return Handler().HandleRequest(message.Serialize(), pid, true);
  }
  Bytes FromApplet(const Message& message) {
    return Handler().HandleRequest(message.Serialize(), 0, false);
  }

  std::shared_ptr<LogCapture> capture;
  MemoryRegistry registry;
  MemoryFileSystem files;
  DataController controller{registry, files};
  FakeCommandHost host;
  FakeAuthenticationState auth;
  FakeAccounts accounts;
  SteppingClock clock;
  FakeAttestation attestation;
  std::unique_ptr<CommandHandler> handler;
};

TEST_F(CommandHandlerTest, ClientRequestsClaimTheAppletWithTheirFlowType) {
  EXPECT_TRUE(FromClient(MakeMessage(0xABBA000B)).empty());
  EXPECT_TRUE(FromClient(MakeMessage(0xABBA0013, {}, false, 18)).empty());
  FromClient(MakeMessage(0xABBA0037));
  FromClient(MakeMessage(0xABBA0099));
  FromClient(MakeMessage(0xABBA0022, {}, true));  // a client's answer claims nothing
  EXPECT_EQ(host.claims,
            (std::vector<std::pair<uint32_t, int32_t>>{{17, 1}, {18, 3}, {17, 4}, {17, 0}}));

  host.refuseClaims = true;
  EXPECT_THROW(FromClient(MakeMessage(0xABBA000B)), AppletCurrentlyBusyException);
}

TEST_F(CommandHandlerTest, RunningAuthenticationAdmitsOnlyItsOwnCalls) {
  auth.inProgress = true;
  auth.actionId = 5;
  EXPECT_THROW(FromClient(MakeMessage(0xABBA0013)), ApiCurrentlyBusyException);
  EXPECT_THROW(FromClient(MakeMessage(mt::kActionAuthenticateRequest)), ApiCurrentlyBusyException);
  EXPECT_TRUE(host.claims.empty());

  EXPECT_NO_THROW(FromClient(MakeMessage(mt::kSetNextFactorRequest, SetNextFactor(5))));
  EXPECT_NO_THROW(FromClient(MakeMessage(mt::kUnsetFactorRequest, CloseAction(5))));
  EXPECT_NO_THROW(FromClient(MakeMessage(0xABBA0013, {}, true)));
  // A start-of-action answer while one runs is refused by the action itself.
  ActionAuthenticateRequest start;
  EXPECT_THROW(FromClient(MakeMessage(mt::kActionAuthenticateRequest, start.Serialize(), true)),
               ApiCurrentlyBusyException);

  host.apiBusy = true;
  EXPECT_THROW(FromClient(MakeMessage(mt::kSetNextFactorRequest, SetNextFactor(5))),
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
  try {
    FromApplet(MakeMessage(0xABBA0014, {}, true));
    ADD_FAILURE() << "reply admitted";
  } catch (const ConnectedStandByException& e) {
    EXPECT_STREQ(e.what(), "in connected stand by state");
  }
  EXPECT_THROW(FromClient(MakeMessage(0xABBA0013, {}, true)), ConnectedStandByException);
  // A new client request is the claim's business.
  EXPECT_NO_THROW(FromClient(MakeMessage(0xABBA0013)));
}

TEST_F(CommandHandlerTest, ClearDataFromANonElevatedClientTouchesNoFile) {
  EXPECT_THROW(FromClient(MakeMessage(mt::kClientClearData), kUserPid), NotElevatedException);
  EXPECT_TRUE(capture->Has("Client is running with insufficient privileges"));
  EXPECT_THROW(FromClient(MakeMessage(mt::kClientClearData), 0), NotElevatedException);
  EXPECT_TRUE(capture->Has("Cannot evaluate client's privileges"));
  EXPECT_TRUE(files.HasFile(kStoredFile));
  EXPECT_TRUE(files.WriteLog().empty());

  EXPECT_TRUE(FromClient(MakeMessage(mt::kClientClearData), kElevatedPid).empty());
  EXPECT_FALSE(files.HasFile(kStoredFile));

  files.PutFile(kStoredFile, "blob");
  files.FailOn(MemoryFileSystem::Op::kDelete, kStoredFile, std::errc::permission_denied);
  try {
    FromClient(MakeMessage(mt::kClientClearData), kElevatedPid);
    ADD_FAILURE() << "clear reported success";
  } catch (const ClearDiskException& e) {
    EXPECT_STREQ(e.what(), "Couldn't delete all SDS files");
  }
}

TEST_F(CommandHandlerTest, ElevationQueryFailuresAreRefusalsWithTheirStep) {
  EXPECT_NO_THROW(FromClient(MakeMessage(0xABBA000D), kElevatedPid));
  EXPECT_THROW(FromClient(MakeMessage(0xABBA000D), kUserPid), NotElevatedException);
  const std::pair<Step, const char*> cases[] = {{Step::kOpenProcess, "OpenProcess failed"},
                                                {Step::kOpenToken, "OpenProcessToken failed"},
                                                {Step::kQueryToken, "GetTokenInformation failed"}};
  for (const auto& [step, text] : cases) {
    accounts.failingStep = step;
    EXPECT_THROW(Handler().RequireElevation(kElevatedPid), NotElevatedException);
    EXPECT_TRUE(capture->Has(text)) << text;
  }
}

TEST_F(CommandHandlerTest, InAuthenticationCallsMustNameTheRunningAuthentication) {
  auth.actionId = 9;
  // No authentication running.
  EXPECT_THROW(FromClient(MakeMessage(mt::kSetNextFactorRequest, SetNextFactor(9))),
               InvalidApiException);
  EXPECT_TRUE(capture->Has("AuthenticationInProgres = false"));

  auth.inProgress = true;
  EXPECT_NO_THROW(FromClient(MakeMessage(mt::kSetNextFactorRequest, SetNextFactor(9))));
  EXPECT_TRUE(capture->Has("In GetInvalidResponse"));
  EXPECT_THROW(FromClient(MakeMessage(mt::kSetNextFactorRequest, SetNextFactor(8))),
               InvalidApiException);
  EXPECT_NO_THROW(FromClient(MakeMessage(mt::kCloseAuthenticateActionRequest, CloseAction(9))));
  EXPECT_THROW(FromClient(MakeMessage(mt::kAuthenticateSetFactorRequest, SetNextFactor(-9))),
               InvalidApiException);
  CloseAuthenticateActionRetrieveDataRequest close;
  close.authenticationId = 9;
  EXPECT_NO_THROW(
      FromClient(MakeMessage(mt::kCloseAuthenticateActionRetrieveDataRequest, close.Serialize())));
}

TEST_F(CommandHandlerTest, SaveRequestIsAnsweredWithTheRequestsIdentity) {
  SaveRequest save;
  save.masterVersionsData = {1};
  save.secondFileName = "_Sys";
  save.secondFileData = {2};
  save.firstFileName = "_Sys$Policy";
  save.firstFileData = {3};
  const Message answer =
      Message::Parse(FromApplet(MakeMessage(mt::kSaveRequest, save.Serialize(), false, 23)));
  EXPECT_EQ(answer.messageType, mt::kSaveResponse);
  EXPECT_EQ(answer.moduleId, 4u);
  EXPECT_EQ(answer.sessionId, 23u);
  EXPECT_EQ(answer.category, 0u);
  EXPECT_TRUE(answer.isResponse);
  EXPECT_TRUE(files.HasFile("/data/Data/_Sys$Policy.SDS"));
}

TEST_F(CommandHandlerTest, KeyRenewalReportsAResumeOnce) {
  FpRequest renew;
  renew.requestCode = 0x7DD0;
  host.resumeMark = true;
  auto ask = [&] {
    const Message answer =
        Message::Parse(FromApplet(MakeMessage(mt::kFpRequest, renew.Serialize())));
    EXPECT_EQ(answer.messageType, mt::kFpResponse);
    EXPECT_EQ(answer.sessionId, 17u);
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

TEST_F(CommandHandlerTest, StorageRequestsOfTheAppletAreAnsweredYesOrNo) {
  const Message cleared = Message::Parse(FromApplet(MakeMessage(mt::kClearDataRequest)));
  EXPECT_EQ(cleared.messageType, mt::kClearDataResponse);
  EXPECT_EQ(BooleanOf(cleared), 0);
  EXPECT_FALSE(files.HasFile(kStoredFile));

  files.PutFile("/data/Data/_U1$A.SDS", "x");
  DeleteLevel1Request remove;
  remove.masterVersionsData = {7};
  remove.namePrefix = "_U1";
  const Message deleted =
      Message::Parse(FromApplet(MakeMessage(mt::kDeleteLevel1Request, remove.Serialize())));
  EXPECT_EQ(deleted.messageType, mt::kDeleteLevel1Response);
  EXPECT_EQ(BooleanOf(deleted), 0);
  EXPECT_FALSE(files.HasFile("/data/Data/_U1$A.SDS"));

  remove.namePrefix = "../etc";
  EXPECT_EQ(BooleanOf(Message::Parse(
                FromApplet(MakeMessage(mt::kDeleteLevel1Request, remove.Serialize())))),
            1);
}

TEST_F(CommandHandlerTest, AbsentComponentsAnswerAsTheirAbsenceImplies) {
  CheckPhonePresenceRequest presence;
  presence.deviceId = Bytes(8, 1);
  const Message phone =
      Message::Parse(FromApplet(MakeMessage(mt::kCheckPhonePresenceRequest, presence.Serialize())));
  EXPECT_EQ(phone.messageType, mt::kCheckPhonePresenceResponse);
  EXPECT_EQ(BooleanOf(phone), 1);
  EXPECT_TRUE(capture->Has("Phone presence monitor is not present"));

  const Message factor = Message::Parse(FromApplet(MakeMessage(mt::kFactorResultRequest)));
  EXPECT_EQ(factor.messageType, mt::kFactorResultResponse);
  EXPECT_FALSE(factor.isResponse);
  EXPECT_EQ(BooleanOf(factor), 1);
  EXPECT_TRUE(capture->Has("Factor-authentication flows are not present"));

  NeedUserDataRequest need;
  need.user = "S-1-5-21-1-2-3-1001";
  const Message user =
      Message::Parse(FromApplet(MakeMessage(mt::kNeedUserDataRequest, need.Serialize())));
  NeedUserDataResponse response;
  response.Deserialize(user.payload);
  EXPECT_EQ(user.messageType, mt::kNeedUserDataResponse);
  EXPECT_EQ(response.result, 1);
  EXPECT_EQ(response.user, need.user);
}

TEST_F(CommandHandlerTest, AttestationFailureIsAGenericException) {
  EXPECT_TRUE(FromClient(MakeMessage(mt::kInitAttestationRequest)).empty());
  EXPECT_EQ(attestation.starts, 1);
  attestation.failure = "Failed to initialing Halo client for Attestation. Error: 5";
  try {
    FromClient(MakeMessage(mt::kInitAttestationRequest));
    ADD_FAILURE() << "no exception";
  } catch (const GenericException& e) {
    EXPECT_EQ(static_cast<uint32_t>(e.ErrorCode()), 0xA0000060u);
  }
}

TEST_F(CommandHandlerTest, AttestationClientThatCannotBeLoadedFailsWithTheDocumentedText) {
  LibraryAttestationClient client(registry);
  auto failure = [&]() -> std::string {
    try {
      client.Initialize();
    } catch (const GenericException& e) {
      return e.what();
    }
    return "started";
  };
  const std::string expected = "Failed to initialing Halo client for Attestation.";
  EXPECT_EQ(failure(), expected);
  EXPECT_TRUE(capture->Contains("No attestation client is configured"));
  for (const char* path : {"/nonexistent/libattest.so", "libc.so.6"}) {
    platform::WriteRegistryValue(registry, keystone::kEngineKey, kAttestationClientPathValue,
                                 platform::RegValue::String(path));
    EXPECT_EQ(failure(), expected) << path;
  }
  EXPECT_TRUE(capture->Contains("KeystoneAttestationInitialize"));
}

TEST_F(CommandHandlerTest, HostWorkTypesFromAClientAreOnlyForwarded) {
  auth.inProgress = false;
  EXPECT_TRUE(FromClient(MakeMessage(mt::kClearDataRequest)).empty());
  EXPECT_TRUE(FromClient(MakeMessage(mt::kNeedUserDataRequest)).empty());
  EXPECT_TRUE(files.HasFile(kStoredFile));
  // And client request types coming back from the applet do nothing here.
  EXPECT_TRUE(FromApplet(MakeMessage(mt::kClientClearData)).empty());
  EXPECT_TRUE(files.HasFile(kStoredFile));
  EXPECT_TRUE(accounts.checkedPids.empty());
}

}  // namespace
}  // namespace mfab
