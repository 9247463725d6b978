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

using keystone::kAuthenticationAppletId;
using keystone::kEngineKey;
using keystone::kPanelAppletId;
using keystone::kPanelFactorKey;
using keystone::testing::Eventually;
using keystone::testing::FakeKiln;
using keystone::testing::KilnFunction;
using keystone::testing::ThrownText;
using Statuses = std::vector<KILN_STATUS>;
using Pairs = std::vector<std::pair<std::string, std::string>>;

constexpr char kMfaImage[] = "/opt/keystone/mfa.applet";
constexpr char kPanelImage[] = "/opt/keystone/panel.applet";

class TeeAppletTest : public ::testing::Test {
 protected:
  void SetUp() override {
    keystone::testing::EnableEngineLog();
    using platform::RegValue;
    platform::WriteRegistryValue(registry, kEngineKey, "AppletPath", RegValue::String(kMfaImage));
    SetStoredFirmware("1.0.0.0");
    platform::WriteRegistryValue(registry, kPanelFactorKey, "AppletPath",
                                 RegValue::String(kPanelImage));
  }
  void TearDown() override {
    session.reset();
    applet.reset();
    capture->Uninstall();
  }

  std::unique_ptr<TeeApplet> Make() {
    return std::make_unique<TeeApplet>(registry, kiln, clock, options);
  }
  // A fresh fake and a fresh applet over it, with one session open.
  void OpenFresh() {
    kiln = std::make_shared<FakeKiln>();
    applet = Make();
    session = applet->OpenSession({0, 0, 0, 4, 0, 0, 0, 3});
  }
  void SetStoredFirmware(const char* version) {
    platform::WriteRegistryValue(registry, kEngineKey, "FWVersion",
                                 platform::RegValue::String(version));
  }
  std::optional<std::string> StoredFirmware() {
    return platform::ReadRegistryString(registry, kEngineKey, "FWVersion");
  }
  // (applet id, image path) of each call of function, in order.
  Pairs Targets(KilnFunction function) const {
    Pairs targets;
    for (const auto& call : kiln->CallsOf(function))
      targets.emplace_back(call.appletId, call.appletPath);
    return targets;
  }

  std::shared_ptr<keystone::testing::LogCapture> capture = keystone::testing::LogCapture::Install();
  keystone::testing::MemoryRegistry registry;
  std::shared_ptr<FakeKiln> kiln = std::make_shared<FakeKiln>();
  keystone::testing::SteppingClock clock;
  TeeAppletOptions options = keystone::testing::FastTeeOptions();
  std::unique_ptr<TeeApplet> applet;
  KilnSessionOwner session;
  const std::vector<uint8_t> request{1, 2, 3};
};

TEST_F(TeeAppletTest, NewFirmwareReinstallsBothAppletsInOrderAndUnchangedTouchesNothing) {
  registry.SetReadOnly(true);  // any write would fail and be logged
  applet = Make();
  EXPECT_FALSE(applet->FwUpgraded());
  EXPECT_EQ(kiln->Sequence(),
            (std::vector<KilnFunction>{KilnFunction::kInitialize, KilnFunction::kGetVersionInfo}));
  EXPECT_FALSE(capture->Contains("FWVersion"));

  registry.SetReadOnly(false);
  kiln->SetFirmwareVersion("2.5.1.7");
  EXPECT_TRUE(Make()->FwUpgraded());
  EXPECT_TRUE(capture->Has("found new FW version:2.5.1.7 old version was :1.0.0.0"));
  EXPECT_EQ(Targets(KilnFunction::kUninstall),
            (Pairs{{kAuthenticationAppletId, ""}, {kPanelAppletId, ""}}));
  EXPECT_EQ(Targets(KilnFunction::kInstall2),
            (Pairs{{kAuthenticationAppletId, kMfaImage}, {kPanelAppletId, kPanelImage}}));
  EXPECT_EQ(StoredFirmware(), "2.5.1.7");

  kiln->SetFirmwareVersion(std::string(80, '7'));  // the fake fills the array, no terminator
  Make();
  EXPECT_EQ(StoredFirmware(), std::string(KILN_VERSION_TEXT_SIZE, '7'));
}

TEST_F(TeeAppletTest, FailedInitializationOrVersionQueryFailsConstruction) {
  kiln->ScriptStatuses(KilnFunction::kInitialize, {0x300});
  EXPECT_EQ(ThrownText<std::runtime_error>([&] { Make(); }), "KILN_Initialize failed");
  EXPECT_TRUE(capture->Has("KILN_Initialize failed (0X300)"));
  kiln->ScriptStatuses(KilnFunction::kGetVersionInfo, {0x301});
  EXPECT_THROW(Make(), KilnCommunicationErrorException);
  EXPECT_TRUE(capture->Has("KILN_GetVersionInfo failed (0X301)"));
  EXPECT_EQ(kiln->OpenHandleCount(), 0u);  // the handle made before the failure is released
}

// Only the authentication applet's failures stop the reinstall; the version is recorded only
// when it went through.
TEST_F(TeeAppletTest, FailuresDuringReinstall) {
  const struct {
    Statuses uninstalls, installs;
    bool panelImage;
    std::string log;
    size_t uninstallCalls, installCalls;
    bool upgraded;
    std::string thrown;
  } cases[] = {
      // clang-format off
      {{0x400}, {}, true, "KILN_Uninstall on MFA Applet failed (0X400)", 1, 0, false, ""},
      {{0, 0x401}, {0, 0x400}, true, "PANEL Applet installation failed: (KILN_Install2 failed)",
       2, 2, true, ""},
      {{}, {}, false, "PANEL Applet installation failed: (no PANEL AppletPath configured)", 2, 1,
       true, ""},
      {{}, {0x400}, true, std::string("KILN_Install2 on ") + kAuthenticationAppletId +
       " failed (0X400)", 2, 1, false, "KILN_Install2 failed"},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.log);
    kiln = std::make_shared<FakeKiln>();
    kiln->SetFirmwareVersion("2.0");
    kiln->ScriptStatuses(KilnFunction::kUninstall, c.uninstalls);
    kiln->ScriptStatuses(KilnFunction::kInstall2, c.installs);
    if (!c.panelImage) registry.DeleteTree(kPanelFactorKey);
    EXPECT_EQ(ThrownText<std::runtime_error>([&] { applet = Make(); }),
              c.thrown.empty() ? "<no exception>" : c.thrown);
    EXPECT_TRUE(capture->Has(c.log));
    EXPECT_EQ(kiln->Count(KilnFunction::kUninstall), c.uninstallCalls);
    EXPECT_EQ(kiln->Count(KilnFunction::kInstall2), c.installCalls);
    EXPECT_EQ(StoredFirmware(), c.upgraded ? "2.0" : "1.0.0.0");
    EXPECT_EQ(applet && applet->FwUpgraded(), c.upgraded);
    applet.reset();
    SetStoredFirmware("1.0.0.0");
  }
}

TEST_F(TeeAppletTest, CreationStatusesAndTheirRetries) {
  Statuses thirtyTransient(30, 0x300);
  thirtyTransient.push_back(0);
  const struct {
    const char* name;
    Statuses scripted;
    KILN_STATUS otherwise;
    std::string thrown;
    size_t creates, reinits, installs;
    std::vector<std::string> logs;
  } cases[] = {
      // clang-format off
      {"not installed: install, sleep, retry", {0x402, 0}, 0, "<no exception>", 2, 0, 1,
       {"Applet is not installed. Installing it now...", "Sleeping for 1 ms..."}},
      {"unavailable 30 times: reinit, one last attempt", {}, 0x1004,
       "CallKILNWithRetries failed (Retries exhausted)", 31, 1, 0,
       {"Re-Initializing KILN (Recovery)", "KILN call returned 0X1004 (Attempt #30)"}},
      {"the last attempt may succeed", thirtyTransient, 0, "<no exception>", 31, 1, 0, {}},
      {"known issue: one reinit, one more attempt", {0x201, 0}, 0, "<no exception>", 2, 1, 0,
       {"Known KILN issue ..."}},
      {"known issue twice", {0x201, 0x201}, 0, "CallKILNWithRetries failed with 513", 2, 1, 0, {}},
      {"any other status, no retry", {0xA0000001}, 0, "CallKILNWithRetries failed with 2684354561",
       1, 0, 0, {}},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    kiln = std::make_shared<FakeKiln>();
    capture->Clear();
    applet = Make();
    kiln->ScriptStatuses(KilnFunction::kCreateSession, c.scripted);
    kiln->SetDefaultStatus(KilnFunction::kCreateSession, c.otherwise);
    EXPECT_EQ(ThrownText<std::runtime_error>([&] { applet->OpenSession({}); }), c.thrown);
    EXPECT_EQ(kiln->Count(KilnFunction::kCreateSession), c.creates);
    EXPECT_EQ(kiln->Count(KilnFunction::kDeinit), c.reinits);
    EXPECT_EQ(kiln->Count(KilnFunction::kInitialize), c.reinits + 1);
    EXPECT_EQ(Targets(KilnFunction::kInstall2),
              Pairs(c.installs, {kAuthenticationAppletId, kMfaImage}));
    for (const std::string& log : c.logs) EXPECT_TRUE(capture->Has(log)) << log;
    if (c.otherwise == 0x1004) {
      EXPECT_EQ(capture->Count("KILN is currently unavailable"), 30u);
      // The re-initialized handle is the one the last attempt used.
      const auto creates = kiln->CallsOf(KilnFunction::kCreateSession);
      EXPECT_NE(creates.back().handle, creates.front().handle);
    }
  }
}

TEST_F(TeeAppletTest, DeadlineEndsRetriesBeforeAttemptLimit) {
  keystone::testing::SteppingClock fastClock(platform::kTicksPerSecond);  // 1 s per reading
  options.retryDeadline = std::chrono::milliseconds(3'000);
  TeeApplet shortLived(registry, kiln, fastClock, options);
  kiln->SetDefaultStatus(KilnFunction::kCreateSession, 0x301);
  EXPECT_THROW(shortLived.OpenSession({}), std::runtime_error);
  // Deadline at 4 s: readings at 2, 3 and 4 s allow attempts, 5 s is past; then the last one.
  EXPECT_EQ(kiln->Count(KilnFunction::kCreateSession), 4u);
  EXPECT_FALSE(capture->Has("KILN call returned 0X301 (Attempt #3)"));
}

// Hung creation: the recovery re-initializes on a handle of its own; the applet's stays open.
// Hung send: the recovery force-closes the session.
TEST_F(TeeAppletTest, HungCallsTimeOutAndRecover) {
  options.adapter.timeoutMs = 250;  // other calls finish well within it
  applet = Make();
  kiln->HangNextCall(KilnFunction::kCreateSession);
  EXPECT_THROW(applet->OpenSession({}), KILNCallTimeoutException);
  kiln->ReleaseHangs();
  ASSERT_TRUE(Eventually([&] { return kiln->Count(KilnFunction::kDeinit) == 1; }));
  EXPECT_TRUE(capture->Has("Initializing KILN"));
  EXPECT_TRUE(capture->Has("Deinitializing KILN"));
  EXPECT_EQ(kiln->Count(KilnFunction::kInitialize), 2u);
  EXPECT_EQ(kiln->OpenHandleCount(), 1u);

  OpenFresh();
  kiln->HangNextCall(KilnFunction::kSendAndRecv2);
  EXPECT_THROW(applet->Send(session, 0, request), KILNCallTimeoutException);
  kiln->ReleaseHangs();
  ASSERT_TRUE(Eventually([&] { return capture->Has("KILN_ForceCloseSession success!"); }));
  const auto closes = kiln->CallsOf(KilnFunction::kForceCloseSession);
  ASSERT_EQ(closes.size(), 1u);
  EXPECT_EQ(closes[0].session, session->Value());
}

// What reaches the library is checked through the session tests; here the call's fixed parts.
// The session outlives the applet and closes without throwing.
TEST_F(TeeAppletTest, SessionFlagsReceiveBufferLimitAndOwnership) {
  OpenFresh();
  const auto creates = kiln->CallsOf(KilnFunction::kCreateSession);
  ASSERT_EQ(creates.size(), 1u);
  EXPECT_EQ(creates[0].appletId, kAuthenticationAppletId);
  EXPECT_EQ(creates[0].flags, 1u);
  kiln->QueueReply(std::vector<uint8_t>(40'000, 0x5A));
  EXPECT_EQ(applet->Send(session, 0, request).size(), 32'768u);
  EXPECT_THROW(applet->Send(nullptr, 0, request), KilnInvalidSessionException);
  EXPECT_EQ(kiln->Count(KilnFunction::kSendAndRecv2), 1u);

  kiln->ScriptStatuses(KilnFunction::kCloseSession, {0x400});
  kiln->ScriptStatuses(KilnFunction::kDeinit, {0x401});
  applet.reset();
  EXPECT_EQ(kiln->Count(KilnFunction::kDeinit), 0u);  // the session still holds the handle
  session.reset();
  EXPECT_TRUE(capture->Has("KILN_CloseSession failed (0X400)"));
  EXPECT_TRUE(capture->Has("KILN_Deinit failed (0X401)"));
  EXPECT_EQ(kiln->Sequence().back(), KilnFunction::kDeinit);
}

// A failed first attempt is repeated once, except for an unknown session; the second decides.
TEST_F(TeeAppletTest, SendAttempts) {
  const struct {
    Statuses scripted;
    std::string outcome;
    size_t sends;
    const char* log;
  } cases[] = {
      // clang-format off
      {{0x100F}, "KILN session handle is invalid", 1,
       "First KILN_SendAndRecv2 first attempt failed (0X100F)"},
      {{0x300, 0x300}, "KILN communication error", 2, "KILN_SendAndRecv2 get ConnectionError "},
      {{0x300, 0x1004}, "KILN call failed (0X1004) code 4100", 2,
       "KILN_SendAndRecv2 second failed (0X1004)"},
      {{0x1004, 0}, "reply 4", 2, "First KILN_SendAndRecv2 first attempt failed (0X1004)"},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.outcome);
    OpenFresh();
    kiln->ScriptStatuses(KilnFunction::kSendAndRecv2, c.scripted);
    kiln->QueueReply({4});
    std::string outcome;
    try {
      outcome = "reply " + std::to_string(applet->Send(session, 0, request).at(0));
    } catch (const KilnGeneralException& e) {
      outcome = std::string(e.what()) + " code " + std::to_string(e.ErrorCode());
    } catch (const MfaException& e) {
      outcome = e.what();
    }
    EXPECT_EQ(outcome, c.outcome);
    EXPECT_EQ(kiln->Count(KilnFunction::kSendAndRecv2), c.sends);
    EXPECT_TRUE(capture->Has(c.log));
  }
}

}  // namespace
}  // namespace mfab
