#include "bluetooth/ble_device_record.h"

#include <cctype>
#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/bluetooth.h"

namespace mfab {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one UTF-8 sequence at text[i]; advances i. Malformed input yields U+FFFD and advances
// by one byte.
char32_t NextCodePoint(std::string_view text, size_t& i) {
  const auto byte = [&](size_t k) { return static_cast<uint8_t>(text[k]); };
  const uint8_t lead = byte(i);
  size_t length;
  char32_t value;
  if (lead < 0x80) {
    ++i;
    return lead;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2;
    value = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3;
    value = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4;
    value = lead & 0x07;
  } else {
    ++i;
    return kReplacement;
  }
  if (i + length > text.size()) {
    ++i;
    return kReplacement;
  }
  for (size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) {
      ++i;
      return kReplacement;
    }
    value = value << 6 | (byte(i + k) & 0x3F);
  }
  static constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (value < kSmallest[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
    ++i;
    return kReplacement;
  }
  i += length;
  return value;
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | c >> 6);
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | c >> 12);
    out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | c >> 18);
    out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
    out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// UTF-16 units of text, at most maxUnits, never cutting a pair.
std::vector<uint16_t> ToUtf16(std::string_view text, size_t maxUnits) {
  std::vector<uint16_t> units;
  for (size_t i = 0; i < text.size();) {
    const char32_t c = NextCodePoint(text, i);
    if (c == 0) break;  // a NUL would end the field early anyway
    if (c < 0x10000) {
      if (units.size() + 1 > maxUnits) break;
      units.push_back(static_cast<uint16_t>(c));
    } else {
      if (units.size() + 2 > maxUnits) break;
      units.push_back(static_cast<uint16_t>(0xD800 + ((c - 0x10000) >> 10)));
      units.push_back(static_cast<uint16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    }
  }
  return units;
}

// The field's text up to its NUL; BleRecordError without one.
template <size_t N>
std::string FromUtf16(const uint16_t (&field)[N], const char* what) {
  size_t length = 0;
  while (length < N && field[length] != 0) ++length;
  if (length == N) throw BleRecordError(std::string("device record: ") + what + " is not terminated");
  std::string out;
  for (size_t i = 0; i < length; ++i) {
    const uint16_t unit = field[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < length && field[i + 1] >= 0xDC00 &&
        field[i + 1] <= 0xDFFF) {
      AppendUtf8(out, 0x10000 + ((char32_t{unit} - 0xD800) << 10) + (field[i + 1] - 0xDC00));
      ++i;
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      AppendUtf8(out, kReplacement);
    } else {
      AppendUtf8(out, unit);
    }
  }
  return out;
}

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

KeystoneBleDeviceRecord ToDeviceRecord(const BluetoothDevice& device) {
  KeystoneBleDeviceRecord record{};
  if (device.address.size() > KEYSTONE_BLE_ADDRESS_CHARS - 1) {
    throw BleRecordError("device record: address too long");
  }
  const std::vector<uint16_t> name = ToUtf16(device.name, KEYSTONE_BLE_NAME_CHARS - 1);
  std::copy(name.begin(), name.end(), record.name);
  const std::string address = Upper(device.address);
  for (size_t i = 0; i < address.size(); ++i) {
    record.address[i] = static_cast<unsigned char>(address[i]);
  }
  record.authenticated = device.authenticated ? 1 : 0;
  record.isBle = device.isBle ? 1 : 0;
  return record;
}

BluetoothDevice FromDeviceRecord(const KeystoneBleDeviceRecord& record) {
  BluetoothDevice device;
  device.name = FromUtf16(record.name, "name");
  device.address = Upper(FromUtf16(record.address, "address"));
  if (!platform::ParseBluetoothAddressText(device.address)) {
    throw BleRecordError("device record: address is not AA:BB:CC:DD:EE:FF");
  }
  device.authenticated = record.authenticated != 0;
  device.isBle = record.isBle != 0;
  return device;
}

}  // namespace mfab
