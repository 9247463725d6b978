#include "applet/tee_applet.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "applet/applet_ids.h"
#include "applet/kiln_exceptions.h"
#include "common/config_keys.h"
#include "platform/registry.h"
#include "tests/applet/applet_test_support.h"
#include "tests/fakes/fake_kiln.h"
#include "tests/fakes/log_capture.h"
#include "tests/fakes/memory_registry.h"

namespace mfab {
namespace {

using keystone::kEngineKey;
using keystone::kPanelFactorKey;
using keystone::testing::Eventually;
using keystone::testing::FakeKiln;
using keystone::testing::KilnFunction;
using keystone::testing::LogCapture;
using keystone::testing::MemoryRegistry;
using keystone::testing::ThrownText;
using platform::RegValue;

constexpr char kMfaImage[] = "/opt/keystone/mfa.applet";
constexpr char kPanelImage[] = "/opt/keystone/panel.applet";

class TeeAppletTest : public ::testing::Test {
 protected:
  void SetUp() override {
    capture = LogCapture::Install();
    keystone::testing::EnableEngineLog();
    platform::WriteRegistryValue(registry, kEngineKey, "AppletPath", RegValue::String(kMfaImage));
    platform::WriteRegistryValue(registry, kEngineKey, "FWVersion", RegValue::String("1.0.0.0"));
    platform::WriteRegistryValue(registry, kPanelFactorKey, "AppletPath",
                                 RegValue::String(kPanelImage));
    options = keystone::testing::FastTeeOptions();
  }
  void TearDown() override { capture->Uninstall(); }

  std::unique_ptr<TeeApplet> Make() {
    return std::make_unique<TeeApplet>(registry, kiln, clock, options);
  }
  std::optional<std::string> StoredFirmware() {
    return platform::ReadRegistryString(registry, kEngineKey, "FWVersion");
  }

  std::shared_ptr<LogCapture> capture;
  MemoryRegistry registry;
  std::shared_ptr<FakeKiln> kiln = std::make_shared<FakeKiln>();
  keystone::testing::SteppingClock clock;
  TeeAppletOptions options;
};

// --- construction and firmware change -------------------------------------------------------

TEST_F(TeeAppletTest, UnchangedFirmwareTouchesNeitherAppletsNorRegistry) {
  registry.SetReadOnly(true);  // any write would fail and be logged
  auto applet = Make();
  EXPECT_EQ(kiln->Sequence(),
            (std::vector<KilnFunction>{KilnFunction::kInitialize, KilnFunction::kGetVersionInfo}));
  EXPECT_FALSE(applet->FwUpgraded());
  EXPECT_FALSE(capture->Contains("FWVersion"));
  EXPECT_EQ(applet->AppletPath(), kMfaImage);
}

TEST_F(TeeAppletTest, FailedInitializationOrVersionQueryFailsConstruction) {
  kiln->ScriptStatuses(KilnFunction::kInitialize, {0x300});
  EXPECT_EQ(ThrownText<std::runtime_error>([&] { Make(); }), "KILN_Initialize failed");
  EXPECT_TRUE(capture->Has("KILN_Initialize failed (0X300)"));

  kiln->ScriptStatuses(KilnFunction::kGetVersionInfo, {0x301});
  EXPECT_THROW(Make(), KilnCommunicationErrorException);
  EXPECT_TRUE(capture->Has("KILN_GetVersionInfo failed (0X301)"));
  // The handle initialized before the failure is released again.
  EXPECT_EQ(kiln->OpenHandleCount(), 0u);
}

TEST_F(TeeAppletTest, NewFirmwareReinstallsBothAppletsAndRecordsVersion) {
  kiln->SetFirmwareVersion("2.5.1.7");
  auto applet = Make();
  EXPECT_TRUE(capture->Has("found new FW version:2.5.1.7 old version was :1.0.0.0"));
  const auto uninstalls = kiln->CallsOf(KilnFunction::kUninstall);
  ASSERT_EQ(uninstalls.size(), 2u);
  EXPECT_EQ(uninstalls[0].appletId, keystone::kAuthenticationAppletId);
  EXPECT_EQ(uninstalls[1].appletId, keystone::kPanelAppletId);
  const auto installs = kiln->CallsOf(KilnFunction::kInstall2);
  ASSERT_EQ(installs.size(), 2u);
  EXPECT_EQ(installs[0].appletId, keystone::kAuthenticationAppletId);
  EXPECT_EQ(installs[0].appletPath, kMfaImage);
  EXPECT_EQ(installs[1].appletId, keystone::kPanelAppletId);
  EXPECT_EQ(installs[1].appletPath, kPanelImage);
  EXPECT_EQ(StoredFirmware(), "2.5.1.7");
  EXPECT_TRUE(applet->FwUpgraded());
}

TEST_F(TeeAppletTest, FailingUninstallOfAuthenticationAppletInstallsNothing) {
  kiln->SetFirmwareVersion("2.0");
  kiln->ScriptStatuses(KilnFunction::kUninstall, {0x400});
  auto applet = Make();
  EXPECT_TRUE(capture->Has("KILN_Uninstall on MFA Applet failed (0X400)"));
  EXPECT_EQ(kiln->Count(KilnFunction::kUninstall), 1u);
  EXPECT_EQ(kiln->Count(KilnFunction::kInstall2), 0u);
  EXPECT_EQ(StoredFirmware(), "1.0.0.0");
  EXPECT_FALSE(applet->FwUpgraded());
}

TEST_F(TeeAppletTest, PanelAppletFailuresAreIgnored) {
  kiln->SetFirmwareVersion("2.0");
  kiln->ScriptStatuses(KilnFunction::kUninstall, {0, 0x401});
  kiln->ScriptStatuses(KilnFunction::kInstall2, {0, 0x400});
  auto applet = Make();
  EXPECT_TRUE(capture->Has("KILN_Uninstall on PANEL Applet failed (0X401)"));
  EXPECT_TRUE(capture->Has("PANEL Applet installation failed: (KILN_Install2 failed)"));
  EXPECT_EQ(StoredFirmware(), "2.0");
  EXPECT_TRUE(applet->FwUpgraded());
}

TEST_F(TeeAppletTest, MissingPanelImageIsIgnoredButFailingMainInstallIsNot) {
  registry.DeleteTree(kPanelFactorKey);
  kiln->SetFirmwareVersion("2.0");
  auto applet = Make();
  EXPECT_TRUE(capture->Contains("PANEL Applet installation failed: ("));
  EXPECT_EQ(kiln->Count(KilnFunction::kInstall2), 1u);
  EXPECT_EQ(StoredFirmware(), "2.0");

  kiln->SetFirmwareVersion("3.0");
  kiln->ScriptStatuses(KilnFunction::kInstall2, {0x400});
  EXPECT_EQ(ThrownText<std::runtime_error>([&] { Make(); }), "KILN_Install2 failed");
  EXPECT_TRUE(capture->Contains(std::string("KILN_Install2 on ") +
                                keystone::kAuthenticationAppletId + " failed (0X400)"));
  EXPECT_EQ(StoredFirmware(), "2.0");
}

TEST_F(TeeAppletTest, UnterminatedFirmwareVersionIsReadWithinItsArray) {
  kiln->SetFirmwareVersion(std::string(80, '7'));  // the fake cuts it to the array
  auto applet = Make();
  EXPECT_EQ(StoredFirmware(), std::string(KILN_VERSION_TEXT_SIZE - 1, '7'));
}

// --- session creation and its retry classes -------------------------------------------------

TEST_F(TeeAppletTest, SessionCreationPassesInitDataToAuthenticationApplet) {
  auto applet = Make();
  const std::vector<uint8_t> init{0, 0, 0, 4, 0, 0, 0, 3};
  KilnSessionOwner session = applet->OpenSession(init);
  ASSERT_NE(session, nullptr);
  const auto creates = kiln->CallsOf(KilnFunction::kCreateSession);
  ASSERT_EQ(creates.size(), 1u);
  EXPECT_EQ(creates[0].appletId, keystone::kAuthenticationAppletId);
  EXPECT_EQ(creates[0].flags, 1u);
  EXPECT_EQ(creates[0].data, init);
  EXPECT_EQ(kiln->OpenSessionCount(), 1u);

  session.reset();  // the last owner closes it
  EXPECT_EQ(kiln->OpenSessionCount(), 0u);
  EXPECT_EQ(kiln->Count(KilnFunction::kCloseSession), 1u);
}

TEST_F(TeeAppletTest, NotInstalledAppletIsInstalledThenCreationRetried) {
  auto applet = Make();
  kiln->ScriptStatuses(KilnFunction::kCreateSession, {0x402, 0});
  EXPECT_NE(applet->OpenSession({}), nullptr);
  EXPECT_TRUE(capture->Has("Applet is not installed. Installing it now..."));
  EXPECT_TRUE(capture->Has("Sleeping for 1 ms..."));
  const auto installs = kiln->CallsOf(KilnFunction::kInstall2);
  ASSERT_EQ(installs.size(), 1u);
  EXPECT_EQ(installs[0].appletPath, kMfaImage);
  EXPECT_EQ(kiln->Count(KilnFunction::kCreateSession), 2u);
}

TEST_F(TeeAppletTest, UnavailableThirtyTimesEndsInReinitAndLastAttempt) {
  auto applet = Make();
  kiln->SetDefaultStatus(KilnFunction::kCreateSession, 0x1004);
  EXPECT_EQ(ThrownText<std::runtime_error>([&] { applet->OpenSession({}); }),
            "CallKILNWithRetries failed (Retries exhausted)");
  EXPECT_EQ(kiln->Count(KilnFunction::kCreateSession), 31u);
  EXPECT_EQ(capture->Count("KILN is currently unavailable"), 30u);
  EXPECT_EQ(kiln->Count(KilnFunction::kDeinit), 1u);
  EXPECT_EQ(kiln->Count(KilnFunction::kInitialize), 2u);
  EXPECT_TRUE(capture->Has("Re-Initializing KILN (Recovery)"));
  EXPECT_TRUE(capture->Has("KILN call returned 0X1004 (Attempt #30)"));
  // The re-initialized handle is the one the last attempt used.
  const auto creates = kiln->CallsOf(KilnFunction::kCreateSession);
  EXPECT_NE(creates.back().handle, creates.front().handle);
}

TEST_F(TeeAppletTest, LastAttemptAfterExhaustionMaySucceed) {
  auto applet = Make();
  std::vector<KILN_STATUS> statuses(30, 0x300);
  statuses.push_back(0);
  kiln->ScriptStatuses(KilnFunction::kCreateSession, statuses);
  EXPECT_NE(applet->OpenSession({}), nullptr);
}

TEST_F(TeeAppletTest, DeadlineEndsRetriesBeforeAttemptLimit) {
  keystone::testing::SteppingClock fastClock(platform::kTicksPerSecond);  // 1 s per reading
  options.retryDeadline = std::chrono::milliseconds(3'000);
  TeeApplet applet(registry, kiln, fastClock, options);
  kiln->SetDefaultStatus(KilnFunction::kCreateSession, 0x301);
  EXPECT_THROW(applet.OpenSession({}), std::runtime_error);
  // Deadline at 4 s: readings at 2, 3 and 4 s allow attempts, 5 s is past; then the last one.
  EXPECT_EQ(kiln->Count(KilnFunction::kCreateSession), 4u);
  EXPECT_FALSE(capture->Has("KILN call returned 0X301 (Attempt #3)"));
}

TEST_F(TeeAppletTest, KnownIssueGetsExactlyOneReinitAndOneExtraAttempt) {
  auto applet = Make();
  kiln->ScriptStatuses(KilnFunction::kCreateSession, {0x201, 0});
  EXPECT_NE(applet->OpenSession({}), nullptr);
  EXPECT_EQ(kiln->Count(KilnFunction::kCreateSession), 2u);
  EXPECT_EQ(kiln->Count(KilnFunction::kDeinit), 1u);
  EXPECT_TRUE(capture->Has("Known KILN issue ..."));

  kiln->ClearCalls();
  kiln->ScriptStatuses(KilnFunction::kCreateSession, {0x201, 0x201});
  EXPECT_EQ(ThrownText<std::runtime_error>([&] { applet->OpenSession({}); }),
            "CallKILNWithRetries failed with 513");
  EXPECT_EQ(kiln->Count(KilnFunction::kCreateSession), 2u);
  EXPECT_EQ(kiln->Count(KilnFunction::kDeinit), 1u);
}

TEST_F(TeeAppletTest, OtherStatusesThrowWithDecimalCodeWithoutRetry) {
  auto applet = Make();
  for (KILN_STATUS status : {0x400u, 0x200u, 0xA0000001u}) {
    kiln->ClearCalls();
    kiln->ScriptStatuses(KilnFunction::kCreateSession, {status});
    EXPECT_EQ(ThrownText<std::runtime_error>([&] { applet->OpenSession({}); }),
              "CallKILNWithRetries failed with " + std::to_string(status));
    EXPECT_EQ(kiln->Count(KilnFunction::kCreateSession), 1u);
  }
}

// --- sends ----------------------------------------------------------------------------------

class TeeAppletSendTest : public TeeAppletTest {
 protected:
  void SetUp() override {
    TeeAppletTest::SetUp();
    applet = Make();
    session = applet->OpenSession({});
  }
  void TearDown() override {
    session.reset();
    applet.reset();
    TeeAppletTest::TearDown();
  }

  std::unique_ptr<TeeApplet> applet;
  KilnSessionOwner session;
  const std::vector<uint8_t> request{1, 2, 3};
};

TEST_F(TeeAppletSendTest, ReturnsTheBytesTheAppletWroteWithinTheReceiveBuffer) {
  kiln->QueueReply({9, 8, 7, 6});
  EXPECT_EQ(applet->Send(session, 0, request), (std::vector<uint8_t>{9, 8, 7, 6}));
  const auto sends = kiln->CallsOf(KilnFunction::kSendAndRecv2);
  ASSERT_EQ(sends.size(), 1u);
  EXPECT_EQ(sends[0].data, request);
  EXPECT_EQ(sends[0].session, session->Value());
  kiln->QueueReply(std::vector<uint8_t>(40'000, 0x5A));
  EXPECT_EQ(applet->Send(session, 0, request).size(), 32'768u);
}

TEST_F(TeeAppletSendTest, MissingOrUnknownSessionIsInvalidAndNotRetried) {
  EXPECT_THROW(applet->Send(nullptr, 0, request), KilnInvalidSessionException);
  EXPECT_EQ(kiln->Count(KilnFunction::kSendAndRecv2), 0u);
  kiln->ScriptStatuses(KilnFunction::kSendAndRecv2, {0x100F});
  EXPECT_THROW(applet->Send(session, 0, request), KilnInvalidSessionException);
  EXPECT_EQ(kiln->Count(KilnFunction::kSendAndRecv2), 1u);
  EXPECT_TRUE(capture->Has("First KILN_SendAndRecv2 first attempt failed (0X100F)"));
}

TEST_F(TeeAppletSendTest, SecondAttemptDecidesTheOutcome) {
  kiln->ScriptStatuses(KilnFunction::kSendAndRecv2, {0x300, 0x300});
  EXPECT_THROW(applet->Send(session, 0, request), KilnCommunicationErrorException);
  EXPECT_TRUE(capture->Has("KILN_SendAndRecv2 get ConnectionError "));

  kiln->ScriptStatuses(KilnFunction::kSendAndRecv2, {0x300, 0x1004});
  int32_t code = 0;
  try {
    applet->Send(session, 0, request);
  } catch (const KilnGeneralException& e) {
    code = e.ErrorCode();
  }
  EXPECT_EQ(code, 0x1004);
  EXPECT_TRUE(capture->Has("KILN_SendAndRecv2 second failed (0X1004)"));

  kiln->ScriptStatuses(KilnFunction::kSendAndRecv2, {0x1004, 0});
  kiln->QueueReply({4});
  EXPECT_EQ(applet->Send(session, 0, request), std::vector<uint8_t>{4});
  EXPECT_EQ(kiln->Count(KilnFunction::kSendAndRecv2), 6u);
}

TEST_F(TeeAppletSendTest, HungSendTimesOutAndRecoveryForceClosesSession) {
  applet.reset();
  session.reset();
  options.adapter.timeoutMs = 250;
  applet = Make();
  session = applet->OpenSession({});
  kiln->HangNextCall(KilnFunction::kSendAndRecv2);
  EXPECT_THROW(applet->Send(session, 0, request), KILNCallTimeoutException);
  EXPECT_THROW(applet->Send(session, 0, request), KILNBusyException);
  kiln->ReleaseHangs();
  ASSERT_TRUE(Eventually([&] { return capture->Has("KILN_ForceCloseSession success!"); }));
  const auto closes = kiln->CallsOf(KilnFunction::kForceCloseSession);
  ASSERT_EQ(closes.size(), 1u);
  EXPECT_EQ(closes[0].session, session->Value());
}

TEST_F(TeeAppletSendTest, HungSessionCreationRecoversWithAFreshHandle) {
  applet.reset();
  session.reset();
  options.adapter.timeoutMs = 250;
  applet = Make();
  kiln->ClearCalls();
  capture->Clear();
  kiln->HangNextCall(KilnFunction::kCreateSession);
  EXPECT_THROW(applet->OpenSession({}), KILNCallTimeoutException);
  kiln->ReleaseHangs();
  ASSERT_TRUE(Eventually([&] { return kiln->Count(KilnFunction::kDeinit) == 1; }));
  EXPECT_TRUE(capture->Has("Initializing KILN"));
  EXPECT_TRUE(capture->Has("Deinitializing KILN"));
  const auto inits = kiln->CallsOf(KilnFunction::kInitialize);
  const auto deinits = kiln->CallsOf(KilnFunction::kDeinit);
  ASSERT_EQ(inits.size(), 1u);
  ASSERT_EQ(deinits.size(), 1u);
  // Only the recovery's own handle came and went; the applet's handle stays open.
  EXPECT_EQ(kiln->OpenHandleCount(), 1u);
}

TEST_F(TeeAppletSendTest, OwnersCloseThroughTheirOwnAdaptersAndNeverThrow) {
  kiln->ScriptStatuses(KilnFunction::kCloseSession, {0x400});
  kiln->ScriptStatuses(KilnFunction::kDeinit, {0x401});
  session.reset();
  EXPECT_TRUE(capture->Has("KILN_CloseSession failed (0X400)"));
  applet.reset();
  EXPECT_TRUE(capture->Has("Deinitializing KILN"));
  EXPECT_TRUE(capture->Has("KILN_Deinit failed (0X401)"));
}

TEST_F(TeeAppletSendTest, SessionKeepsLibraryHandleAliveAfterAppletIsGone) {
  applet.reset();
  EXPECT_EQ(kiln->Count(KilnFunction::kDeinit), 0u);
  session.reset();
  EXPECT_EQ(kiln->Sequence().back(), KilnFunction::kDeinit);
}

}  // namespace
}  // namespace mfab
