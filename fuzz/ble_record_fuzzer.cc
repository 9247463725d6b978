// libFuzzer target over the reading of a BLE bridge's device record. The input is the record's
// bytes (a shorter input is padded with zeros). A record is either refused with BleRecordError or
// read into a device whose record reads back to the same device.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "bluetooth/ble_device_record.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  KeystoneBleDeviceRecord record;
  std::memset(&record, 0, sizeof record);
  std::memcpy(&record, data, size < sizeof record ? size : sizeof record);
  mfab::BluetoothDevice device;
  try {
    device = mfab::FromDeviceRecord(record);
  } catch (const mfab::BleRecordError&) {
    return 0;
  }
  Check(device.address.size() == 17);
  const mfab::BluetoothDevice again = mfab::FromDeviceRecord(mfab::ToDeviceRecord(device));
  Check(again.address == device.address);
  Check(again.authenticated == device.authenticated && again.isBle == device.isBle);
  // A name read from a record fits a record again, unless a replacement character (three bytes
  // for one unit) made it no longer; either way it is a prefix of the first reading.
  Check(device.name.compare(0, again.name.size(), again.name) == 0);
  return 0;
}
