#include "bluetooth/provider_factory.h"

#include <utility>

#include "bluetooth/gatt10_bridge.h"
#include "log/logger.h"

namespace mfab {
namespace {

constexpr char kTag[] = "PT_PROVIDER";

AuthenticateLogger& Sink() { return AuthenticateLoggerBt::Instance(); }

}  // namespace

BtProviderFactory::BtProviderFactory(std::shared_ptr<platform::BluetoothStack> stack,
                                     ClassicBTProvider::Options classicOptions, Creator ble)
    : BtProviderFactory(
          [stack, classicOptions]() -> std::shared_ptr<IBTProvider> {
            if (!stack) throw std::runtime_error("no Bluetooth facility");
            return std::make_shared<ClassicBTProvider>(stack, classicOptions);
          },
          std::move(ble)) {}

BtProviderFactory::BtProviderFactory(Creator classic, Creator ble)
    : classicCreator(std::move(classic)), bleCreator(std::move(ble)) {
  typeMutexes.emplace(kClassicProviderType, std::make_unique<keystone::Mutex>());
  typeMutexes.emplace(kBleProviderType, std::make_unique<keystone::Mutex>());
}

bool BtProviderFactory::HasProvider(uint32_t type) {
  keystone::MutexLock lock(providersMutex);
  return providers.count(type) != 0;
}

std::shared_ptr<IBTProvider> BtProviderFactory::GetProvider(uint32_t type) {
  const auto typeMutex = typeMutexes.find(type);
  if (typeMutex == typeMutexes.end()) return nullptr;
  keystone::MutexLock creation(*typeMutex->second);
  {
    keystone::MutexLock lock(providersMutex);
    if (auto it = providers.find(type); it != providers.end()) return it->second;
  }
  std::shared_ptr<IBTProvider> provider;
  try {
    provider = type == kClassicProviderType ? InitClassicBluetoothAdapter()
                                            : LoadBluetoothLowEnergyAdapter();
  } catch (const BluetoothProvider::InvalidProviderTypeException&) {
    throw;  // already said why
  } catch (const std::exception& e) {
    KS_LOG(Sink(), kLogError, kTag, "Provider type %u cannot be loaded: %s", type, e.what());
    throw BluetoothProvider::InvalidProviderTypeException();
  }
  if (!provider) throw BluetoothProvider::InvalidProviderTypeException();
  if (type == kBleProviderType) {
    const auto* bridge = dynamic_cast<const Gatt10Bridge*>(provider.get());
    legacyBleLoaded = bridge && bridge->Legacy();
  }
  keystone::MutexLock lock(providersMutex);
  providers[type] = provider;
  return provider;
}

std::shared_ptr<IBTProvider> BtProviderFactory::InitClassicBluetoothAdapter() {
  KS_LOG(Sink(), kLogInfo, kTag, "Initialize ClassicBluetoothProvider");
  return classicCreator();
}

std::shared_ptr<IBTProvider> BtProviderFactory::LoadBluetoothLowEnergyAdapter() {
  KS_LOG(Sink(), kLogInfo, kTag, "Initialize BluetoothLowEnergyAdapter");
  if (bleCreator) return bleCreator();
  KS_LOG(Sink(), kLogWarning, kTag, "No BLE bridge is available yet: no Bluetooth LE provider");
  throw BluetoothProvider::InvalidProviderTypeException();
}

}  // namespace mfab
