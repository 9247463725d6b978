#include "engine/command_handler.h"

#include <exception>
#include <span>
#include <string>
#include <utility>

#include "common/exceptions.h"
#include "engine/applet_manager.h"
#include "engine/attestation_client.h"
#include "log/logger.h"
#include "platform/accounts.h"
#include "platform/clock.h"
#include "storage/data_controller.h"
#include "tlv/client_messages.h"
#include "tlv/host_messages.h"
#include "tlv/applet_tags.h"
#include "tlv/message_types.h"

namespace mfab {
namespace {

AuthenticateLogger& Log() { return AuthenticateLoggerService::Instance(); }

namespace mt = message_type;

// FpRequest's code that asks for an answer.
constexpr int32_t kKeyRenewalCode = 0x7DD0;
// FpResponse's result after a resume.
constexpr int32_t kRenewAfterResume = 10;

// The calls allowed while an authentication runs: they belong to it.
bool IsInAuthenticationCall(uint32_t messageType) {
  switch (messageType) {
    case mt::kSetNextFactorRequest:
    case mt::kCloseAuthenticateActionRequest:
    case mt::kAuthenticateSetFactorRequest:
    case mt::kUnsetFactorRequest:
    case mt::kCloseAuthenticateActionRetrieveDataRequest:
      return true;
    default:
      return false;
  }
}

Bytes AnswerMessage(const Message& request, uint32_t answerType, Bytes payload,
                    bool isResponse = true) {
  Message answer;
  answer.moduleId = request.moduleId;
  answer.messageType = answerType;
  answer.category = 0;
  answer.payload = std::move(payload);
  answer.isResponse = isResponse;
  answer.sessionId = request.sessionId;
  return answer.Serialize();
}

template <typename Layout>
int32_t AuthenticationIdOf(const Message& message) {
  Layout layout;
  layout.Deserialize(message.payload);
  return layout.authenticationId;
}

}  // namespace

int32_t FlowTypeOf(uint32_t messageType) {
  static constexpr uint16_t kEnrollment[] = {0x0B, 0x11, 0x17, 0x19, 0x3E, 0x75};
  static constexpr uint16_t kAuthentication[] = {0x09, 0x22, 0x24, 0x2C, 0x44, 0x52,
                                                 0x54, 0x56, 0x58, 0x5A, 0x5C};
  static constexpr uint16_t kQuery[] = {0x13, 0x15, 0x1B, 0x26, 0x2E, 0x47, 0x4D, 0x5F, 0x63, 0x71};
  static constexpr uint16_t kSystem[] = {0x07, 0x0D, 0x0F, 0x32, 0x36, 0x37, 0x38, 0x39, 0x46};
  static constexpr std::pair<int32_t, std::span<const uint16_t>> kTable[] = {
      {1, kEnrollment}, {2, kAuthentication}, {3, kQuery}, {4, kSystem}};
  if ((messageType >> 16) != 0xABBA) return 0;
  const auto low = static_cast<uint16_t>(messageType & 0xFFFFu);
  for (const auto& [flowType, lowHalves] : kTable) {
    for (uint16_t candidate : lowHalves) {
      if (candidate == low) return flowType;
    }
  }
  return 0;
}

CommandHandler::CommandHandler(const CommandHandlerServices& handlerServices,
                               Options handlerOptions)
    : services(handlerServices),
      options(handlerOptions),
      requestProcessor(handlerServices.dataController) {}

Bytes CommandHandler::HandleRequest(const Bytes& bytes, const keystone::ClientIdentity& client,
                                    bool fromClient) {
  const Message message = Message::Parse(bytes);
  Admit(message, client, fromClient);
  // Host work is answered only when the applet asks for it: a client cannot make the engine
  // clear or rewrite stored data by sending the applet's request types itself.
  return fromClient ? DispatchClientRequest(message, client)
                    : DispatchAppletRequest(message, client);
}

void CommandHandler::Admit(const Message& message, const keystone::ClientIdentity& client,
                           bool fromClient) {
  if (fromClient) {
    RequireOwnUser(message, client);
    if (!IsInAuthenticationCall(message.messageType) && !message.isResponse &&
        services.authState.AuthenticationInProgress()) {
      // Another user's authentication does not keep the console user (or root) out.
      if (!services.host.YieldToPriorityClient(client) ||
          services.authState.AuthenticationInProgress()) {
        throw ApiCurrentlyBusyException();
      }
    }
    if (services.host.ApiBusy()) throw ApiCurrentlyBusyException();
  }
  if (!fromClient || message.isResponse) {
    if (!services.host.IsCurrentFlowAllowed()) {
      throw ConnectedStandByException("in connected stand by state");
    }
  }
  if (fromClient && !message.isResponse) {
    services.host.SetFlowType(message.sessionId, FlowTypeOf(message.messageType), client);
  }
}

void CommandHandler::RequireOwnUser(const Message& message,
                                    const keystone::ClientIdentity& client) {
  if (client.Elevated()) return;
  const uint8_t* const begin = message.payload.data();
  const uint8_t* const end = begin + message.payload.size();
  try {
    // Validates the whole sequence; then every item is looked at, not only the first of a tag.
    ParseTlv(begin, end);
  } catch (const TlvException&) {
    KS_LOG(Log(), kLogError, "FLOW", "Request 0x%08X of uid %u is not a TLV sequence",
           message.messageType, client.uid);
    throw InvalidApiException();
  }
  std::string own;
  for (const uint8_t* item = begin; item != end; item = TlvNext(item)) {
    if (TlvTag(item) != applet_tag::kUser) continue;
    if (own.empty()) {
      try {
        own = client.Known() ? services.accounts.UserSid(client.uid) : std::string();
      } catch (const std::exception& e) {
        KS_LOG(Log(), kLogError, "FLOW", "Cannot name the user of uid %u (%s)", client.uid,
               e.what());
      }
    }
    const std::string named = TlvToString(item);
    if (own.empty() || named != own) {
      KS_LOG(Log(), kLogError, "FLOW", "Request 0x%08X of uid %u names user %s, not its own",
             message.messageType, client.uid, named.c_str());
      throw InvalidApiException();
    }
  }
}

void CommandHandler::StartOfAction(int32_t monitorStatus) {
  if (services.authState.AuthenticationInProgress()) throw ApiCurrentlyBusyException();
  services.authState.SetMonitoring(monitorStatus != 0);
}

Bytes CommandHandler::DispatchClientRequest(const Message& message,
                                            const keystone::ClientIdentity& client) {
  switch (message.messageType) {
    case mt::kActionAuthenticateRequest: {
      ActionAuthenticateRequest request;
      request.Deserialize(message.payload);
      StartOfAction(request.monitorStatus);
      break;
    }
    case mt::kAuthenticateActionRetrieveDataRequest: {
      AuthenticateActionRetrieveDataRequest request;
      request.Deserialize(message.payload);
      StartOfAction(request.monitorStatus);
      break;
    }
    case mt::kInitAuthenticateActionRequest: {
      InitAuthenticateActionRequest request;
      request.Deserialize(message.payload);
      StartOfAction(request.monitorStatus);
      break;
    }
    case mt::kSetPolicyRequest:
      RequireElevation(client);
      break;
    case mt::kInitAttestationRequest:
      services.attestation.Initialize();
      break;
    case mt::kClientClearData:
      ClearDataDirectoryForClient(client);
      break;
    case mt::kSetNextFactorRequest:
    case mt::kAuthenticateSetFactorRequest:
    case mt::kCloseAuthenticateActionRequest:
    case mt::kUnsetFactorRequest:
    case mt::kCloseAuthenticateActionRetrieveDataRequest:
      ValidateRequest(message);
      break;
    default:
      break;
  }
  return {};
}

Bytes CommandHandler::DispatchAppletRequest(const Message& message,
                                            const keystone::ClientIdentity& client) {
  switch (message.messageType) {
    case mt::kSaveRequest:
      return requestProcessor.ProcessSaveRequest(message);
    case mt::kClearDataRequest: {
      bool cleared = false;
      try {
        cleared = services.dataController.DeleteAllSecureDataFiles();
      } catch (const std::exception& e) {
        KS_LOG(Log(), kLogError, "FLOW", "Clearing the data directory failed (%s)", e.what());
      }
      return BooleanAnswer(message, mt::kClearDataResponse, !cleared);
    }
    case mt::kDeleteLevel1Request:
      return DeleteLevel1(message);
    case mt::kFpRequest:
      return KeyRenewal(message);
    case mt::kCheckPhonePresenceRequest:
      return PhonePresence(message);
    case mt::kNeedUserDataRequest:
      return NeedUserData(message);
    case mt::kFactorResultRequest:
      return FactorFlow(message, client);
    default:
      return {};
  }
}

Bytes CommandHandler::BooleanAnswer(const Message& request, uint32_t answerType,
                                    bool failed) const {
  BooleanResponse response;
  response.result = failed ? 1 : 0;
  return AnswerMessage(request, answerType, response.Serialize());
}

Bytes CommandHandler::DeleteLevel1(const Message& message) {
  DeleteLevel1Request request;
  request.Deserialize(message.payload);
  bool deleted = false;
  try {
    deleted = services.dataController.DeleteLevel1Files(request);
  } catch (const std::exception& e) {
    KS_LOG(Log(), kLogError, "FLOW", "Deleting stored data failed (%s)", e.what());
  }
  return BooleanAnswer(message, mt::kDeleteLevel1Response, !deleted);
}

Bytes CommandHandler::KeyRenewal(const Message& message) {
  FpRequest request;
  request.Deserialize(message.payload);
  if (request.requestCode != kKeyRenewalCode) return {};
  const bool resumed = services.host.TakeResumeMark();
  if (resumed) {
    KS_LOG(Log(), kLogInfo, "FLOW", "back from power state need to renew session key");
  }
  FpResponse response;
  response.result = resumed ? kRenewAfterResume : 0;
  response.time = static_cast<uint64_t>(services.clock.UnixSeconds());
  return AnswerMessage(message, mt::kFpResponse, response.Serialize());
}

Bytes CommandHandler::PhonePresence(const Message& message) {
  CheckPhonePresenceRequest request;
  request.Deserialize(message.payload);
  bool present = false;
  if (services.phonePresence == nullptr) {
    // Without the monitor no phone can be seen.
    KS_LOG(Log(), kLogWarning, "FLOW", "Phone presence monitor is not present");
  } else {
    try {
      present = services.phonePresence->IsPhonePresent(request.deviceId);
    } catch (const std::exception& e) {
      KS_LOG(Log(), kLogError, "FLOW", "Phone presence check failed (%s)", e.what());
    }
  }
  return BooleanAnswer(message, mt::kCheckPhonePresenceResponse, !present);
}

Bytes CommandHandler::NeedUserData(const Message& message) const {
  NeedUserDataRequest request;
  request.Deserialize(message.payload);
  NeedUserDataResponse response;
  response.result = 1;
  response.user = request.user;
  return AnswerMessage(message, mt::kNeedUserDataResponse, response.Serialize());
}

Bytes CommandHandler::FactorFlow(const Message& message, const keystone::ClientIdentity& client) {
  // Without the flows the factor cannot be started, which the applet hears as a failed factor.
  int32_t result = 2;
  Bytes answer;
  if (services.factorFlows == nullptr) {
    KS_LOG(Log(), kLogWarning, "FLOW", "Factor-authentication flows are not present");
  } else {
    // The factor may have to reach the client whose request the applet is answering.
    result =
        services.factorFlows->RunFactorFlow(message, client.pid, options.factorFlowLimit, answer);
  }
  if (result == 0) return answer;
  if (result == 1 || result == 2) {
    BooleanResponse failed;
    failed.result = 1;
    return AnswerMessage(message, mt::kFactorResultResponse, failed.Serialize(), false);
  }
  return {};
}

void CommandHandler::ClearDataDirectoryForClient(const keystone::ClientIdentity& client) {
  RequireElevation(client);
  bool cleared = false;
  try {
    cleared = services.dataController.DeleteAllSecureDataFiles();
  } catch (const std::exception& e) {
    KS_LOG(Log(), kLogError, "FLOW", "Clearing the data directory failed (%s)", e.what());
  }
  if (!cleared) throw ClearDiskException();
}

void CommandHandler::RequireElevation(const keystone::ClientIdentity& client) {
  if (!client.Known()) {
    KS_LOG(Log(), kLogError, "FLOW", "Cannot evaluate client's privileges");
    throw NotElevatedException();
  }
  if (!client.Elevated()) {
    KS_LOG(Log(), kLogError, "FLOW", "Client is running with insufficient privileges");
    throw NotElevatedException();
  }
}

void CommandHandler::ValidateRequest(const Message& message) {
  int32_t requestId = 0;
  switch (message.messageType) {
    case mt::kSetNextFactorRequest:
      requestId = AuthenticationIdOf<SetNextFactorRequest>(message);
      break;
    case mt::kAuthenticateSetFactorRequest:
      requestId = AuthenticationIdOf<AuthenticateSetFactorRequest>(message);
      break;
    case mt::kCloseAuthenticateActionRequest:
      requestId = AuthenticationIdOf<CloseAuthenticateActionRequest>(message);
      break;
    case mt::kUnsetFactorRequest:
      requestId = AuthenticationIdOf<UnsetFactorRequest>(message);
      break;
    case mt::kCloseAuthenticateActionRetrieveDataRequest:
      requestId = AuthenticationIdOf<CloseAuthenticateActionRetrieveDataRequest>(message);
      break;
    default:
      throw InvalidApiException();
  }
  KS_LOG(Log(), kLogInfo, "FLOW", "In GetInvalidResponse");
  const bool inProgress = services.authState.AuthenticationInProgress();
  KS_LOG(Log(), kLogInfo, "FLOW", "AuthenticationInProgres = %s", inProgress ? "true" : "false");
  if (inProgress &&
      static_cast<uint32_t>(requestId) == services.authState.CurrentAuthenticationActionId()) {
    return;
  }
  throw InvalidApiException();
}

}  // namespace mfab
