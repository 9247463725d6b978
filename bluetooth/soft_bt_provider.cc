#include "bluetooth/soft_bt_provider.h"

#include <utility>

#include "bluetooth/classic_bt_provider.h"

namespace mfab {

ClassicSoftBtProvider::ClassicSoftBtProvider(std::shared_ptr<IBtProviderFactory> providerFactory)
    : factory(std::move(providerFactory)) {}

std::shared_ptr<IBTProvider> ClassicSoftBtProvider::Provider() {
  // The factory creates the provider once and keeps it; asking again costs a map look-up.
  std::shared_ptr<IBTProvider> provider =
      factory ? factory->GetProvider(kClassicProviderType) : nullptr;
  if (!provider) throw BluetoothProvider::InvalidProviderTypeException();
  return provider;
}

void ClassicSoftBtProvider::Setup() { Provider()->Setup(); }

void ClassicSoftBtProvider::TearDown() { Provider()->TearDown(); }

bool ClassicSoftBtProvider::InquiryDevice(const std::string& address) {
  const std::shared_ptr<IBTProvider> provider = Provider();
  auto* classic = dynamic_cast<ClassicBTProvider*>(provider.get());
  if (classic == nullptr) throw BluetoothProvider::InvalidProviderTypeException();
  return classic->InquiryDevice(BluetoothDevice{"", address, false, false});
}

}  // namespace mfab
