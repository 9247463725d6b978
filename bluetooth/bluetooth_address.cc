#include "bluetooth/bluetooth_address.h"

#include <cstdio>
#include <stdexcept>

#include "log/logger.h"
#include "platform/bluetooth.h"

namespace ClassicBluetoothProvider {

std::string FormatBluetoothAddress(uint64_t address, bool parenthesised) {
  const std::string text = platform::BluetoothAddressText(address);
  return parenthesised ? "(" + text + ")" : text;
}

uint64_t ParseBluetoothAddress(std::string_view text) {
  if (text.size() != 17 && text.size() != 19) return 0;
  const std::string copy(text);  // sscanf needs the terminating NUL
  unsigned b[6] = {};
  const int read =
      text.size() == 17
          ? std::sscanf(copy.c_str(), "%2X:%2X:%2X:%2X:%2X:%2X", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5])
          : std::sscanf(copy.c_str(), "(%2X:%2X:%2X:%2X:%2X:%2X)", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]);
  if (read != 6) throw std::invalid_argument("Invalid address");
  uint64_t address = 0;
  for (unsigned byte : b) address = address << 8 | (byte & 0xFF);
  return address;
}

bool IsPhoneDevice(uint32_t classOfDevice) {
  const uint32_t major = classOfDevice & 0x1F00;
  const uint32_t minor = classOfDevice & 0xFC;
  const bool phone = (major == 0x200 && (minor == 0x04 || minor == 0x0C)) ||
                     (major == 0x100 && (minor == 0x10 || minor == 0x14 || minor == 0x1C));
  KS_LOG(mfab::AuthenticateLoggerMsftBt::Instance(), mfab::kLogInfo, "CLASSIC_BLUETOOTH",
         "Bluetooth device is Phone: %s", phone ? "true" : "false");
  return phone;
}

}  // namespace ClassicBluetoothProvider
