#pragma once

// Hands out the Bluetooth providers by type and creates each once: type 1 the classic provider
// over the platform's Bluetooth facility; type 2 (BLE) from the creator the owner gives (the
// signed bridge library, bluetooth/ble_bridge_loader.h), and without one it cannot be created.
// One per engine, owned by the composition root and shared with the Bluetooth manager.
//
// Thread-safe. Each type has its own creation mutex, so two types are created in parallel but
// one type only once; GetProvider blocks while its type is being created.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>

#include "bluetooth/bt_provider.h"
#include "bluetooth/classic_bt_provider.h"
#include "common/mutex.h"
#include "platform/bluetooth.h"

namespace mfab {

class BtProviderFactory : public IBtProviderFactory {
 public:
  // Creates one provider; throws when it cannot.
  using Creator = std::function<std::shared_ptr<IBTProvider>()>;

  explicit BtProviderFactory(std::shared_ptr<platform::BluetoothStack> stack,
                             ClassicBTProvider::Options classicOptions = {}, Creator ble = nullptr);
  // With creators of one's own. An empty BLE creator is the default one (no BLE provider).
  BtProviderFactory(Creator classic, Creator ble);
  BtProviderFactory(const BtProviderFactory&) = delete;
  BtProviderFactory& operator=(const BtProviderFactory&) = delete;

  // Null for an unknown type; InvalidProviderTypeException when creation fails.
  std::shared_ptr<IBTProvider> GetProvider(uint32_t type) override;
  bool LegacyBleLoaded() const override { return legacyBleLoaded; }
  // Whether the type's provider exists already (nothing is created).
  bool HasProvider(uint32_t type);

 private:
  std::shared_ptr<IBTProvider> InitClassicBluetoothAdapter();
  // Runs the BLE creator; without one, logs that there is no bridge and throws.
  std::shared_ptr<IBTProvider> LoadBluetoothLowEnergyAdapter();

  Creator classicCreator;
  Creator bleCreator;
  // One creation mutex per known type; the map itself never changes after construction.
  std::map<uint32_t, std::unique_ptr<keystone::Mutex>> typeMutexes;
  std::atomic<bool> legacyBleLoaded{false};
  keystone::Mutex providersMutex;  // Guards the member below.
  std::map<uint32_t, std::shared_ptr<IBTProvider>> providers GUARDED_BY(providersMutex);
};

}  // namespace mfab
