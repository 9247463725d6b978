// libFuzzer target over the Bluetooth manager's texts and records. The first input byte picks
// the parser; the rest is the text. ParseAndroidDevice may refuse (std::invalid_argument); any
// other escape, a result that breaks its layout, or a read past the input is a finding.

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "bluetooth/bt_device_id.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  switch (data[0] % 3) {
    case 0:
      try {
        const mfab::Bytes id = mfab::ParseAndroidDevice(text);
        Check(text.size() <= mfab::kMaxAndroidDeviceText);
        Check(id.size() == (text.size() + 2) / 3);
      } catch (const std::invalid_argument&) {
        // Refused, as a malformed registry value must be.
      }
      break;
    case 1:
      if (const auto address = mfab::ParseAddress(text)) {
        // What parses prints back to the same text, case aside.
        char printed[18];
        std::snprintf(printed, sizeof(printed), "%02x:%02x:%02x:%02x:%02x:%02x", (*address)[0],
                      (*address)[1], (*address)[2], (*address)[3], (*address)[4], (*address)[5]);
        for (size_t i = 0; i < 17; ++i) {
          Check(std::tolower(static_cast<unsigned char>(text[i])) == printed[i]);
        }
      }
      break;
    default: {
      const mfab::BluetoothDevice device{text, text.substr(0, 17), (data[0] & 8) != 0,
                                         (data[0] & 16) != 0};
      const mfab::ScanRecord record = mfab::PackScanRecord(device);
      Check(record[10 + mfab::kScanRecordNameBytes] == 0);
      Check(record[52] == (device.isBle ? 2 : 1) && record[0] == (device.authenticated ? 1 : 0));
      // The name is a prefix of the device's name, cut before a continuation byte.
      size_t length = 0;
      while (length < mfab::kScanRecordNameBytes && record[10 + length] != 0) ++length;
      Check(text.compare(0, length, reinterpret_cast<const char*>(&record[10]), length) == 0 ||
            text.find('\0') < length);
      if (length < text.size() && text.find('\0') >= length) {
        Check((static_cast<uint8_t>(text[length]) & 0xC0) != 0x80 || length == 0);
      }
      break;
    }
  }
  return 0;
}
