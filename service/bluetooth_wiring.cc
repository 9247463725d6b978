#include "service/bluetooth_wiring.h"

#include <utility>

#include "bluetooth/ble_bridge_loader.h"
#include "bluetooth/provider_factory.h"
#include "engine/resource_manager.h"
#include "platform/bluetooth.h"
#include "platform/os_version.h"
#include "platform/signed_file_verifier.h"
#include "service/owned_resource_manager.h"
#include "sim/phones/bluetooth_selection.h"

namespace mfab {

std::shared_ptr<BtManager> MakeBluetoothManager(BluetoothEnvironment environment) {
  // ChooseBluetoothProviders already said why there is no factory.
  if (!environment.factory) return nullptr;
  BtManagerDependencies dependencies{std::move(environment.factory),
                                     environment.clock,
                                     environment.registry,
                                     environment.osVersion,
                                     environment.mirroring,
                                     GoingToSleepProbe(environment.resources),
                                     std::move(environment.radioPresent)};
  return std::make_shared<BtManager>(std::move(dependencies), environment.options);
}

BluetoothProviders ChooseBluetoothProviders(platform::Registry& registry) {
  std::shared_ptr<platform::BluetoothStack> chosen = phonesim::ChooseBluetoothStack(registry);
  if (!chosen) return {};
  std::shared_ptr<platform::StoppableBluetoothStack> stack =
      platform::MakeStoppable(std::move(chosen));
  // The BLE provider is a bridge library, loaded on first use only when its signature verifies.
  BtProviderFactory::Creator ble = MakeBleBridgeCreator(
      {registry, platform::CreateSignedFileVerifier(), platform::CreateOsVersion(registry), {}});
  auto factory =
      std::make_shared<BtProviderFactory>(stack, ClassicBTProvider::Options{}, std::move(ble));
  // The manager's radio test is the classic provider's own (the same enumeration, logged alike).
  std::function<bool()> radioPresent = [factory] {
    try {
      const auto classic =
          std::dynamic_pointer_cast<ClassicBTProvider>(factory->GetProvider(kClassicProviderType));
      return classic != nullptr && classic->IsRadioPresent();
    } catch (const std::exception&) {
      return false;  // the provider could not be made: the factory logged why
    }
  };
  return {std::move(factory), std::move(radioPresent), [stack] { stack->Stop(); }};
}

}  // namespace mfab
