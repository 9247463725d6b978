// Writes the seed corpus of the BLE device record fuzz target into the directory named by
// argv[1]: records made from devices with ASCII, accented and emoji names, one cut short, one
// whose name fills its field, and one with a malformed address.

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bluetooth/ble_device_record.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: ble_record_seed_corpus DIRECTORY\n");
    return 2;
  }
  const std::filesystem::path directory = argv[1];
  std::filesystem::create_directories(directory);
  std::vector<KeystoneBleDeviceRecord> records = {
      mfab::ToDeviceRecord({"Pixel BLE", "A0:B1:C2:D3:E4:F5", true, true}),
      mfab::ToDeviceRecord({"T\xC3\xA9l\xC3\xA9phone \xF0\x9F\x93\xB1", "00:11:22:33:44:55", false,
                            true}),
      mfab::ToDeviceRecord({std::string(300, 'n'), "FF:FF:FF:FF:FF:FF", true, false}),
      mfab::ToDeviceRecord({"bad", "00:11:22:33:44:5G", true, true}),
  };
  KeystoneBleDeviceRecord full = records[0];
  for (uint16_t& unit : full.name) unit = 'x';
  records.push_back(full);
  int count = 0;
  for (const KeystoneBleDeviceRecord& record : records) {
    std::ofstream file(directory / ("seed-" + std::to_string(count++)),
                       std::ios::binary | std::ios::trunc);
    const size_t size = count == 2 ? 100 : sizeof record;  // the second is cut short
    file.write(reinterpret_cast<const char*>(&record), static_cast<std::streamsize>(size));
    if (!file) {
      std::fprintf(stderr, "ble_record_seed_corpus: cannot write into %s\n", argv[1]);
      return 1;
    }
  }
  return 0;
}
