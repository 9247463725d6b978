#include "smartcard/smart_card_exchange.h"

#include <utility>

#include "common/exceptions.h"
#include "engine/flow_host.h"
#include "tlv/host_messages.h"
#include "tlv/message_types.h"

namespace SmartCardFactor {

mfab::Message SendToApplet(mfab::IFlowHost& host, uint32_t messageType, mfab::Bytes payload,
                           uint32_t flowId) {
  mfab::Message request;
  request.moduleId = kSmartCardModule;
  request.messageType = messageType;
  request.category = kSmartCardCategory;
  request.payload = std::move(payload);
  request.sessionId = flowId;
  return mfab::Message::Parse(host.ExecuteMessageToApplet(request.Serialize()));
}

SmartCardChallengeResponse RequestChallenge(mfab::IFlowHost& host, const std::string& user,
                                            uint32_t flowId) {
  SmartCardChallengeRequest ask;
  ask.user = user;
  const mfab::Message reply =
      SendToApplet(host, mfab::message_type::kSmartCardChallengeRequest, ask.Serialize(), flowId);
  if (reply.messageType != mfab::message_type::kSmartCardChallengeRequest) {
    throw mfab::GeneralException("Invalid message ");
  }
  SmartCardChallengeResponse challenge;
  challenge.Deserialize(reply.payload);
  return challenge;
}

int32_t ValidateChallenge(mfab::IFlowHost& host, const mfab::Bytes& signature,
                          const std::string& user, uint32_t flowId) {
  ValidateChallengeResponseRequest validate;
  validate.signature = signature;
  validate.user = user;
  const mfab::Message reply = SendToApplet(
      host, mfab::message_type::kValidateChallengeResponseRequest, validate.Serialize(), flowId);
  mfab::BooleanResponse verdict;
  verdict.result = kNoAnswer;
  if (reply.messageType == mfab::message_type::kValidateChallengeResponseRequest) {
    verdict.Deserialize(reply.payload);
  }
  return verdict.result;
}

CallbackTarget TargetOf(uint32_t flowId, uint32_t ownerId, const std::string& user) {
  return CallbackTarget{ownerId, flowId, user};
}

}  // namespace SmartCardFactor
