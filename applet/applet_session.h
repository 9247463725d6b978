#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "applet/api_busy_flag.h"
#include "applet/request_context.h"
#include "applet/tee_applet.h"
#include "storage/data_loader.h"
#include "tlv/message.h"
#include "tlv/tlv.h"

namespace platform {
class Clock;
class OsVersion;
class Registry;
}  // namespace platform

namespace mfab {

class IPolicyMirrorReader;

// Limits of the session layer; tests shrink them.
struct AppletSessionOptions {
  TeeAppletOptions tee;
  // After a communication error, how many more sends are tried and how long to wait between
  // them.
  int communicationRetryAttempts = 30;
  std::chrono::milliseconds communicationRetrySleep{200};
};

// The collaborators of the session and of the upgrade it may run. All are borrowed and must
// outlive the session.
struct AppletSessionServices {
  platform::Registry& registry;
  platform::Clock& clock;
  platform::OsVersion& osVersion;
  const DataController& dataController;
  IPolicyMirrorReader& policyReader;
  IApiBusyFlag& apiBusy;
};

// Turns one request buffer into one processed reply: keeps a session with the authentication
// applet open, attaches the stored data the applet does not have yet, sends through TeeApplet,
// reopens lost sessions and resends, re-logs the applet's own log lines and starts the
// security-version upgrade when the applet demands it.
//
// Used by one thread at a time (the applet manager's queue thread). Construction initializes the
// library as TeeApplet does and throws what it throws.
class AppletSession : public TeeApplet {
 public:
  AppletSession(const AppletSessionServices& appletServices, std::shared_ptr<IKilnLibrary> library,
                AppletSessionOptions appletOptions = {});
  ~AppletSession() override;

  // Sends request (with the stored data the caller's context needs appended) and returns the
  // processed reply, or an empty reply when a resend on a reopened session failed as well.
  // Throws SVNUpgradeException after a completed upgrade, and what opening a session or building
  // the stored-data block throws.
  Bytes Send(uint32_t commandId, const Bytes& request, const RequestContext& caller);

  // One send with the session-level retries, followed by ProcessAppletMessage. Throws
  // std::runtime_error "Send failed" (communication errors persisted) or "Send message failed"
  // (the library failed otherwise), SVNUpgradeException, and what opening a session throws.
  Bytes SendWithKILNRetries(const Bytes& request, uint32_t commandId);

  // Closes the current session (if any) and opens a new one, handing over the policy and
  // certificate data at once. A failure leaves no session and NeedsRecovery true.
  void OpenSession();
  // True when a failed re-initialization or session opening left no library handle or no
  // session; Recover puts them back.
  bool NeedsRecovery() const { return HandleLost() || sessionLost; }
  // Initializes a lost library handle and opens a session. Throws what OpenSession throws.
  void Recover();
  // Drops the session (closing it) and forgets what was delivered in it.
  void ResetSession();

  // Re-logs the reply's applet log lines and starts the upgrade on the upgrade demand. Throws
  // only SVNUpgradeException; a malformed reply is logged and left to the caller.
  void ProcessAppletMessage(const Bytes& reply);
  // Writes each of the applet's log entries to the engine's log at the entry's level and under
  // its component. Throws TlvException for malformed metadata.
  void ProcessAppletLogs(const MessageView& message);

  bool HasOpenSession() const { return sessionOwner != nullptr; }
  const DataCategories& DeliveredData() const { return deliveredData; }
  const std::string& CurrentUser() const { return currentUser; }
  const AppletSessionServices& Services() const { return services; }

 private:
  // The categories of context still to be delivered, group codes expanded.
  DataCategories SelectCategories(const RequestContext& context) const;
  // The stored-data block for context (or nothing); loaded receives what it carries.
  Bytes BuildBlock(const RequestContext& context, DataCategories& loaded);

  const AppletSessionServices services;
  const AppletSessionOptions sessionOptions;
  KilnSessionOwner sessionOwner;
  DataCategories deliveredData;
  std::string currentUser;
  // The last session opening failed.
  bool sessionLost = false;
  // Guards against an upgrade demand inside the upgrade's own exchange.
  bool upgradeRunning = false;
};

}  // namespace mfab
