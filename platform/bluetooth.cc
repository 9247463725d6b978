#include "platform/bluetooth.h"

#include <cstdio>

namespace platform {

std::string BluetoothAddressText(BluetoothAddress address, char separator) {
  char text[18];
  std::snprintf(text, sizeof text, "%02X%c%02X%c%02X%c%02X%c%02X%c%02X",
                static_cast<unsigned>(address >> 40 & 0xFF), separator,
                static_cast<unsigned>(address >> 32 & 0xFF), separator,
                static_cast<unsigned>(address >> 24 & 0xFF), separator,
                static_cast<unsigned>(address >> 16 & 0xFF), separator,
                static_cast<unsigned>(address >> 8 & 0xFF), separator,
                static_cast<unsigned>(address & 0xFF));
  return text;
}

std::optional<BluetoothAddress> ParseBluetoothAddressText(std::string_view text) {
  if (text.size() != 17) return std::nullopt;
  BluetoothAddress address = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (i % 3 == 2) {
      if (c != ':') return std::nullopt;
      continue;
    }
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return std::nullopt;
    }
    address = address << 4 | static_cast<unsigned>(digit);
  }
  return address;
}

}  // namespace platform
