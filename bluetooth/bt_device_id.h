#pragma once

// The byte layouts the Bluetooth manager reads and writes: the 8-byte device id, address texts,
// the "Android_Device" registry text and the 56-byte scan record. Pure functions over untrusted
// input; each bounds what it reads.
//
// Device id (8 bytes): bytes 0..5 the Bluetooth address, first printed byte first; bytes 6..7
// the device type, unsigned 16-bit little-endian (1 classic, anything else BLE).
//
// Scan record (56 bytes each, packed one after the other):
//   0  4   1 when the device is paired, else 0 (unsigned 32-bit little-endian)
//   4  6   address bytes, first printed byte first
//   10 42  name in UTF-8, cut to at most 41 bytes (never inside a character), NUL-padded
//   52 4   device type: 2 when found over BLE, else 1 (unsigned 32-bit little-endian)

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "bluetooth/bt_provider.h"

namespace mfab {

inline constexpr size_t kDeviceIdSize = 8;
inline constexpr size_t kScanRecordSize = 56;
inline constexpr size_t kScanRecordNameBytes = 41;
inline constexpr size_t kMaxAndroidDeviceText = 64;

using BtAddress = std::array<uint8_t, 6>;
using ScanRecord = std::array<uint8_t, kScanRecordSize>;

// BluetoothExceptions::InvalidDeviceIdException unless the id is exactly 8 bytes.
void ValidateDeviceId(const Bytes& deviceId);
// "aa:bb:cc:dd:ee:ff" from bytes 0..5 of a valid id.
std::string DeviceIdAddress(const Bytes& deviceId);
// Bytes 6..7 of a valid id.
uint16_t DeviceIdType(const Bytes& deviceId);

// Six colon-separated hex pairs (17 characters, one trailing NUL ignored); nullopt otherwise.
std::optional<BtAddress> ParseAddress(std::string text);
// "Android_Device": two hex digits, then one separator of any kind, repeated. Throws
// std::invalid_argument for anything else or a text over kMaxAndroidDeviceText characters.
Bytes ParseAndroidDevice(const std::string& text);
// One scan record; an address that ParseAddress refuses gives zero bytes.
ScanRecord PackScanRecord(const BluetoothDevice& device);

}  // namespace mfab
