#pragma once

// The phone simulator's control protocol (docs/bluetooth.md): a client connects to the control
// socket, sends one request line, reads one reply and closes.
//
//   request  = VERB *(" " WORD) "\n"                      at most kMaxLine bytes
//   reply    = "OK" *(" " WORD) "\n" *(LINE "\n")          a list reply: "OK <n>" then n lines
//            | "ERR " KIND " " TEXT "\n"
//   WATCH    : "OK " STATE "\n" and the stream stays open; each change of the radio then comes
//              as one more STATE "\n", where STATE = "on " ADDRESS " " NAME | "off"
//   device   = ADDRESS " " CLASS(hex) " " PAIRED " " REMEMBERED " " CONNECTED " " NAME
//   service  = CHANNEL " " CLASSID|"-" " " NAME|"-"
//
// Names are escaped (%XX for space, '%', control bytes and bytes above 0x7E) so that a reply
// line is always split at single spaces. Every size is bounded; a violation is a ProtocolError.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/bluetooth.h"

namespace phonesim {

inline constexpr size_t kMaxLine = 1024;
inline constexpr size_t kMaxPhones = 64;
inline constexpr size_t kMaxListLines = kMaxPhones * 4;
inline constexpr size_t kMaxRssiScript = 256;
inline constexpr size_t kMaxNameLength = 248;  // a Bluetooth name's own limit
inline constexpr size_t kMaxWords = kMaxRssiScript + 2;
// The largest message a phone takes in one read unless told otherwise: what the engine's classic
// receive reads at once.
inline constexpr size_t kDefaultMaxMessage = 1011;
inline constexpr size_t kMaxMessageLimit = 65536;
inline constexpr uint8_t kPhoneChannel = 3;
// Streams kept open by WATCH (one per engine, so a few suffice).
inline constexpr size_t kMaxRadioWatchers = 16;
// The byte a phone sends first on a link it accepted, once the link counts as open (so that a
// connect returns only when the link is up, as a page answered by the phone does).
inline constexpr uint8_t kLinkUp = 0x06;  // the RFCOMM channel the phone application listens on

// The simulated radio keeps a controller's time: an inquiry of length N (1 to kMaxInquiryLength)
// lasts N time units, and a page of a phone out of reach (a service lookup) gives up after
// kPageTimeoutUnits. The unit is kRadioTimeUnit (1.28 s, a Bluetooth controller's inquiry unit)
// unless the simulator is told a shorter one; four units are the controller's
// default page time-out of 5.12 s.
inline constexpr std::chrono::milliseconds kRadioTimeUnit{1280};
inline constexpr int kPageTimeoutUnits = 4;
inline constexpr int kMaxInquiryLength = 48;

class ProtocolError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Splits a line (without its "\n") at single spaces; throws on an empty, overlong or
// control-character line and on more than kMaxWords words.
std::vector<std::string> SplitLine(std::string_view line);

std::string EscapeName(std::string_view name);
// Throws on a bad escape or a name longer than kMaxNameLength.
std::string UnescapeName(std::string_view text);

// "AA:BB:CC:DD:EE:FF" exactly (either case); throws otherwise.
platform::BluetoothAddress ParseAddress(std::string_view text);
std::string FormatAddress(platform::BluetoothAddress address);

// A decimal integer within [low, high]; throws otherwise.
int64_t ParseInteger(std::string_view text, int64_t low, int64_t high);

// One to six hexadecimal digits (a 24-bit class of device); throws otherwise.
uint32_t ParseClassOfDevice(std::string_view text);

std::string FormatDevice(const platform::BluetoothDeviceInfo& device);
platform::BluetoothDeviceInfo ParseDevice(std::string_view line);
std::string FormatService(const platform::BluetoothServiceRecord& service);
platform::BluetoothServiceRecord ParseService(std::string_view line);

// The error kinds' words on the wire ("noradio", "inuse", "timedout", "notready", "unknown",
// "closed", "notconnected", "failed").
const char* ErrcWord(platform::BluetoothErrc errc);
platform::BluetoothErrc ParseErrc(std::string_view word);

// A reply as the client reads it: ok with its words and list lines, or the error.
struct Reply {
  bool ok = false;
  std::vector<std::string> words;  // after "OK"
  std::vector<std::string> lines;  // a list reply's lines
  platform::BluetoothErrc errc = platform::BluetoothErrc::kFailed;
  std::string errorText;
};

// Parses a whole reply; a list reply must carry exactly its announced number of lines. Throws
// ProtocolError.
Reply ParseReply(std::string_view text);
// A list reply's lines, after checking that the count it announced is what came; throws
// ProtocolError.
const std::vector<std::string>& ListLines(const Reply& reply);

// What a phone answers to a message: every byte complemented, then repeated (or cut) to
// replySize bytes when replySize is not 0.
std::vector<uint8_t> PhoneAnswer(std::span<const uint8_t> message, size_t replySize);

}  // namespace phonesim
