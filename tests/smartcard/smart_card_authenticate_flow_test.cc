// The smart card's authentication when the applet asks the host for the factor: the client's
// factor check goes to the simulated applet, which asks for the factor and decides by the
// signature it verifies itself.

#include <gtest/gtest.h>

#include "common/status.h"
#include "platform/registry.h"
#include "smartcard/smart_card_user_store.h"
#include "tests/smartcard/smart_card_world.h"

namespace keystone::testing {
namespace {

using SmartCardFactor::SmartCardUserStore;

class SmartCardAuthenticationTest : public SmartCardWorld {
 protected:
  // Enrolls Alice's card under a policy with these extra parameters.
  void Enrolled(std::vector<kilnsim::NameValue> extra = {}) {
    SetPolicy(std::move(extra));
    ASSERT_EQ(Enroll(), kStatusSuccess);
  }
  std::optional<uint64_t> CrlCheck() {
    return SmartCardUserStore(registry).ReadCrlCheck(kAliceSid);
  }
  std::string UserKey() const { return SmartCardUserStore::UserKeyPath(kAliceSid); }
};

// A new engine opens a new applet session: the applet asks for the user's data before it can
// name the enrolled certificate.
TEST_F(SmartCardAuthenticationTest, AuthenticatesInANewSession) {
  Enrolled();
  Limits({10s, 5s, 5s, 10s});
  capture->Clear();
  EXPECT_EQ(Authenticate(), 0);
  EXPECT_EQ(certificates->Signatures(), 2);
  EXPECT_TRUE(
      capture->Contains("smartcard: asking the host for the data of " + std::string(kAliceSid)));
}

TEST_F(SmartCardAuthenticationTest, HasTheClientSignWhenThePinMayNotBeReplayed) {
  Enrolled();
  certificates->pinNeeded = true;
  EXPECT_EQ(Authenticate(), 0);
  EXPECT_EQ(client->SignedFor(), std::vector<std::string>{CardPki::Get().rsaCard.sha1});
  EXPECT_EQ(client->Targets().back().value, kClientSession);
  EXPECT_EQ(client->Targets().back().endpointNumber, kAlice.pid);
}

TEST_F(SmartCardAuthenticationTest, AsksAgainForARefusedPinWhenReplayIsAllowed) {
  Enrolled({{"AllowPinReplay", "true"}});
  certificates->pinNeeded = true;
  client->SetPins({"0000", "1234"});
  EXPECT_EQ(Authenticate(), 0);
  EXPECT_EQ(client->Attempts(), (std::vector<int32_t>{1, 2}));
}

TEST_F(SmartCardAuthenticationTest, ChecksRevocationOnlyWhenTheIntervalHasPassed) {
  Enrolled({{"CrlCheckFrequency", "60"}});
  EXPECT_EQ(Authenticate(), 0);  // never checked: due
  EXPECT_EQ(CrlCheck(), static_cast<uint64_t>(clock.UnixSeconds()));
  const uint64_t checkedAt = *CrlCheck();
  clock.Advance(std::chrono::minutes(30));
  EXPECT_EQ(Authenticate(), 0);
  EXPECT_EQ(CrlCheck(), checkedAt);
  clock.Advance(std::chrono::minutes(31));
  EXPECT_EQ(Authenticate(), 0);
  EXPECT_EQ(CrlCheck(), static_cast<uint64_t>(clock.UnixSeconds()));
  // The enrollment's own chain check is not a revocation check.
  EXPECT_EQ(certificates->Verifications(), (std::vector<bool>{true, false, true}));
}

TEST_F(SmartCardAuthenticationTest, NeverTouchesCrlCheckWithFrequencyZero) {
  Enrolled({{"CrlCheckFrequency", "0"}});
  platform::WriteRegistryValue(registry, UserKey(), SmartCardFactor::kCrlCheckValue,
                               platform::RegValue::Qword(5));
  EXPECT_EQ(Authenticate(), 0);
  EXPECT_EQ(certificates->Verifications(), std::vector<bool>{false});
  EXPECT_EQ(CrlCheck(), 5u);
}

TEST_F(SmartCardAuthenticationTest, RefusesARevokedCardWhenTheCheckIsDue) {
  Enrolled({{"CrlCheckFrequency", "60"}});
  certificates->revoked = true;
  EXPECT_EQ(Authenticate(), 1);
  EXPECT_FALSE(CrlCheck());
  EXPECT_TRUE(capture->Contains("Untrusted Chain. Error: 4"));
}

// Each failure answers the applet negatively, and says why in the log.
TEST_F(SmartCardAuthenticationTest, AnswersNoWhenTheFactorFails) {
  struct Case {
    const char* name;
    std::function<void()> arrange;
    const char* logged;
  };
  const Case cases[] = {
      {"corrupted p7bBlob",
       [&] {
         platform::WriteRegistryValue(registry, UserKey(), SmartCardFactor::kP7bBlobValue,
                                      platform::RegValue::Binary({0x30, 0x03, 0x02, 0x01}));
       },
       "MfaException Invalid Format: Not expected cryptography type."},
      {"no p7bBlob", [&] { registry.DeleteTree(UserKey()); }, "exception can't find p7b blob"},
      {"card pulled", [&] { certificates->present = false; },
       "The enrolled smart card is not present"},
      {"other card signs",
       [&] {
         certificates->pinNeeded = true;
         client->SetSigner(CardPki::Get().secondRsaCard);
       },
       "exception challenge validation failed"},
  };
  Enrolled();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    capture->Clear();
    SmartCardUserStore(registry).WriteP7bBlob(kAliceSid, CardPki::Get().rsaCard.bundle);
    certificates->present = true;
    certificates->pinNeeded = false;
    c.arrange();
    EXPECT_EQ(Authenticate(), 1);
    EXPECT_TRUE(capture->Contains(c.logged)) << c.logged;
  }
}

TEST_F(SmartCardAuthenticationTest, ClientThatNeverAnswersEndsWithTheFactorsLimit) {
  Enrolled();
  Limits({10s, 200ms, 200ms, 10s});
  certificates->pinNeeded = true;
  client->SetMode(FakeClientCallbacks::Mode::kNeverAnswer);
  EXPECT_EQ(Authenticate(), 1);
  EXPECT_TRUE(capture->Contains("SmartCardSignHash return error 6ac"));
}

TEST_F(SmartCardAuthenticationTest, AnswersNoForAUserWithoutEnrollment) {
  SetPolicy();
  EXPECT_EQ(Authenticate(), 1);
  EXPECT_EQ(certificates->Signatures(), 0);
}

}  // namespace
}  // namespace keystone::testing
