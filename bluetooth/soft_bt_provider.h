#pragma once

// What the phone-presence monitor needs of the classic Bluetooth provider: set-up, tear-down
// and the inquiry that tells whether a paired phone answers. ClassicSoftBtProvider adapts the
// provider factory's classic provider; tests hand in a fake.

#include <memory>
#include <string>

#include "bluetooth/bt_provider.h"

namespace mfab {

// Thread-safe. Every operation may throw the BluetoothProvider family.
class ISoftBtProvider {
 public:
  virtual ~ISoftBtProvider() = default;
  virtual void Setup() = 0;
  virtual void TearDown() = 0;
  // Whether the phone at address ("aa:bb:cc:dd:ee:ff") answers now.
  virtual bool InquiryDevice(const std::string& address) = 0;
};

// The classic provider (type 1) of the factory the Bluetooth manager uses, asked for on first
// use; InvalidProviderTypeException while the factory cannot make one or makes one that cannot
// inquire.
class ClassicSoftBtProvider : public ISoftBtProvider {
 public:
  explicit ClassicSoftBtProvider(std::shared_ptr<IBtProviderFactory> factory);

  void Setup() override;
  void TearDown() override;
  bool InquiryDevice(const std::string& address) override;

 private:
  std::shared_ptr<IBTProvider> Provider();

  const std::shared_ptr<IBtProviderFactory> factory;
};

}  // namespace mfab
