#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <span>
#include <string_view>
#include <vector>

#include "common/hex.h"

namespace keystonectl {

using keystone::ParseHex;
using keystone::ToHex;
inline std::string ToHex(const uint8_t* data, size_t size) {
  return keystone::ToHex(std::span<const uint8_t>(data, size));
}

// The argument's bytes: "-" reads hex from standard input, anything else is hex itself.
std::vector<uint8_t> HexArgument(const std::string& argument);

// A DEVICE argument that is not a well-formed Bluetooth address.
struct BadDeviceArgument : std::invalid_argument {
  using std::invalid_argument::invalid_argument;
};

// A phone's device id: "AA:BB:CC:DD:EE:FF" (a classic phone's 8-byte id) or the id in hex. A hex
// id of another length is returned as it is, so the engine refuses it with its own status.
std::vector<uint8_t> DeviceIdArgument(const std::string& argument);

}  // namespace keystonectl
