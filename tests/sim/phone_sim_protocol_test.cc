// The phone simulator's control protocol: lines, names, device and service lines, replies.

#include "sim/phones/phone_protocol.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

namespace phonesim {
namespace {

TEST(PhoneSimProtocolTest, NamesSurviveEscaping) {
  for (const std::string& name : std::vector<std::string>{"", "Pixel 7", "100% phone", std::string("a\x01\xff b", 5)}) {
    SCOPED_TRACE(name);
    const std::string escaped = EscapeName(name);
    EXPECT_EQ(escaped.find(' '), std::string::npos);
    EXPECT_EQ(UnescapeName(escaped), name);
  }
}

TEST(PhoneSimProtocolTest, RejectsBadEscapes) {
  for (const char* text : {"ab%", "ab%4", "%zz", "%4g"}) {
    SCOPED_TRACE(text);
    EXPECT_THROW(UnescapeName(text), ProtocolError);
  }
  EXPECT_THROW(UnescapeName(std::string(kMaxNameLength + 1, 'n')), ProtocolError);
}

TEST(PhoneSimProtocolTest, SplitRejectsMalformedLines) {
  for (const std::string& line : std::vector<std::string>{std::string(), std::string("A  B"), std::string(" A"),
                                 std::string("A "), std::string("A\tB"),
                                 std::string(kMaxLine + 1, 'x')}) {
    SCOPED_TRACE(line.size());
    EXPECT_THROW(SplitLine(line), ProtocolError);
  }
  std::string many = "RSSI";
  for (size_t i = 0; i < kMaxWords; ++i) many += " 1";
  EXPECT_THROW(SplitLine(many), ProtocolError);
}

TEST(PhoneSimProtocolTest, DeviceLinesRoundTrip) {
  platform::BluetoothDeviceInfo device{0x5CF370123456, "Anna's phone", 0x5A020C};
  device.paired = device.connected = true;
  const platform::BluetoothDeviceInfo back = ParseDevice(FormatDevice(device));
  EXPECT_EQ(std::tie(back.address, back.name, back.classOfDevice),
            std::tie(device.address, device.name, device.classOfDevice));
  EXPECT_EQ(std::tie(back.paired, back.remembered, back.connected), std::tuple(true, false, true));
}

TEST(PhoneSimProtocolTest, ServiceLinesRoundTrip) {
  const platform::BluetoothServiceRecord record{"OstraKeystone",
                                                "6a1e5c43-8f0b-4d8e-9b6e-4f5f3b2a7c19", 3};
  const platform::BluetoothServiceRecord back = ParseService(FormatService(record));
  EXPECT_EQ(back.name, record.name);
  EXPECT_EQ(back.classId, record.classId);
  EXPECT_EQ(back.channel, 3);
  EXPECT_EQ(ParseService("0 - -").classId, "");
  EXPECT_THROW(ParseService("31 - -"), ProtocolError);
}

TEST(PhoneSimProtocolTest, ParsesOkErrorAndListReplies) {
  const Reply list = ParseReply("OK 2\nline one\nline two\n");
  EXPECT_EQ(ListLines(list), (std::vector<std::string>{"line one", "line two"}));
  const Reply error = ParseReply("ERR timedout the phone does not answer\n");
  EXPECT_FALSE(error.ok);
  EXPECT_EQ(error.errc, platform::BluetoothErrc::kTimedOut);
  EXPECT_EQ(error.errorText, "the phone does not answer");
  EXPECT_EQ(ParseReply("OK -61\n").words, (std::vector<std::string>{"-61"}));
  EXPECT_THROW(ListLines(ParseReply("OK 3\n")), ProtocolError);
}

TEST(PhoneSimProtocolTest, EveryTruncationOfAReplyIsRejectedOrShorter) {
  const std::string reply = "OK 2\n5C:F3:70:12:34:56 5A020C 1 1 0 Pixel\n0 - -\n";
  for (size_t length = 0; length < reply.size(); ++length) {
    SCOPED_TRACE(length);
    try {
      const Reply parsed = ParseReply(reply.substr(0, length));
      ListLines(parsed);  // a cut list reply never passes as a complete one
      ADD_FAILURE() << "accepted a cut reply";
    } catch (const ProtocolError&) {
    }
  }
}

TEST(PhoneSimProtocolTest, PhoneAnswerComplementsAndStretches) {
  const std::vector<uint8_t> message = {0x00, 0x0F, 0xF0};
  EXPECT_EQ(PhoneAnswer(message, 0), (std::vector<uint8_t>{0xFF, 0xF0, 0x0F}));
  EXPECT_EQ(PhoneAnswer(message, 5), (std::vector<uint8_t>{0xFF, 0xF0, 0x0F, 0xFF, 0xF0}));
  EXPECT_EQ(PhoneAnswer(message, 2).size(), 2u);
}

}  // namespace
}  // namespace phonesim
