// The smart card's conversation with the simulated applet (docs/applet-protocol.md, the
// smart-card section): the chain check of an enrollment, the challenge, and the signature check
// that proves the card's key, records the enrollment or decides an authentication.

#include <chrono>
#include <utility>

#include "sim/applet/applet.h"
#include "sim/applet/policy.h"
#include "sim/applet/protocol.h"
#include "sim/applet/records.h"
#include "tlv/host_messages.h"
#include "tlv/smart_card_messages.h"

namespace kilnsim {
namespace {

namespace mt = mfab::message_type;

// Enrollment values the applet keeps beside the card's key (the record's raw data).
constexpr char kSha1Value[] = "CertificateSha1";
constexpr char kReaderValue[] = "ReaderName";
constexpr char kPinNeededValue[] = "PinNeeded";
constexpr size_t kMaxReaderName = 256;

void RequireSid(const std::string& user) {
  if (!IsSid(user)) {
    throw AppletError(sim_error::kInvalidArgument, "'" + user.substr(0, 184) + "' is not a SID");
  }
}

bool IsSha1Hex(const std::string& text) {
  if (text.size() != 40) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

bool IsPrintable(const std::string& text) {
  for (unsigned char c : text) {
    if (c < 0x20 || c > 0x7E) return false;
  }
  return true;
}

uint64_t UnixSeconds() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                   std::chrono::system_clock::now().time_since_epoch())
                                   .count());
}

const std::string* FindValue(const std::vector<NameValue>& values, const char* name) {
  for (const NameValue& value : values) {
    if (value.name == name) return &value.value;
  }
  return nullptr;
}

}  // namespace

std::optional<Applet::SmartCardState::Enrolling> Applet::EnrolledSmartCard(
    const std::string& user) const {
  const auto held = files.find(EnrollmentName(user, kSmartCardFactorId));
  if (held == files.end()) return std::nullopt;
  const EnrollmentRecord record = ParseEnrollmentRecord(held->second.record);
  const std::string* sha1 = FindValue(record.data, kSha1Value);
  if (record.raw.empty() || sha1 == nullptr) return std::nullopt;
  SmartCardState::Enrolling card;
  card.user = user;
  card.card = CardCertificate{record.raw, *sha1};
  if (const std::string* reader = FindValue(record.data, kReaderValue)) card.readerName = *reader;
  const std::string* pinNeeded = FindValue(record.data, kPinNeededValue);
  card.pinNeeded = pinNeeded == nullptr || *pinNeeded != "0";
  return card;
}

EnrollmentRecord Applet::ProvenSmartCard(const std::string& user, uint32_t sessionId) {
  if (!smartCard.proven || smartCard.proven->user != user ||
      smartCard.proven->sessionId != sessionId) {
    throw AppletError(mfab::applet_error::kEnrollmentError, "no verified smart card for " + user);
  }
  const SmartCardState::Enrolling card = std::move(*smartCard.proven);
  smartCard.proven.reset();
  EnrollmentRecord enrollment{kSmartCardFactorId, UnixSeconds(), {}, card.card.publicKey};
  enrollment.data.push_back({kSha1Value, card.card.sha1});
  enrollment.data.push_back({kPinNeededValue, card.pinNeeded ? "1" : "0"});
  if (!card.readerName.empty()) enrollment.data.push_back({kReaderValue, card.readerName});
  return enrollment;
}

ReplyDraft Applet::SmartCardDataForEnrollment(const mfab::Message& request, FwLog& log) {
  const auto data = ParsePayload<SmartCardFactor::SmartCardDataForEnrollment>(
      request, "SmartCardDataForEnrollment");
  RequireSid(data.user);
  if (!IsSha1Hex(data.text5D)) {
    throw AppletError(sim_error::kInvalidArgument, "0x7B5D is not a SHA-1 thumbprint");
  }
  if (data.text5B.size() > kMaxReaderName) {
    throw AppletError(sim_error::kInvalidArgument, "reader name longer than 256 bytes");
  }
  const auto policyFile = files.find(kPolicyName);
  if (policyFile == files.end()) throw AppletError(sim_error::kPolicyNotSet, "no policy is set");
  const Policy policy = ParsePolicy(policyFile->second.record);
  if (policy.FindFactor(kSmartCardFactorId) == nullptr) {
    throw AppletError(mfab::applet_error::kFactorNotSupported,
                      std::string("factor ") + kSmartCardFactorId + " is not in the policy");
  }
  if (firmware->Versions().versions.count(EnrollmentName(data.user, kSmartCardFactorId)) != 0) {
    throw AppletError(mfab::applet_error::kAlreadyEnrolled,
                      "a smart card is already enrolled for " + data.user);
  }
  smartCard.enrolling.reset();
  smartCard.proven.reset();
  const ChainVerdict verdict =
      VerifyCardChain(data.certificateBundle, data.text5D, SmartCardCaThumbprints(policy));
  if (!verdict.card) {
    log.Add(FwLog::kWarning, "smartcard: ", "certificate chain of %s refused: %s",
            data.user.c_str(), verdict.problem.c_str());
    return BooleanDraft(mt::kSmartCardDataForEnrollment, 1);
  }
  smartCard.enrolling = SmartCardState::Enrolling{
      data.user, request.sessionId, *verdict.card,
      IsPrintable(data.text5B) ? data.text5B : std::string(), data.value5F != 0};
  log.Add(FwLog::kInfo, "smartcard: ", "certificate %s of %s chains to a policy CA",
          verdict.card->sha1.c_str(), data.user.c_str());
  return BooleanDraft(mt::kSmartCardDataForEnrollment, 0);
}

ReplyDraft Applet::SmartCardChallenge(const mfab::Message& request, FwLog& log, bool askedForData) {
  const auto ask = ParsePayload<SmartCardFactor::SmartCardChallengeRequest>(
      request, "SmartCardChallengeRequest");
  RequireSid(ask.user);
  std::optional<SmartCardState::Enrolling> card;
  if (smartCard.enrolling && smartCard.enrolling->user == ask.user &&
      smartCard.enrolling->sessionId == request.sessionId) {
    card = smartCard.enrolling;
  } else {
    card = EnrolledSmartCard(ask.user);
  }
  if (!card) {
    const std::string name = EnrollmentName(ask.user, kSmartCardFactorId);
    if (!askedForData && firmware->Versions().versions.count(name) != 0) {
      // Enrolled, but the engine has not delivered the user's data in this session yet.
      log.Add(FwLog::kInfo, "smartcard: ", "asking the host for the data of %s", ask.user.c_str());
      smartCard.waitingForUserData = request;
      mfab::NeedUserDataRequest need;
      need.user = ask.user;
      return ReplyDraft{mt::kNeedUserDataRequest, false, need.Serialize()};
    }
    throw AppletError(sim_error::kUnknownUser, "no smart card is enrolled for " + ask.user);
  }
  smartCard.challenge = SmartCardState::Challenge{ask.user, request.sessionId, RandomNonce()};
  SmartCardFactor::SmartCardChallengeResponse challenge;
  challenge.nonce = smartCard.challenge->nonce;
  challenge.text5D = card->card.sha1;
  challenge.text5B = card->readerName;
  challenge.value5F = card->pinNeeded ? 1 : 0;
  log.Add(FwLog::kInfo, "smartcard: ", "challenge for %s in session %u", ask.user.c_str(),
          request.sessionId);
  return ReplyDraft{mt::kSmartCardChallengeRequest, true, challenge.Serialize()};
}

ReplyDraft Applet::ValidateSmartCardChallenge(const mfab::Message& request, FwLog& log) {
  const auto answer =
      ParsePayload<ValidateChallengeResponseRequest>(request, "ValidateChallengeResponseRequest");
  RequireSid(answer.user);
  if (answer.signature.size() > kMaxSignatureBytes) {
    throw AppletError(sim_error::kInvalidArgument, "signature longer than 1024 bytes");
  }
  if (!smartCard.challenge || smartCard.challenge->user != answer.user ||
      smartCard.challenge->sessionId != request.sessionId) {
    throw AppletError(sim_error::kUnexpectedMessage, "no challenge was given to " + answer.user +
                                                         " in session " +
                                                         std::to_string(request.sessionId));
  }
  // A nonce answers one signature, right or wrong.
  const std::vector<uint8_t> nonce = std::move(smartCard.challenge->nonce);
  smartCard.challenge.reset();

  if (smartCard.enrolling && smartCard.enrolling->user == answer.user &&
      smartCard.enrolling->sessionId == request.sessionId) {
    const SmartCardState::Enrolling card = std::move(*smartCard.enrolling);
    smartCard.enrolling.reset();
    if (!VerifyCardSignature(card.card.publicKey, nonce, answer.signature)) {
      log.Add(FwLog::kWarning, "smartcard: ", "the card of %s did not sign the challenge",
              answer.user.c_str());
      return BooleanDraft(mt::kValidateChallengeResponseRequest, 1);
    }
    log.Add(FwLog::kInfo, "smartcard: ", "the card of %s signed the challenge",
            answer.user.c_str());
    smartCard.proven = card;
    return BooleanDraft(mt::kValidateChallengeResponseRequest, 0);
  }

  const std::optional<SmartCardState::Enrolling> card = EnrolledSmartCard(answer.user);
  if (!card)
    throw AppletError(sim_error::kUnknownUser, "no smart card is enrolled for " + answer.user);
  const bool verified = VerifyCardSignature(card->card.publicKey, nonce, answer.signature);
  if (factorCheck && factorCheck->factorId == kSmartCardFactorId &&
      factorCheck->user == answer.user) {
    factorCheck->smartCardVerified = verified;
  }
  log.Add(verified ? FwLog::kInfo : FwLog::kWarning, "smartcard: ", "the card of %s %s",
          answer.user.c_str(), verified ? "signed the challenge" : "did not sign the challenge");
  return BooleanDraft(mt::kValidateChallengeResponseRequest, verified ? 0 : 1);
}

}  // namespace kilnsim
