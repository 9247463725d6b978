#pragma once

// The BLE provider (provider type 2): a bridge library's object (bluetooth/ble_bridge_abi.h)
// behind the provider interface. The library's log lines reach the Bluetooth log under the
// component "GattW10". Owned by the provider factory, shared with the BLE device objects.
//
// Thread-safe as far as the library is: calls go straight to it on the caller's thread. Every
// operation throws the BluetoothProvider family of bluetooth/bt_provider.h.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bluetooth/ble_bridge_abi.h"
#include "bluetooth/bt_provider.h"

namespace platform {
class SharedLibrary;
}  // namespace platform

namespace BluetoothProvider {

class LoadDllFailed : public BluetoothProviderException {
 public:
  LoadDllFailed()
      : BluetoothProviderException("Bluetooth provider dll cannot be load or not signed properly") {
  }
};

}  // namespace BluetoothProvider

namespace mfab {

class Gatt10Bridge : public IBTProvider {
 public:
  // Calls the library's factory with the bridge's log sink. Throws LoadDllFailed when the library
  // is null, lacks the factory, or the factory gives no usable object.
  explicit Gatt10Bridge(std::shared_ptr<platform::SharedLibrary> library, bool legacy = false);
  Gatt10Bridge(const Gatt10Bridge&) = delete;
  Gatt10Bridge& operator=(const Gatt10Bridge&) = delete;

  // The library's log line: the Bluetooth log at the level (0 to 3; others count as errors).
  static void WriteLog(int32_t level, const char* text);

  // Offers 10 records; records that are malformed are left out (logged).
  std::vector<BluetoothDevice> ScanDevices(uint32_t value) override;
  // Keeps every device: the library checks its own devices.
  void ValidateDevices(std::vector<BluetoothDevice>&) override {}
  uint32_t Connect(const BluetoothDevice& device, const std::string& serviceClassId) override;
  void Disconnect(uint32_t handle) override;
  void Send(uint32_t handle, const Bytes& message) override;
  // One message of at most 2048 bytes.
  void Receive(uint32_t handle, uint32_t timeoutMs, Bytes& reply) override;
  bool IsRSSISupported() override { return true; }
  // ConnectionFailedException when the library reports no link (-127).
  int16_t GetDeviceRssi(const BluetoothDevice& device, bool flag) override;
  void Setup() override;
  void TearDown() override;
  void Reset() override;
  void OnSessionUnlock() override;
  void OnSessionLock() override;
  void OnUserDataUpdated() override;
  void OnUserDataCleared() override;

  // The object came from the bridge for systems before version 10.
  bool Legacy() const { return legacy; }
  const std::string& LibraryPath() const;

 private:
  // Throws the exception a failure result stands for; returns other results.
  int32_t Check(int32_t result, const char* call) const;

  const std::shared_ptr<platform::SharedLibrary> library;  // keeps the calls below valid
  const bool legacy;
  KeystoneBleGattInstance* instance = nullptr;  // the library's; never freed
  KeystoneBleGattCalls calls{};
};

}  // namespace mfab
