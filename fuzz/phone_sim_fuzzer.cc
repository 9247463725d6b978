// libFuzzer target over the phone simulator's control protocol (docs/bluetooth.md). The first
// input byte says what the rest is (modulo 4):
//   0  a whole reply for ParseReply; an accepted list reply's lines are read as devices and as
//      services, and what parses must print and parse back to the same thing.
//   1  a request line for SplitLine; accepted words are non-empty, printable, and join back to the
//      line.
//   2  an escaped name; an accepted one is at most the name limit and escapes back to a text
//      that unescapes to it.
//   3  a device line; an accepted one prints and parses back to the same device.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "sim/phones/phone_protocol.h"

namespace {

using namespace phonesim;

void Check(bool condition) {
  if (!condition) std::abort();
}

bool SameDevice(const platform::BluetoothDeviceInfo& a, const platform::BluetoothDeviceInfo& b) {
  return a.address == b.address && a.name == b.name && a.classOfDevice == b.classOfDevice &&
         a.paired == b.paired && a.remembered == b.remembered && a.connected == b.connected;
}

void Device(std::string_view line) {
  platform::BluetoothDeviceInfo device;
  try {
    device = ParseDevice(line);
  } catch (const ProtocolError&) {
    return;
  }
  Check(device.name.size() <= kMaxNameLength);
  Check(SameDevice(ParseDevice(FormatDevice(device)), device));
}

void Service(std::string_view line) {
  platform::BluetoothServiceRecord service;
  try {
    service = ParseService(line);
  } catch (const ProtocolError&) {
    return;
  }
  Check(service.channel <= 30);
  const platform::BluetoothServiceRecord back = ParseService(FormatService(service));
  Check(back.channel == service.channel && back.classId == service.classId &&
        back.name == service.name);
}

void WholeReply(std::string_view text) {
  Reply reply;
  try {
    reply = ParseReply(text);
  } catch (const ProtocolError&) {
    return;
  }
  Check(reply.lines.size() <= kMaxListLines);
  if (!reply.ok) {
    Check(reply.words.empty() && reply.lines.empty());
    return;
  }
  for (const std::string& line : reply.lines) {
    Device(line);
    Service(line);
  }
}

void Words(std::string_view line) {
  std::vector<std::string> words;
  try {
    words = SplitLine(line);
  } catch (const ProtocolError&) {
    return;
  }
  Check(!words.empty() && words.size() <= kMaxWords);
  std::string joined;
  for (const std::string& word : words) {
    Check(!word.empty());
    for (char c : word) Check(static_cast<unsigned char>(c) > 0x20 && c != 0x7F);
    joined += (joined.empty() ? "" : " ") + word;
  }
  Check(joined == line);
}

void Name(std::string_view text) {
  std::string name;
  try {
    name = UnescapeName(text);
  } catch (const ProtocolError&) {
    return;
  }
  Check(name.size() <= kMaxNameLength);
  Check(UnescapeName(EscapeName(name)) == name);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  switch (data[0] % 4) {
    case 0:
      WholeReply(rest);
      break;
    case 1:
      Words(rest);
      break;
    case 2:
      Name(rest);
      break;
    default:
      Device(rest);
      break;
  }
  return 0;
}
