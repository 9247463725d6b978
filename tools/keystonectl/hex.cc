#include "tools/keystonectl/hex.h"

#include <iostream>
#include <iterator>

namespace keystonectl {

std::vector<uint8_t> HexArgument(const std::string& argument) {
  if (argument != "-") return ParseHex(argument);
  std::string input((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
  return ParseHex(input);
}

}  // namespace keystonectl
