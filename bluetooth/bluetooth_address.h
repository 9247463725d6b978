#pragma once

// Bluetooth device addresses as the classic provider prints and reads them: six two-digit
// upper-case hexadecimal numbers separated by colons, most significant first, in parentheses
// when the text names a device for a service lookup.

#include <cstdint>
#include <string>
#include <string_view>

namespace ClassicBluetoothProvider {

std::string FormatBluetoothAddress(uint64_t address, bool parenthesised = false);

// Reads "%2X:%2X:%2X:%2X:%2X:%2X" (17 characters) or the same in parentheses (19 characters).
// A text of any other length is address 0; a text of the right length that does not yield six
// numbers throws std::invalid_argument("Invalid address").
uint64_t ParseBluetoothAddress(std::string_view text);

// Whether a class of device names a phone: major class 0x200 (phone) with minor 0x04 (cellular)
// or 0x0C (smartphone), or major 0x100 (computer) with minor 0x10, 0x14 or 0x1C (handheld,
// palm-size, wearable).
bool IsPhoneDevice(uint32_t classOfDevice);

}  // namespace ClassicBluetoothProvider
