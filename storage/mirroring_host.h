#pragma once

#include "tlv/tlv.h"

namespace mfab {

// What the registry mirroring needs of the rest of the engine: the applet's answers and the
// resource manager's user-data work. Thread-safe. The applet calls block until the applet
// answered (the applet manager bounds the wait) and throw what the applet manager throws.
class IMirroringHost {
 public:
  virtual ~IMirroringHost() = default;

  // The applet's reply to a policy-data request, error replies included.
  virtual Bytes GetPolicyData() = 0;
  // The applet's reply to one of the engine's own requests, sent through the applet queue.
  virtual Bytes SendMessageUsingQueue(const Bytes& request) = 0;
  // Starts the user-record update on the resource manager's task list.
  virtual void StartUserRecordTask() = 0;
  // The phone-presence monitor and the Bluetooth manager drop their devices' user state.
  virtual void ClearUserData() = 0;
};

}  // namespace mfab
