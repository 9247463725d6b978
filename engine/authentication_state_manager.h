#pragma once

// Contract of the authentication state manager; implemented in authentication_state_manager.cc.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <future>
#include <memory>

#include "common/mutex.h"
#include "engine/system_power_state.h"
#include "tlv/status_messages.h"

namespace mfab {

class SystemPowerStateManager;

// Keeps the latest authentication status that the applet piggy-backs on its replies (item 0x0005
// of a reply), tells the waiting client when it changed, records errors reported by the engine or
// a client, ends an authentication after STATUS_UPDATE_ACTIVITY_TIMEOUT without a status update,
// and ends it on sleep, connected standby and log-off.
//
// Owned by the resource manager (shared, also a power listener). Thread-safe.
class AuthenticationStateManager : public ISystemPowerState {
 public:
  struct Options {
    // STATUS_UPDATE_ACTIVITY_TIMEOUT.
    std::chrono::milliseconds activityTimeout{std::chrono::seconds(120)};
  };

  // powerState answers the going-to-sleep test; it must outlive this object.
  explicit AuthenticationStateManager(SystemPowerStateManager& powerState);
  AuthenticationStateManager(SystemPowerStateManager& powerState, Options options);
  ~AuthenticationStateManager() override;
  AuthenticationStateManager(const AuthenticationStateManager&) = delete;
  AuthenticationStateManager& operator=(const AuthenticationStateManager&) = delete;

  // Takes the status piggy-backed on an applet reply, if any.
  void UpdateAuthenticationState(const Bytes& reply);
  // The current status, serialized; empty when there is none.
  Bytes GetStatus();
  // The client has been served the latest change.
  void StatusUpdateCompleted();
  // Records a client's error for the authentication with this identifier (others are ignored).
  void UpdateAuthenticationErrorState(int32_t identifier, uint32_t errorCode);
  // Records an engine error for the current authentication.
  void UpdateCurrentAuthenticationErrorState(uint32_t errorCode);
  void StopAuthentication();
  void StopMonitor();

  // For the command handler.
  bool AuthenticationInProgress();
  uint32_t CurrentAuthenticationActionId();
  void SetMonitoring(bool wanted);

  // For the asynchronous status call.
  bool StatusChanged() const;
  bool MarkedForDeletion() const;

  void HandlePowerSleepEvent() override;
  void HandleSessionLogoffEvent() override;
  void HandleEnterConnectedStandbyEvent() override;
};

}  // namespace mfab
