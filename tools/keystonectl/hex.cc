#include "tools/keystonectl/hex.h"

#include <iostream>
#include <iterator>

namespace keystonectl {

std::vector<uint8_t> HexArgument(const std::string& argument) {
  if (argument != "-") return ParseHex(argument);
  std::string input((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
  return ParseHex(input);
}

std::vector<uint8_t> DeviceIdArgument(const std::string& argument) {
  if (argument.find(':') == std::string::npos) return HexArgument(argument);
  std::string digits;
  for (size_t i = 0; i < argument.size(); ++i) {
    if (i % 3 == 2) {
      if (argument[i] != ':') throw BadDeviceArgument("bad Bluetooth address: " + argument);
    } else {
      digits += argument[i];
    }
  }
  if (argument.size() != 17) {
    throw BadDeviceArgument("a Bluetooth address has six bytes: " + argument);
  }
  std::vector<uint8_t> id = HexArgument(digits);
  id.push_back(1);  // classic
  id.push_back(0);
  return id;
}

}  // namespace keystonectl
