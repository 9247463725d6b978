#pragma once

#include <chrono>
#include <cstdint>

#include "applet/request_processor.h"
#include "common/client_identity.h"
#include "engine/command_handler_host.h"
#include "engine/factor_flow_runner.h"
#include "engine/phone_presence_monitor.h"
#include "tlv/message.h"
#include "tlv/tlv.h"

namespace platform {
class Accounts;
class Clock;
}  // namespace platform

namespace mfab {

class DataController;
class IAttestationClient;
class IAuthenticationState;

// Client flow types by message type; 0 for the types that claim no particular flow.
int32_t FlowTypeOf(uint32_t messageType);

// The collaborators of the command handler; all borrowed, all must outlive it. The two nullable
// ones stand for components that are not present: the handler answers as their absence implies.
struct CommandHandlerServices {
  ICommandHandlerHost& host;
  IAuthenticationState& authState;
  const DataController& dataController;
  platform::Accounts& accounts;
  platform::Clock& clock;
  IAttestationClient& attestation;
  IPhonePresenceMonitor* phonePresence = nullptr;
  IFactorFlowRunner* factorFlows = nullptr;
};

struct CommandHandlerOptions {
  // How long the applet's factor-authentication request may run.
  std::chrono::milliseconds factorFlowLimit{std::chrono::seconds(120)};
};

// Looks at every message between a client and the applet. A client request is admitted (or
// refused), claims the applet for its session and flow, and may be answered here; an applet reply
// that asks the host for work is answered here, and that answer goes back to the applet.
//
// Owned by value by the resource manager. Runs on the calling thread; thread-safe as far as its
// collaborators are. Throws ApiCurrentlyBusyException, ConnectedStandByException,
// AppletCurrentlyBusyException, InvalidApiException, NotElevatedException, ClearDiskException,
// GenericException (attestation), and TlvException for malformed messages.
//
// Who the client is comes from its connection (ClientIdentity), never from its process later:
// elevation is root at connect, and a client that is not root acts only for its own user.
class CommandHandler {
 public:
  using Options = CommandHandlerOptions;

  explicit CommandHandler(const CommandHandlerServices& handlerServices, Options options = {});
  CommandHandler(const CommandHandler&) = delete;
  CommandHandler& operator=(const CommandHandler&) = delete;

  // bytes is a client request (fromClient) or an applet reply. Empty result: forward the client
  // request to the applet, or the reply is final. Otherwise: the client's answer, or the message
  // to send to the applet. client is who sent the client request.
  Bytes HandleRequest(const Bytes& bytes, const keystone::ClientIdentity& client,
                      bool fromClient);

  // Returns when the client connected as root; logs and throws NotElevatedException otherwise.
  void RequireElevation(const keystone::ClientIdentity& client);

  // Returns when every user the request names (its top-level user items) is the client's own,
  // or the client is root; logs and throws InvalidApiException otherwise, also for a payload
  // that is not a TLV sequence.
  void RequireOwnUser(const Message& message, const keystone::ClientIdentity& client);

  // Returns when an authentication runs and its action id equals the request's 0x7B47 value;
  // throws InvalidApiException otherwise (or TlvException for a malformed payload).
  void ValidateRequest(const Message& message);

 private:
  void Admit(const Message& message, const keystone::ClientIdentity& client, bool fromClient);
  Bytes DispatchClientRequest(const Message& message, const keystone::ClientIdentity& client);
  Bytes DispatchAppletRequest(const Message& message, const keystone::ClientIdentity& client);
  void StartOfAction(int32_t monitorStatus);
  void ClearDataDirectoryForClient(const keystone::ClientIdentity& client);
  Bytes BooleanAnswer(const Message& request, uint32_t answerType, bool failed) const;
  Bytes KeyRenewal(const Message& request);
  Bytes PhonePresence(const Message& request);
  Bytes FactorFlow(const Message& request, const keystone::ClientIdentity& client);
  Bytes NeedUserData(const Message& request) const;
  Bytes DeleteLevel1(const Message& request);

  const CommandHandlerServices services;
  const Options options;
  RequestProcessor requestProcessor;
};

}  // namespace mfab
