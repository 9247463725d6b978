#pragma once

#include <cstdint>

#include "engine/system_power_state.h"
#include "tlv/tlv.h"

namespace mfab {

// The engine's view of the authentication state manager: what the resource manager, the applet
// manager, the command handler and the client operations ask of it. Thread-safe.
class IAuthenticationState : public ISystemPowerState {
 public:
  virtual void UpdateAuthenticationState(const Bytes& reply) = 0;
  virtual Bytes GetStatus() = 0;
  virtual void StatusUpdateCompleted() = 0;
  virtual void UpdateAuthenticationErrorState(int32_t identifier, uint32_t errorCode) = 0;
  virtual void UpdateCurrentAuthenticationErrorState(uint32_t errorCode) = 0;
  // Ends the running authentication with errorCode at once, whether or not a client waits for
  // its status (the waiter sees the change and an empty status).
  virtual void AbandonAuthentication(uint32_t errorCode) = 0;
  virtual bool AuthenticationInProgress() = 0;
  virtual uint32_t CurrentAuthenticationActionId() = 0;
  virtual void SetMonitoring(bool wanted) = 0;
  virtual bool StatusChanged() = 0;
  virtual bool MarkedForDeletion() = 0;
};

}  // namespace mfab
