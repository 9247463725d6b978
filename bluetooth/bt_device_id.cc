#include "bluetooth/bt_device_id.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "bluetooth/bluetooth_exceptions.h"

namespace mfab {
namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void PutUint32(uint8_t* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

// The longest prefix of text within limit bytes that does not end inside a UTF-8 character.
size_t Utf8Prefix(const std::string& text, size_t limit) {
  if (text.size() <= limit) return text.size();
  size_t end = limit;
  while (end > 0 && (static_cast<uint8_t>(text[end]) & 0xC0) == 0x80) --end;
  return end;
}

}  // namespace

void ValidateDeviceId(const Bytes& deviceId) {
  if (deviceId.size() != kDeviceIdSize) throw BluetoothExceptions::InvalidDeviceIdException();
}

std::string DeviceIdAddress(const Bytes& deviceId) {
  ValidateDeviceId(deviceId);
  std::string text;
  for (size_t i = 0; i < 6; ++i) {
    char pair[4];
    std::snprintf(pair, sizeof(pair), "%02x:", deviceId[i]);
    text += pair;
  }
  text.pop_back();
  return text;
}

uint16_t DeviceIdType(const Bytes& deviceId) {
  ValidateDeviceId(deviceId);
  return static_cast<uint16_t>(deviceId[6] | (deviceId[7] << 8));
}

std::optional<BtAddress> ParseAddress(std::string text) {
  if (!text.empty() && text.back() == '\0') text.pop_back();
  if (text.size() != 17) return std::nullopt;
  BtAddress bytes{};
  for (size_t i = 0; i < bytes.size(); ++i) {
    const size_t at = i * 3;
    const int high = HexDigit(text[at]);
    const int low = HexDigit(text[at + 1]);
    if (high < 0 || low < 0 || (i < 5 && text[at + 2] != ':')) return std::nullopt;
    bytes[i] = static_cast<uint8_t>(high << 4 | low);
  }
  return bytes;
}

Bytes ParseAndroidDevice(const std::string& text) {
  if (text.size() > kMaxAndroidDeviceText) {
    throw std::invalid_argument("Android_Device value is too long");
  }
  Bytes id;
  for (size_t i = 0; i < text.size(); i += 3) {
    if (i + 1 >= text.size()) throw std::invalid_argument("Android_Device value is cut short");
    const int high = HexDigit(text[i]);
    const int low = HexDigit(text[i + 1]);
    if (high < 0 || low < 0) throw std::invalid_argument("Android_Device value is not hex");
    id.push_back(static_cast<uint8_t>(high << 4 | low));
  }
  return id;
}

ScanRecord PackScanRecord(const BluetoothDevice& device) {
  ScanRecord record{};
  PutUint32(&record[0], device.authenticated ? 1 : 0);
  if (const auto address = ParseAddress(device.address)) {
    std::copy(address->begin(), address->end(), record.begin() + 4);
  }
  const size_t nameBytes = Utf8Prefix(device.name, kScanRecordNameBytes);
  std::copy_n(device.name.begin(), nameBytes, record.begin() + 10);
  PutUint32(&record[52], device.isBle ? kBleProviderType : kClassicProviderType);
  return record;
}

}  // namespace mfab
