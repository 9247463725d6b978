// The classic provider's pure parts: address texts, the phone test on a class of device, and
// the codes platform failures are reported with.

#include <gtest/gtest.h>

#include <stdexcept>

#include "bluetooth/bluetooth_address.h"
#include "bluetooth/classic_bluetooth.h"

namespace ClassicBluetoothProvider {
namespace {

TEST(BluetoothAddressTest, ParsesTheTwoTextForms) {
  const struct {
    const char* text;
    uint64_t address;
  } cases[] = {
      {"00:11:22:33:44:55", 0x001122334455},
      {"(00:11:22:33:44:55)", 0x001122334455},
      {"aa:bb:cc:dd:ee:ff", 0xAABBCCDDEEFF},
      {"A:B:C:D:E:F:0:1:23", 0},  // 18 characters: neither form
      {"", 0},
      {"00:11:22:33:44:5", 0},  // 16 characters
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ParseBluetoothAddress(c.text), c.address);
  }
}

TEST(BluetoothAddressTest, RejectsTextOfTheRightLengthWithoutSixNumbers) {
  for (const char* text : {"00-11-22-33-44-55", "zz:11:22:33:44:55", "[00:11:22:33:44:55]"}) {
    SCOPED_TRACE(text);
    try {
      ParseBluetoothAddress(text);
      ADD_FAILURE() << "accepted";
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ(e.what(), "Invalid address");
    }
  }
}

TEST(BluetoothAddressTest, PrintsUpperCaseWithZeroFill) {
  EXPECT_EQ(FormatBluetoothAddress(0x0A0B0C0D0E0F), "0A:0B:0C:0D:0E:0F");
  EXPECT_EQ(FormatBluetoothAddress(0xFFEEDDCCBBAA, true), "(FF:EE:DD:CC:BB:AA)");
  EXPECT_EQ(ParseBluetoothAddress(FormatBluetoothAddress(0x5CF370123456, true)), 0x5CF370123456u);
}

TEST(PhoneDeviceTest, RecognisesPhonesByClassOfDevice) {
  const struct {
    uint32_t classOfDevice;
    bool phone;
  } cases[] = {
      {0x5A020C, true},   // phone, smartphone
      {0x7A0204, true},   // phone, cellular
      {0x000208, false},  // phone, cordless
      {0x240404, false},  // audio
      {0x000110, true},   // computer, handheld
      {0x000114, true},   // computer, palm-size
      {0x00011C, true},   // computer, wearable
      {0x00010C, false},  // computer, laptop
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.classOfDevice);
    EXPECT_EQ(IsPhoneDevice(c.classOfDevice), c.phone);
  }
}

TEST(ProviderErrorCodeTest, MapsPlatformFailuresToTheirCodes) {
  using platform::BluetoothErrc;
  const struct {
    BluetoothErrc errc;
    int systemCode;
    uint32_t code;
  } cases[] = {
      {BluetoothErrc::kAddressInUse, 98, 10048},  {BluetoothErrc::kTimedOut, 112, 10060},
      {BluetoothErrc::kNotReady, 100, 10022},     {BluetoothErrc::kNoRadio, 97, 10050},
      {BluetoothErrc::kConnectionClosed, 0, 10054}, {BluetoothErrc::kNotConnected, 0, 10057},
      {BluetoothErrc::kDeviceUnknown, 0, 1168},   {BluetoothErrc::kFailed, 111, 111},
      {BluetoothErrc::kFailed, 0, 18},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    EXPECT_EQ(ErrorCode(platform::BluetoothError(c.errc, c.systemCode, "x")), c.code);
  }
}

TEST(PhoneServiceTest, MatchesByNameOrClassInAnyCase) {
  const std::string id = mfab::kPhoneServiceClassId;
  std::string upper = id;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_TRUE(IsPhoneService({"OstraKeystone", "", 4}, id));
  EXPECT_TRUE(IsPhoneService({"", upper, 4}, id));
  EXPECT_FALSE(IsPhoneService({"Serial Port", "00001101-0000-1000-8000-00805f9b34fb", 1}, id));
  EXPECT_FALSE(IsPhoneService({"", "", 4}, id));
}

}  // namespace
}  // namespace ClassicBluetoothProvider
