// Writes the seed corpus of the phone simulator protocol's fuzz target into the directory named
// by argv[1]: the replies the simulator gives (lists of devices, services and radios, errors),
// request lines, names and device lines, each under its form byte.

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "sim/phones/phone_protocol.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: phone_sim_seed_corpus DIRECTORY\n");
    return 2;
  }
  const std::filesystem::path directory = argv[1];
  std::filesystem::create_directories(directory);
  platform::BluetoothDeviceInfo device;
  device.address = 0x5CF370123456;
  device.name = "Anna's phone";
  device.classOfDevice = 0x5A020C;
  device.paired = true;
  const std::string deviceLine = phonesim::FormatDevice(device);
  const std::string serviceLine =
      phonesim::FormatService({"OstraKeystone", "6a1e5c43-8f0b-4d8e-9b6e-4f5f3b2a7c19", 3});
  const std::vector<std::pair<char, std::string>> seeds = {
      {0, "OK\n"},
      {0, "OK -61\n"},
      {0, "OK 1\n" + deviceLine + "\n"},
      {0, "OK 2\n" + serviceLine + "\n1 00001101-0000-1000-8000-00805f9b34fb Serial%20Port\n"},
      {0, "OK 1\n00:1A:7D:DA:71:13 keystone-phone-sim\n"},
      {0, "ERR timedout the phone does not answer\n"},
      {0, "ERR noradio the radio is off\n"},
      {1, "ADD 5C:F3:70:12:34:56 5A020C 1 My%20Phone"},
      {1, "RSSI 5C:F3:70:12:34:56 -40 -50 -60"},
      {1, "CONNECT 5C:F3:70:12:34:56 3"},
      {2, "Anna%27s%20phone"},
      {2, "%"},
      {3, deviceLine},
  };
  int count = 0;
  for (const auto& [form, body] : seeds) {
    std::ofstream file(directory / ("seed-" + std::to_string(count++)), std::ios::binary);
    file.put(form);
    file.write(body.data(), static_cast<std::streamsize>(body.size()));
    if (!file) {
      std::fprintf(stderr, "phone_sim_seed_corpus: cannot write a seed\n");
      return 1;
    }
  }
  return 0;
}
