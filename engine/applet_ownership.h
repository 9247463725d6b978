#pragma once

#include <cstdint>
#include <string>

namespace mfab {

// What the applet manager needs of the resource manager's arbitration. Thread-safe.
class IAppletOwnership {
 public:
  virtual ~IAppletOwnership() = default;
  // Whether the owner's flow may run now (it may not in connected standby for types 1 and 2).
  virtual bool IsCurrentFlowAllowed() = 0;
  virtual uint32_t OwnerSessionId() = 0;
  virtual void ReleaseSessionId(uint32_t sessionId) = 0;
  // The console user's SID text, empty when none is known.
  virtual std::string CurrentUserSid() = 0;
};

}  // namespace mfab
