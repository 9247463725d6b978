#pragma once

// The smart-card factor's conversation with the applet (moduleId 14, category 2, the flow's id
// as sessionId). Each reply carries the request's messageType:
//
//   0xABBA007F SmartCardDataForEnrollment  -> BooleanResponse, 0 = the chain is trusted
//   0xABBA007D SmartCardChallengeRequest   -> SmartCardChallengeResponse (nonce and the
//                                             enrolled card's identification)
//   0xABBA007E ValidateChallengeResponseRequest -> BooleanResponse, 0 = the signature verified
//
// The 0x7B5B / 0x7B5D / 0x7B5F fields carry the reader name, the certificate's SHA-1 thumbprint
// (lower-case hex) and the PIN-needed flag (1 or 0).

#include <cstdint>
#include <functional>
#include <string>

#include "smartcard/smart_card_controller.h"
#include "smartcard/smart_card_policy.h"
#include "smartcard/smart_card_user_store.h"
#include "tlv/message.h"
#include "tlv/smart_card_messages.h"

namespace mfab {
class AuthenticateDataMirroring;
class IFlowHost;
}  // namespace mfab

namespace platform {
class Clock;
class Registry;
}  // namespace platform

namespace SmartCardFactor {

inline constexpr char kFactorId[] = "PhysicalSmartcard";
inline constexpr uint32_t kSmartCardModule = 14;
inline constexpr uint32_t kSmartCardCategory = 2;
// BooleanResponse's value before a reply is read: neither yes nor no.
inline constexpr int32_t kNoAnswer = 6;

// The limits of the factor's flows; tests shrink them.
struct SmartCardOptions {
  // PIN prompts of one flow; the card refusing more ends the flow.
  int32_t maxPinAttempts = 5;
};

// What both flows work with. References are borrowed and outlive every flow.
struct SmartCardServices {
  mfab::IFlowHost& host;
  platform::Registry& registry;
  const platform::Clock& clock;
  SmartCardOptions options;
};

// Sends one of the factor's requests and returns the final reply (the applet's requests for host
// work on the way answered by the host). Throws what IFlowHost throws, and TlvException for a
// reply that does not parse.
mfab::Message SendToApplet(mfab::IFlowHost& host, uint32_t messageType, mfab::Bytes payload,
                           uint32_t flowId);

// The applet's challenge. Throws GeneralException "Invalid message " when the reply is not one,
// and TlvException when its payload does not parse.
SmartCardChallengeResponse RequestChallenge(mfab::IFlowHost& host, const std::string& user,
                                            uint32_t flowId);

// The applet's verdict on the signed challenge (0 verified); kNoAnswer when the reply is of
// another type.
int32_t ValidateChallenge(mfab::IFlowHost& host, const mfab::Bytes& signature,
                          const std::string& user, uint32_t flowId);

// Where the client's callbacks go for a flow: its owner's endpoint, the flow's id, its user.
CallbackTarget TargetOf(uint32_t flowId, uint32_t ownerId, const std::string& user);

}  // namespace SmartCardFactor
