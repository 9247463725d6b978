// The smart card's conversation with the simulated applet: the chain check, the challenge bound
// to its session and user, and the signature check that proves the card for the enrollment's
// store or decides the factor.

#include <gtest/gtest.h>

#include "sim/applet/policy.h"
#include "sim/applet/protocol.h"
#include "sim/applet/records.h"
#include "tests/sim/sim_test_support.h"
#include "tests/smartcard/smart_card_test_pki.h"
#include "tlv/client_messages.h"
#include "tlv/host_messages.h"
#include "tlv/smart_card_messages.h"

namespace kilnsim::testing {
namespace {

namespace mt = mfab::message_type;
using keystone::testing::CardPki;
using keystone::testing::TestCard;

constexpr char kCard[] = "PhysicalSmartcard";

// The sample policy's smart card alone, trusting the test CA (or under another factor id).
Bytes CardPolicy(bool withCard = true) {
  Policy policy;
  policy.factors = {ParsePolicy(SamplePolicy()).factors[0]};
  policy.factors[0].id = withCard ? kCard : "Phone";
  policy.factors[0].parameters = {{"CaCertificateThumbprint3", CardPki::Get().caSha256}};
  return SerializePolicy(policy);
}

int32_t BooleanOf(const mfab::Message& reply) {
  mfab::BooleanResponse value;
  value.result = 6;
  value.Deserialize(reply.payload);
  return value.result;
}

class SimSmartCardTest : public SimTest {
 protected:
  void SetUp() override {
    ASSERT_EQ(client.Run(MakeRequest(sim_type::kSetPolicyRequest, CardPolicy())).messageType,
              sim_type::kSetPolicyResponse);
  }

  mfab::Message ChainCheck(const TestCard& card, const std::string& sha1, uint32_t session = 7) {
    SmartCardFactor::SmartCardDataForEnrollment data;
    data.certificateBundle = card.bundle;
    data.text5B = "Test Reader 0";
    data.text5D = sha1;
    data.user = kSid;
    data.value5F = 1;
    return client.Send(0, MakeRequest(mt::kSmartCardDataForEnrollment, data.Serialize(), session));
  }
  mfab::Message Challenge(uint32_t session = 7, const std::string& user = kSid) {
    SmartCardFactor::SmartCardChallengeRequest ask;
    ask.user = user;
    return client.Send(0, MakeRequest(mt::kSmartCardChallengeRequest, ask.Serialize(), session));
  }
  SmartCardFactor::SmartCardChallengeResponse Nonce(uint32_t session = 7) {
    const mfab::Message reply = Challenge(session);
    EXPECT_EQ(reply.messageType, mt::kSmartCardChallengeRequest) << ErrorTextOf(reply);
    SmartCardFactor::SmartCardChallengeResponse challenge;
    challenge.Deserialize(reply.payload);
    return challenge;
  }
  mfab::Message Validate(const Bytes& signature, uint32_t session = 7,
                         const std::string& user = kSid) {
    ValidateChallengeResponseRequest answer;
    answer.signature = signature;
    answer.user = user;
    return client.Run(
        MakeRequest(mt::kValidateChallengeResponseRequest, answer.Serialize(), session));
  }
  mfab::Message StoreEnrollment(uint32_t session = 7) {
    mfab::Message store = EnrollRequest(kSid, kCard);
    store.sessionId = session;
    return client.Run(store);
  }

  SimClient client;
};

TEST_F(SimSmartCardTest, RecordsTheCardWhoseSignatureVerified) {
  const TestCard& card = CardPki::Get().rsaCard;
  EXPECT_EQ(BooleanOf(ChainCheck(card, card.sha1)), 0);
  const SmartCardFactor::SmartCardChallengeResponse challenge = Nonce();
  EXPECT_EQ(challenge.nonce.size(), 32u);
  EXPECT_EQ(challenge.text5D, card.sha1);
  EXPECT_EQ(challenge.text5B, "Test Reader 0");
  EXPECT_EQ(challenge.value5F, 1);
  const mfab::Message verdict = Validate(card.Sign(challenge.nonce));
  EXPECT_EQ(verdict.messageType, mt::kValidateChallengeResponseRequest) << ErrorTextOf(verdict);
  EXPECT_EQ(BooleanOf(verdict), 0);
  // The enrollment's store records the proven card, in its session only.
  EXPECT_EQ(ErrorCodeOf(StoreEnrollment(8)), mfab::applet_error::kEnrollmentError);
  EXPECT_EQ(StoreEnrollment().messageType, mt::kSaveEnrollmentDataResponse);
  mfab::GetUserDataRequest query;
  query.user = kSid;
  const mfab::Message users =
      client.Send(0, MakeRequest(mt::kGetUserDataRequest, query.Serialize()));
  mfab::GetUserDataResponse response;
  response.Deserialize(users.payload);
  const std::vector<UserData> data = ParseUserData(response.userData);
  ASSERT_EQ(data.size(), 1u);
  const std::vector<NameValue>& values = data[0].factors.at(kCard);
  EXPECT_NE(std::find(values.begin(), values.end(), NameValue{"CertificateSha1", card.sha1}),
            values.end());
  // Another card's chain is refused once one is enrolled.
  EXPECT_EQ(ErrorCodeOf(ChainCheck(card, card.sha1)), mfab::applet_error::kAlreadyEnrolled);
}

TEST_F(SimSmartCardTest, RefusesChainsThePolicyDoesNotTrust) {
  const struct {
    const char* name;
    const TestCard& card;
    std::string sha1;
  } cases[] = {
      {"foreign CA", CardPki::Get().foreignCard, CardPki::Get().foreignCard.sha1},
      {"EC key", CardPki::Get().ecCard, CardPki::Get().ecCard.sha1},
      {"certificate not in the bundle", CardPki::Get().rsaCard, CardPki::Get().secondRsaCard.sha1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(BooleanOf(ChainCheck(c.card, c.sha1)), 1);
    // Nothing is waiting to be proven: no challenge can be given.
    EXPECT_EQ(ErrorCodeOf(Challenge()), sim_error::kUnknownUser);
  }
}

TEST_F(SimSmartCardTest, RefusesASignatureOfAnotherKeyOnce) {
  const TestCard& card = CardPki::Get().rsaCard;
  EXPECT_EQ(BooleanOf(ChainCheck(card, card.sha1)), 0);
  const Bytes nonce = Nonce().nonce;
  EXPECT_EQ(BooleanOf(Validate(CardPki::Get().secondRsaCard.Sign(nonce))), 1);
  // The nonce answered one signature; the right one comes too late.
  EXPECT_EQ(ErrorCodeOf(Validate(card.Sign(nonce))), sim_error::kUnexpectedMessage);
  EXPECT_EQ(ErrorCodeOf(StoreEnrollment()), mfab::applet_error::kEnrollmentError);
}

TEST_F(SimSmartCardTest, BindsTheChallengeToItsRequester) {
  const TestCard& card = CardPki::Get().rsaCard;
  EXPECT_EQ(BooleanOf(ChainCheck(card, card.sha1)), 0);
  const Bytes nonce = Nonce().nonce;
  EXPECT_EQ(ErrorCodeOf(Validate(card.Sign(nonce), 8)), sim_error::kUnexpectedMessage);
  EXPECT_EQ(ErrorCodeOf(Validate(card.Sign(nonce), 7, "S-1-5-21-11-22-33-1002")),
            sim_error::kUnexpectedMessage);
  EXPECT_EQ(BooleanOf(Validate(card.Sign(nonce))), 0);
}

TEST_F(SimSmartCardTest, AnswersMalformedInputWithAnError) {
  const TestCard& card = CardPki::Get().rsaCard;
  Bytes truncated = card.bundle;
  truncated.resize(truncated.size() / 2);
  SmartCardFactor::SmartCardDataForEnrollment notSid;
  notSid.certificateBundle = card.bundle;
  notSid.text5D = card.sha1;
  notSid.user = "alice";
  const struct {
    const char* name;
    mfab::Message reply;
    uint16_t code;
  } cases[] = {
      {"garbage payload",
       client.Send(0, MakeRequest(mt::kSmartCardDataForEnrollment, {0x7B, 0x5C, 0x00})),
       sim_error::kMalformedRequest},
      {"truncated bundle",
       ChainCheck(TestCard{card.certificate, card.sha1, truncated, card.key}, card.sha1),
       sim_error::kMalformedRequest},
      {"oversized bundle",
       ChainCheck(TestCard{card.certificate, card.sha1, Bytes(25 * 1024, 0x30), card.key},
                  card.sha1),
       sim_error::kMalformedRequest},
      {"not a thumbprint", ChainCheck(card, "xyz"), sim_error::kInvalidArgument},
      {"not a SID",
       client.Send(0, MakeRequest(mt::kSmartCardDataForEnrollment, notSid.Serialize())),
       sim_error::kInvalidArgument},
      {"signature without challenge", Validate(card.Sign({1})), sim_error::kUnexpectedMessage},
      {"oversized signature", Validate(Bytes(1025, 1)), sim_error::kInvalidArgument},
      {"user data nobody asked for", client.Send(0, MakeRequest(mt::kNeedUserDataResponse, {})),
       sim_error::kUnexpectedMessage},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ErrorCodeOf(c.reply), c.code) << ErrorTextOf(c.reply);
  }
}

TEST_F(SimSmartCardTest, NeedsThePolicysSmartCardFactor) {
  const TestCard& card = CardPki::Get().rsaCard;
  ASSERT_EQ(client.Run(MakeRequest(sim_type::kSetPolicyRequest, CardPolicy(false))).messageType,
            sim_type::kSetPolicyResponse);
  EXPECT_EQ(ErrorCodeOf(ChainCheck(card, card.sha1)), mfab::applet_error::kFactorNotSupported);
}

// The host's yes counts for the smart card only after this applet verified a signature.
TEST_F(SimSmartCardTest, FactorCheckNeedsAVerifiedSignature) {
  const TestCard& card = CardPki::Get().rsaCard;
  ASSERT_EQ(BooleanOf(ChainCheck(card, card.sha1)), 0);
  ASSERT_EQ(BooleanOf(Validate(card.Sign(Nonce().nonce))), 0);
  ASSERT_EQ(StoreEnrollment().messageType, mt::kSaveEnrollmentDataResponse);
  const auto check = [&](bool signChallenge) {
    AuthenticateFlows::AuthenticateFactorRequest ask;
    ask.factorId = kCard;
    ask.user = kSid;
    EXPECT_EQ(client.Send(0, MakeRequest(mt::kCheckHostFactorRequest, ask.Serialize())).messageType,
              mt::kFactorResultRequest);
    if (signChallenge) {
      EXPECT_EQ(BooleanOf(Validate(card.Sign(Nonce().nonce))), 0);
    }
    mfab::BooleanResponse hostSays;
    hostSays.result = 0;
    mfab::Message answer = MakeRequest(mt::kFactorResultResponse, hostSays.Serialize());
    answer.isResponse = true;
    const mfab::Message verdict = client.Send(0, answer);
    EXPECT_EQ(verdict.messageType, mt::kCheckHostFactorResponse);
    return BooleanOf(verdict);
  };
  EXPECT_EQ(check(false), 1);
  EXPECT_EQ(check(true), 0);
}

}  // namespace
}  // namespace kilnsim::testing
