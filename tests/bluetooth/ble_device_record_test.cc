#include "bluetooth/ble_device_record.h"

#include <gtest/gtest.h>

#include <string>

namespace mfab {
namespace {

struct NameCase {
  const char* name;
  std::string utf8;
};

TEST(BleDeviceRecordTest, NamesRoundTrip) {
  const NameCase cases[] = {
      {"ascii", "Pixel 8"},
      {"two-byte", "T\xC3\xA9l\xC3\xA9phone"},
      {"surrogate pair", "Phone \xF0\x9F\x93\xB1"},
      {"empty", ""},
  };
  for (const NameCase& c : cases) {
    const BluetoothDevice back =
        FromDeviceRecord(ToDeviceRecord({c.utf8, "aa:bb:cc:dd:ee:ff", true, true}));
    EXPECT_EQ(back.name, c.utf8) << c.name;
    EXPECT_EQ(back.address, "AA:BB:CC:DD:EE:FF") << c.name;
    EXPECT_TRUE(back.authenticated && back.isBle) << c.name;
  }
}

TEST(BleDeviceRecordTest, LongNameIsCutOutsideASurrogatePair) {
  // 254 units, then a character that needs two: it does not fit in the 255 that remain.
  const std::string name = std::string(254, 'x') + "\xF0\x9F\x93\xB1";
  const KeystoneBleDeviceRecord record = ToDeviceRecord({name, "AA:BB:CC:DD:EE:FF", false, true});
  EXPECT_EQ(record.name[253], 'x');
  EXPECT_EQ(record.name[254], 0);
  EXPECT_EQ(FromDeviceRecord(record).name, std::string(254, 'x'));
}

TEST(BleDeviceRecordTest, InvalidUtf8BecomesReplacement) {
  const BluetoothDevice back =
      FromDeviceRecord(ToDeviceRecord({"a\xFF" "b", "AA:BB:CC:DD:EE:FF", false, false}));
  EXPECT_EQ(back.name, "a\xEF\xBF\xBD" "b");
}

TEST(BleDeviceRecordTest, MalformedRecordsAreRefused) {
  KeystoneBleDeviceRecord good = ToDeviceRecord({"n", "AA:BB:CC:DD:EE:FF", true, true});

  KeystoneBleDeviceRecord noNameEnd = good;
  for (uint16_t& unit : noNameEnd.name) unit = 'n';
  EXPECT_THROW(FromDeviceRecord(noNameEnd), BleRecordError);

  KeystoneBleDeviceRecord noAddressEnd = good;
  for (uint16_t& unit : noAddressEnd.address) unit = 'A';
  EXPECT_THROW(FromDeviceRecord(noAddressEnd), BleRecordError);

  KeystoneBleDeviceRecord shortAddress = good;
  shortAddress.address[16] = 0;
  EXPECT_THROW(FromDeviceRecord(shortAddress), BleRecordError);

  EXPECT_THROW(ToDeviceRecord({"n", "AA:BB:CC:DD:EE:FF:00", true, true}), BleRecordError);
}

TEST(BleDeviceRecordTest, UnpairedSurrogateReadsAsReplacement) {
  KeystoneBleDeviceRecord record = ToDeviceRecord({"ab", "AA:BB:CC:DD:EE:FF", true, true});
  record.name[0] = 0xD83D;  // a high surrogate followed by 'b'
  EXPECT_EQ(FromDeviceRecord(record).name, "\xEF\xBF\xBD" "b");
}

}  // namespace
}  // namespace mfab
