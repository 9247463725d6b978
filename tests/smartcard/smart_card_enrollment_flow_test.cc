// The smart card's enrollment through the client's enrollment call, the flow runner, the applet
// channel and the simulated applet, which checks the chain and the signed challenge itself.

#include <gtest/gtest.h>

#include "common/status.h"
#include "sim/applet/records.h"
#include "smartcard/smart_card_user_store.h"
#include "tests/smartcard/smart_card_world.h"

namespace keystone::testing {
namespace {

class SmartCardEnrollmentTest : public SmartCardWorld {
 protected:
  SmartCardEnrollmentTest() { SetPolicy(); }

  std::optional<mfab::Bytes> StoredBundle() {
    return SmartCardFactor::SmartCardUserStore(registry).ReadP7bBlob(kAliceSid);
  }
  bool AppletRecordedCard() {
    return !Stored(kilnsim::EnrollmentName(kAliceSid, kSmartCard)).empty();
  }
  size_t ChainChecks() {
    return capture->Count(
        "Run step: SmartCardFactor::SmartCardEnrollmentFlow::AppletVerifyChainStep");
  }
};

TEST_F(SmartCardEnrollmentTest, EnrollsACardWithoutPinSignedInTheEngine) {
  EXPECT_EQ(Enroll(), kStatusSuccess);
  EXPECT_EQ(StoredBundle(), CardPki::Get().rsaCard.bundle);
  EXPECT_TRUE(AppletRecordedCard());
  EXPECT_EQ(certificates->SignedWithPin(), std::vector<std::string>{"<none>"});
  EXPECT_TRUE(client->Targets().empty());
  mirror.UserUpdated(kAliceSid);
  EXPECT_EQ(mirror.GetEnrolledFactors(kAliceSid).count(kSmartCard), 1u);
  EXPECT_EQ(Enroll(), kStatusAlreadyEnrolled);
}

TEST_F(SmartCardEnrollmentTest, HasTheClientSignWhenThePinMayNotBeReplayed) {
  certificates->pinNeeded = true;
  EXPECT_EQ(Enroll(), kStatusSuccess);
  EXPECT_EQ(certificates->Signatures(), 0);
  EXPECT_EQ(client->SignedFor(), std::vector<std::string>{CardPki::Get().rsaCard.sha1});
  const std::vector<SmartCardFactor::CallbackTarget> targets = client->Targets();
  ASSERT_EQ(targets.size(), 1u);
  EXPECT_EQ(targets[0].endpointNumber, kAlice.pid);
  EXPECT_EQ(targets[0].value, kClientSession);
  EXPECT_EQ(targets[0].userSid, kAliceSid);
}

// Each collected PIN signs in the engine, after its own chain check; the client signs nothing.
TEST_F(SmartCardEnrollmentTest, SignsInTheEngineWithEachCollectedPinWhenReplayIsAllowed) {
  SetPolicy({{"AllowPinReplay", "true"}});
  certificates->pinNeeded = true;
  client->SetPins({"0000", "1234"});
  EXPECT_EQ(Enroll(), kStatusSuccess);
  EXPECT_EQ(client->Attempts(), (std::vector<int32_t>{1, 2}));
  EXPECT_EQ(certificates->SignedWithPin(), (std::vector<std::string>{"0000", "1234"}));
  EXPECT_EQ(ChainChecks(), 2u);
  EXPECT_TRUE(client->SignedFor().empty());
}

TEST_F(SmartCardEnrollmentTest, GivesUpAfterTheLastRefusedPin) {
  SetPolicy({{"AllowPinReplay", "true"}});
  certificates->pinNeeded = true;
  client->SetPins({"0000"});
  EXPECT_EQ(Enroll(), kStatusEnrollmentError);
  EXPECT_EQ(client->Attempts().size(), static_cast<size_t>(smartCardOptions.maxPinAttempts));
  EXPECT_FALSE(StoredBundle());
}

// Every failure ends with its code; nothing is kept in the registry or by the applet.
TEST_F(SmartCardEnrollmentTest, ReportsEachFailureWithItsCode) {
  struct Case {
    const char* name;
    std::function<void()> arrange;
    uint32_t status;
    const char* logged;
  };
  const Case cases[] = {
      {"no card", [&] { certificates->present = false; }, kStatusSmartCardNotAvailable,
       "Open smart card storage failed!!!"},
      {"card pulled at the PIN prompt",
       [&] {
         SetPolicy({{"AllowPinReplay", "true"}});
         certificates->pinNeeded = true;
         client->onPrompt = [this] { certificates->present = false; };
       },
       kStatusEnrollmentError, "Challenge response failed"},
      {"PIN prompt cancelled",
       [&] {
         SetPolicy({{"AllowPinReplay", "true"}});
         certificates->pinNeeded = true;
         client->SetMode(FakeClientCallbacks::Mode::kRefuse);
       },
       kStatusGeneralFailure, "SmartCardGetPin return error 4c7"},
      {"signature cancelled",
       [&] {
         certificates->pinNeeded = true;
         client->SetMode(FakeClientCallbacks::Mode::kRefuse);
       },
       kStatusEnrollmentError, "SmartCardSignHash return error 4c7"},
      {"older system", [&] { osVersion.atLeastWindows8 = false; }, kStatusFactorNotSupported,
       "factor is not supported!"},
      {"factor not in the policy", [&] { SetPolicy({}, false); }, kStatusInvalidParameter,
       "Invalid factor"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    capture->Clear();
    certificates->present = true;
    certificates->pinNeeded = false;
    osVersion.atLeastWindows8 = true;
    client->SetMode(FakeClientCallbacks::Mode::kAnswer);
    client->onPrompt = nullptr;
    SetPolicy();
    c.arrange();
    EXPECT_EQ(Enroll(), c.status);
    EXPECT_TRUE(capture->Contains(c.logged)) << c.logged;
    EXPECT_FALSE(StoredBundle());
    EXPECT_FALSE(AppletRecordedCard());
  }
}

// The applet, not the engine, refuses a card its policy does not trust and a signature made with
// another key (the simulator's own tests hold the applet's every reason).
TEST_F(SmartCardEnrollmentTest, AppletRefusesACardItCannotTrust) {
  const struct {
    const char* name;
    const TestCard& inserted;
    const TestCard& signer;
    const char* logged;
  } cases[] = {
      {"foreign CA", CardPki::Get().foreignCard, CardPki::Get().foreignCard,
       "The applet refused the certificate chain"},
      {"other key signs", CardPki::Get().rsaCard, CardPki::Get().secondRsaCard,
       "Challenge response failed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    capture->Clear();
    auto inserted = std::make_shared<FakeCertificates>(c.inserted);
    inserted->pinNeeded = true;
    auto signer = std::make_shared<FakeClientCallbacks>(c.signer);
    Factors::FactorRegistry registered(mirror, {SmartCard(inserted, signer)});
    mfab::FlowRunner flows(registered, mirror, host, accounts, {10s, 5s, 5s, 10s});
    EXPECT_EQ(flows.RunEnrollmentFlow(kClientSession, kAlice, kAliceSid, kSmartCard),
              kStatusEnrollmentError);
    EXPECT_TRUE(capture->Contains(c.logged));
    EXPECT_FALSE(StoredBundle());
    EXPECT_FALSE(AppletRecordedCard());
  }
}

// Without its bundle the user could never authenticate: the applet must not record the card.
TEST_F(SmartCardEnrollmentTest, FailsWhenTheBundleCannotBeSaved) {
  registry.SetReadOnly(true);
  EXPECT_EQ(Enroll(), kStatusEnrollmentError);
  registry.SetReadOnly(false);
  EXPECT_TRUE(capture->Contains("Failed to save p7b blob error 5"));
  EXPECT_FALSE(StoredBundle());
  EXPECT_FALSE(AppletRecordedCard());
  // Nothing half done stands in the way of the next attempt.
  EXPECT_EQ(Enroll(), kStatusSuccess);
}

TEST_F(SmartCardEnrollmentTest, ClientThatNeverAnswersEndsWithTheFactorsLimit) {
  Limits({10s, 200ms, 200ms, 10s});
  SetPolicy();
  certificates->pinNeeded = true;
  client->SetMode(FakeClientCallbacks::Mode::kNeverAnswer);
  EXPECT_EQ(Enroll(), kStatusEnrollmentError);
  // The prompt ended because the flow stopped it, not at the client's own cap.
  EXPECT_TRUE(capture->Contains("SmartCardSignHash return error 6ac"));
  EXPECT_FALSE(StoredBundle());
}

}  // namespace
}  // namespace keystone::testing
