#pragma once

// The Bluetooth factor as the service assembles it: the manager over a provider factory, with
// the resource manager's power state as its going-to-sleep test.

#include <functional>
#include <memory>

#include "bluetooth/bt_manager.h"
#include "bluetooth/bt_provider.h"

namespace platform {
class Clock;
class OsVersion;
class Registry;
}  // namespace platform

namespace mfab {

class AuthenticateDataMirroring;
class OwnedResourceManager;

// What the Bluetooth manager is built from. References are borrowed and must outlive it.
struct BluetoothEnvironment {
  platform::Clock& clock;
  platform::Registry& registry;
  platform::OsVersion& osVersion;
  AuthenticateDataMirroring& mirroring;
  // Where the power state is asked whether a sleep is in progress (no sleep while it is absent).
  OwnedResourceManager& resources;
  // The providers; null when this build has no Bluetooth factor.
  std::shared_ptr<IBtProviderFactory> factory;
  // Whether a radio is present; empty: always.
  std::function<bool()> radioPresent;
  BtManagerOptions options;
};

// The service's Bluetooth manager; null without a provider factory.
std::shared_ptr<BtManager> MakeBluetoothManager(BluetoothEnvironment environment);

// The providers over this host's Bluetooth stack, or over the simulated phones the registry
// names; both members empty (logged once) when there is neither.
struct BluetoothProviders {
  std::shared_ptr<IBtProviderFactory> factory;
  std::function<bool()> radioPresent;
  // Stops the stack under the providers: no radio from then on, and every wait on a link ends.
  std::function<void()> stop;
};
BluetoothProviders ChooseBluetoothProviders(platform::Registry& registry);

}  // namespace mfab
