#pragma once

// The transport behind a Bluetooth device object: the classic provider (RFCOMM) and, later, the
// BLE bridge implement the same interface, and the factory hands out one of each kind.

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "tlv/tlv.h"

namespace mfab {

// One entry of a provider's scan result; also how a device is named in provider calls (name
// empty, address only).
struct BluetoothDevice {
  std::string name;
  std::string address;  // "AA:BB:CC:DD:EE:FF"
  bool authenticated = false;  // paired
  bool isBle = false;
};

// Provider types.
inline constexpr uint32_t kClassicProviderType = 1;
inline constexpr uint32_t kBleProviderType = 2;

// The phone application's RFCOMM service class, as a UUID text; the lookup also accepts the
// service name kPhoneServiceName.
inline constexpr char kPhoneServiceClassId[] = "6a1e5c43-8f0b-4d8e-9b6e-4f5f3b2a7c19";
inline constexpr char kPhoneServiceName[] = "OstraKeystone";

// Every provider operation may throw the BluetoothProvider exceptions below. Thread-safe.
class IBTProvider {
 public:
  virtual ~IBTProvider() = default;

  virtual std::vector<BluetoothDevice> ScanDevices(uint32_t value) = 0;
  // Keeps the devices whose service lookup finds the phone application.
  virtual void ValidateDevices(std::vector<BluetoothDevice>& devices) = 0;
  virtual uint32_t Connect(const BluetoothDevice& device, const std::string& serviceClassId) = 0;
  virtual void Disconnect(uint32_t handle) = 0;
  virtual void Send(uint32_t handle, const Bytes& message) = 0;
  virtual void Receive(uint32_t handle, uint32_t timeoutMs, Bytes& reply) = 0;
  virtual bool IsRSSISupported() = 0;
  virtual int16_t GetDeviceRssi(const BluetoothDevice& device, bool flag) = 0;
  virtual void Setup() = 0;
  virtual void TearDown() = 0;
  virtual void Reset() = 0;
  virtual void OnSessionUnlock() = 0;
  virtual void OnSessionLock() = 0;
  virtual void OnUserDataUpdated() = 0;
  virtual void OnUserDataCleared() = 0;
};

// Hands out one provider per type, creating it on first request. Thread-safe.
class IBtProviderFactory {
 public:
  virtual ~IBtProviderFactory() = default;
  // Null for a type the factory does not know; InvalidProviderTypeException when the provider
  // cannot be created.
  virtual std::shared_ptr<IBTProvider> GetProvider(uint32_t type) = 0;
  // The BLE provider came from the bridge for the older OS generation.
  virtual bool LegacyBleLoaded() const = 0;
};

}  // namespace mfab

namespace BluetoothProvider {

class BluetoothProviderException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A provider failure with the system's or the provider's own code.
class ProviderGeneralException : public BluetoothProviderException {
 public:
  ProviderGeneralException(uint32_t errorCode, const std::string& text)
      : BluetoothProviderException(text), code(errorCode) {}
  uint32_t Code() const { return code; }

 private:
  uint32_t code;
};

class ProviderTimeoutPassed : public BluetoothProviderException {
 public:
  ProviderTimeoutPassed() : BluetoothProviderException("Provider timeout passed") {}
};

class RadioNotAvailableException : public BluetoothProviderException {
 public:
  RadioNotAvailableException()
      : BluetoothProviderException(
            "Bluetooth Provider : Detected that local adapter is not available.") {}
};

class DeviceNotPairedException : public BluetoothProviderException {
 public:
  DeviceNotPairedException()
      : BluetoothProviderException(
            "Bluetooth Provider: Operation failed since remote device is not paired with local "
            "adapter.") {}
};

class ConnectionFailedException : public BluetoothProviderException {
 public:
  ConnectionFailedException()
      : BluetoothProviderException(
            "Bluetooth Provider: Failed to establish connection with remote device.") {}
};

class ProviderServiceNotFoundException : public BluetoothProviderException {
 public:
  ProviderServiceNotFoundException()
      : BluetoothProviderException(
            "Bluetooth Provider: Operation failed since local adapter is not connected to the "
            "specified service.") {}
};

class InvalidProviderTypeException : public BluetoothProviderException {
 public:
  InvalidProviderTypeException()
      : BluetoothProviderException("Bluetooth provider type is invalid or cannot be load") {}
};

}  // namespace BluetoothProvider
