#pragma once

// The 552-byte device record of the BLE bridge interface (bluetooth/ble_bridge_abi.h), to and
// from the provider's BluetoothDevice. Records from a library are untrusted: every text is read
// only up to the end of its field, and a malformed one is refused.

#include <stdexcept>
#include <string>

#include "bluetooth/ble_bridge_abi.h"
#include "bluetooth/bt_provider.h"

namespace mfab {

class BleRecordError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The device as a record: the name as UTF-16 cut at 255 characters (never inside a surrogate
// pair; bytes that are not UTF-8 become U+FFFD), the address upper-cased. Throws BleRecordError
// when the address is longer than 18 characters.
KeystoneBleDeviceRecord ToDeviceRecord(const BluetoothDevice& device);

// The record as a device: the name as UTF-8 (unpaired surrogates become U+FFFD), the address
// upper-cased. Throws BleRecordError when a text has no NUL within its field or the address is
// not "AA:BB:CC:DD:EE:FF".
BluetoothDevice FromDeviceRecord(const KeystoneBleDeviceRecord& record);

}  // namespace mfab
