#pragma once

// The phone-presence monitor as the service assembles it: over the classic provider of the
// same provider factory the Bluetooth manager uses, with the resource manager's power state as
// its going-to-sleep test.

#include <memory>

#include "bluetooth/bt_provider.h"
#include "bluetooth/soft_bt_manager.h"
#include "service/engine_status.h"

namespace platform {
class Clock;
class Registry;
}  // namespace platform

namespace mfab {

class AuthenticateDataMirroring;
class OwnedResourceManager;

// What the monitor is built from. References are borrowed and must outlive it.
struct PhonePresenceEnvironment {
  platform::Clock& clock;
  platform::Registry& registry;
  AuthenticateDataMirroring& mirroring;
  OwnedResourceManager& resources;
  // The Bluetooth manager's providers; null when this build has no Bluetooth factor.
  std::shared_ptr<IBtProviderFactory> factory;
  SoftBtManagerOptions options;
};

struct PhonePresenceWiring {
  std::shared_ptr<SoftBtManager> manager;  // null when absent
  ComponentPresence presence;              // the health view's "phone_presence" line
};

// The monitor, or why there is none (no provider factory, or its configuration could not be
// read: logged). Never throws.
PhonePresenceWiring MakePhonePresenceMonitor(PhonePresenceEnvironment environment);

}  // namespace mfab
