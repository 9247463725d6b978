#pragma once

#include <cstdint>

#include "applet/request_context.h"
#include "tlv/tlv.h"

namespace mfab {

// The applet as the queue thread talks to it: one session that is opened when needed. Used only
// by the queue thread (and destroyed after it ended).
class IAppletChannel {
 public:
  virtual ~IAppletChannel() = default;

  // Sends request with commandId, attaching the stored data context needs, and returns the
  // reply (empty when even a resend on a reopened session failed). Throws SVNUpgradeException
  // after an upgrade and what the library layer throws.
  virtual Bytes Send(uint32_t commandId, const Bytes& request, const RequestContext& context) = 0;
  virtual bool HasOpenSession() const = 0;
  // Opens (or reopens) the session; throws what the library layer throws.
  virtual void OpenSession() = 0;
  // True when a firmware change made the channel reinstall the applets while it was created.
  virtual bool FwUpgraded() const = 0;
  // True when a failed re-initialization or session opening left the channel without a library
  // handle or without a session.
  virtual bool NeedsRecovery() const = 0;
  // Puts back what NeedsRecovery reports missing; throws what the library layer throws.
  virtual void Recover() = 0;
};

}  // namespace mfab
