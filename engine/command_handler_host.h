#pragma once

#include <cstdint>

#include "common/client_identity.h"

namespace mfab {

// What the command handler needs of the resource manager. Thread-safe.
class ICommandHandlerHost {
 public:
  virtual ~ICommandHandlerHost() = default;
  // Whether the current owner's flow may run now.
  virtual bool IsCurrentFlowAllowed() = 0;
  // Claims the applet for the client's session; throws AppletCurrentlyBusyException or
  // ConnectedStandByException.
  virtual void SetFlowType(uint32_t sessionId, int32_t flowType,
                           const keystone::ClientIdentity& client) = 0;
  // Frees the applet and ends the running authentication when they are held by a user other
  // than this client and the client is root or the console user; true when it did.
  virtual bool YieldToPriorityClient(const keystone::ClientIdentity& client) = 0;
  // Set while a security-version upgrade runs.
  virtual bool ApiBusy() = 0;
  // Reads and clears the mark a resume leaves.
  virtual bool TakeResumeMark() = 0;
};

}  // namespace mfab
