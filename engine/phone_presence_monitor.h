#pragma once

#include <string>

#include "engine/system_power_state.h"
#include "tlv/tlv.h"

namespace mfab {

// The phone-presence monitor as the applet's presence check, the client operations and the
// resource manager use it; also a power listener.
class IPhonePresenceMonitor : public ISystemPowerState {
 public:
  // Whether the phone with this 8-byte device id is near; blocks for at most the configured
  // wait. Throws BluetoothExceptions::InvalidDeviceIdException for an id of another size.
  virtual bool IsPhonePresent(const Bytes& deviceId) = 0;
  // A client knows the user is present: the monitored phone may miss more answers before it
  // counts as gone. Throws for an id of another size.
  virtual void SetUserPresence(const Bytes& deviceId) = 0;
  // A user's data changed (empty: every user's); without the presence factor enrolled the
  // monitored phone is forgotten. Throws on failure.
  virtual void UserDataUpdated(const std::string& user) = 0;
  // Every user's data was cleared: the monitored phone is forgotten. Throws on failure.
  virtual void UserDataCleared() = 0;
};

}  // namespace mfab
