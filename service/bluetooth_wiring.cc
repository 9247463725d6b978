#include "service/bluetooth_wiring.h"

#include <utility>

#include "engine/resource_manager.h"
#include "log/logger.h"
#include "service/owned_resource_manager.h"

namespace mfab {

std::shared_ptr<BtManager> MakeBluetoothManager(BluetoothEnvironment environment) {
  if (!environment.factory) {
    KS_LOG(AuthenticateLoggerService::Instance(), kLogInfo, "BT-START",
           "No Bluetooth factor: this build has no Bluetooth provider factory");
    return nullptr;
  }
  OwnedResourceManager& resources = environment.resources;
  BtManagerDependencies dependencies{std::move(environment.factory),
                                     environment.clock,
                                     environment.registry,
                                     environment.osVersion,
                                     environment.mirroring,
                                     [&resources] {
                                       bool sleeping = false;
                                       resources.TryUse([&sleeping](ResourceManager& manager) {
                                         sleeping = manager.PowerState().IsGoingToSleep();
                                       });
                                       return sleeping;
                                     },
                                     std::move(environment.radioPresent)};
  return std::make_shared<BtManager>(std::move(dependencies), environment.options);
}

}  // namespace mfab
