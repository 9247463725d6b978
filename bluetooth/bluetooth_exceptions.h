#pragma once

// The Bluetooth factor's own failures. Each BluetoothExceptions class carries the code that the
// client operations return for it (BtCallStatus), so the RPC layer maps the family in one place.

#include <cstdint>
#include <stdexcept>
#include <string>

#include "bluetooth/bt_provider.h"

namespace BluetoothExceptions {

class BluetoothException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
  // The BtCallStatus this failure reaches the client as.
  virtual uint16_t Code() const = 0;
};

// A device id that is not exactly 8 bytes, or (for a continuous RSSI check) one that names no
// known device.
class InvalidDeviceIdException : public BluetoothException {
 public:
  InvalidDeviceIdException() : BluetoothException("Bluetooth device's id is invalid") {}
  uint16_t Code() const override { return 1; }
};

// No connection within the poll budget or the connect wait.
class NotResponsiveException : public BluetoothException {
 public:
  NotResponsiveException() : BluetoothException("Bluetooth device is not responsive") {}
  uint16_t Code() const override { return 4; }
};

// The proximity decision ran out of readings.
class InternalErrorException : public BluetoothException {
 public:
  InternalErrorException() : BluetoothException("Internal error occurd in Bluetooth management") {}
  uint16_t Code() const override { return 5; }
};

// A scan pass whose provider does not support RSSI.
class UnsupportedFactorException : public BluetoothException {
 public:
  UnsupportedFactorException() : BluetoothException("BT Factor not supported") {}
  uint16_t Code() const override { return 6; }
};

}  // namespace BluetoothExceptions

namespace BluetoothProvider {

// No provider for a scan, or its scan did not end within the scan limit.
class ScanFailedException : public BluetoothProviderException {
 public:
  ScanFailedException() : BluetoothProviderException("Bluetooth Provider: Scan operation failed") {}
};

// The code a provider failure is logged with ("%#X"): the provider's own code where it has one.
inline uint32_t ProviderCode(const BluetoothProviderException& e) {
  if (const auto* general = dynamic_cast<const ProviderGeneralException*>(&e)) {
    return general->Code();
  }
  return 0;
}

}  // namespace BluetoothProvider
