#pragma once

#include "engine/system_power_state.h"
#include "tlv/tlv.h"

namespace mfab {

// The phone-presence monitor as the applet's presence check uses it; also a power listener.
class IPhonePresenceMonitor : public ISystemPowerState {
 public:
  // Whether the phone with this device id is near. Throws when it cannot tell.
  virtual bool IsPhonePresent(const Bytes& deviceId) = 0;
};

}  // namespace mfab
