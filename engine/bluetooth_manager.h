#pragma once

#include <string>

#include "engine/system_power_state.h"

namespace mfab {

// The Bluetooth manager as the resource manager uses it; also a power listener.
class IBluetoothManager : public ISystemPowerState {
 public:
  // Forgets the signal-strength state of every device. Throws on failure.
  virtual void ClearRssi() = 0;
  // Every user's data was cleared: the devices' user state goes. Throws on failure.
  virtual void ClearUserData() = 0;
  // A user's data changed (empty: every user's). Throws on failure.
  virtual void UserDataUpdated(const std::string& user) = 0;
};

}  // namespace mfab
