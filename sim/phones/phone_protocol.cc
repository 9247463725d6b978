#include "sim/phones/phone_protocol.h"

#include <charconv>
#include <cstdio>

namespace phonesim {
namespace {

using platform::BluetoothErrc;

constexpr struct {
  BluetoothErrc errc;
  const char* word;
} kErrcWords[] = {
    {BluetoothErrc::kNoRadio, "noradio"},         {BluetoothErrc::kAddressInUse, "inuse"},
    {BluetoothErrc::kTimedOut, "timedout"},       {BluetoothErrc::kNotReady, "notready"},
    {BluetoothErrc::kDeviceUnknown, "unknown"},   {BluetoothErrc::kConnectionClosed, "closed"},
    {BluetoothErrc::kNotConnected, "notconnected"}, {BluetoothErrc::kFailed, "failed"},
};

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool Flag(std::string_view text) {
  if (text == "1") return true;
  if (text == "0") return false;
  throw ProtocolError("flag is not 0 or 1");
}

}  // namespace

std::vector<std::string> SplitLine(std::string_view line) {
  if (line.empty()) throw ProtocolError("empty line");
  if (line.size() > kMaxLine) throw ProtocolError("line too long");
  std::vector<std::string> words;
  size_t start = 0;
  for (size_t i = 0; i <= line.size(); ++i) {
    if (i < line.size()) {
      const auto c = static_cast<unsigned char>(line[i]);
      if (c < 0x20 || c == 0x7F) throw ProtocolError("control character in line");
      if (c != ' ') continue;
    }
    if (i == start) throw ProtocolError("empty word");
    if (words.size() == kMaxWords) throw ProtocolError("too many words");
    words.emplace_back(line.substr(start, i - start));
    start = i + 1;
  }
  return words;
}

std::string EscapeName(std::string_view name) {
  std::string out;
  for (char ch : name) {
    const auto c = static_cast<unsigned char>(ch);
    if (c <= 0x20 || c >= 0x7F || c == '%') {
      char code[4];
      std::snprintf(code, sizeof code, "%%%02X", c);
      out += code;
    } else {
      out += ch;
    }
  }
  return out.empty() ? "%" : out;  // a lone "%" stands for the empty name
}

std::string UnescapeName(std::string_view text) {
  if (text == "%") return {};
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
    } else {
      if (i + 2 >= text.size()) throw ProtocolError("bad escape");
      const int high = HexDigit(text[i + 1]);
      const int low = HexDigit(text[i + 2]);
      if (high < 0 || low < 0) throw ProtocolError("bad escape");
      out += static_cast<char>(high << 4 | low);
      i += 2;
    }
    if (out.size() > kMaxNameLength) throw ProtocolError("name too long");
  }
  return out;
}

platform::BluetoothAddress ParseAddress(std::string_view text) {
  const std::optional<platform::BluetoothAddress> address = platform::ParseBluetoothAddressText(text);
  if (!address) throw ProtocolError("bad address");
  return *address;
}

std::string FormatAddress(platform::BluetoothAddress address) {
  return platform::BluetoothAddressText(address);
}

int64_t ParseInteger(std::string_view text, int64_t low, int64_t high) {
  int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < low || value > high) {
    throw ProtocolError("bad number");
  }
  return value;
}

uint32_t ParseClassOfDevice(std::string_view text) {
  if (text.empty() || text.size() > 6) throw ProtocolError("bad class of device");
  uint32_t value = 0;
  for (char c : text) {
    const int digit = HexDigit(c);
    if (digit < 0) throw ProtocolError("bad class of device");
    value = value << 4 | static_cast<unsigned>(digit);
  }
  return value;
}

std::string FormatDevice(const platform::BluetoothDeviceInfo& device) {
  char head[64];
  std::snprintf(head, sizeof head, "%s %06X %d %d %d ", FormatAddress(device.address).c_str(),
                device.classOfDevice & 0xFFFFFF, device.paired ? 1 : 0, device.remembered ? 1 : 0,
                device.connected ? 1 : 0);
  return head + EscapeName(device.name);
}

platform::BluetoothDeviceInfo ParseDevice(std::string_view line) {
  const std::vector<std::string> words = SplitLine(line);
  if (words.size() != 6) throw ProtocolError("device line needs 6 words");
  platform::BluetoothDeviceInfo device;
  device.address = ParseAddress(words[0]);
  if (words[1].size() != 6) throw ProtocolError("bad class of device");
  device.classOfDevice = ParseClassOfDevice(words[1]);
  device.paired = Flag(words[2]);
  device.remembered = Flag(words[3]);
  device.connected = Flag(words[4]);
  device.name = UnescapeName(words[5]);
  return device;
}

std::string FormatService(const platform::BluetoothServiceRecord& service) {
  return std::to_string(service.channel) + " " +
         (service.classId.empty() ? "-" : service.classId) + " " +
         (service.name.empty() ? "-" : EscapeName(service.name));
}

platform::BluetoothServiceRecord ParseService(std::string_view line) {
  const std::vector<std::string> words = SplitLine(line);
  if (words.size() != 3) throw ProtocolError("service line needs 3 words");
  platform::BluetoothServiceRecord service;
  service.channel = static_cast<uint8_t>(ParseInteger(words[0], 0, 30));
  if (words[1] != "-") {
    if (words[1].size() != 36) throw ProtocolError("bad service class");
    service.classId = words[1];
  }
  if (words[2] != "-") service.name = UnescapeName(words[2]);
  return service;
}

const char* ErrcWord(BluetoothErrc errc) {
  for (const auto& entry : kErrcWords) {
    if (entry.errc == errc) return entry.word;
  }
  return "failed";
}

BluetoothErrc ParseErrc(std::string_view word) {
  for (const auto& entry : kErrcWords) {
    if (word == entry.word) return entry.errc;
  }
  throw ProtocolError("unknown error kind");
}

Reply ParseReply(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    if (end == std::string_view::npos) throw ProtocolError("reply line not ended");
    if (lines.size() > kMaxListLines) throw ProtocolError("too many reply lines");
    lines.push_back(text.substr(0, end));
    text.remove_prefix(end + 1);
  }
  if (lines.empty()) throw ProtocolError("empty reply");
  Reply reply;
  const std::string_view head = lines.front();
  if (head.starts_with("ERR ")) {
    if (lines.size() != 1) throw ProtocolError("error reply with more lines");
    std::string_view rest = head.substr(4);
    const size_t space = rest.find(' ');
    reply.errc = ParseErrc(rest.substr(0, space));
    reply.errorText = space == std::string_view::npos ? "" : std::string(rest.substr(space + 1));
    for (char c : reply.errorText) {
      if (static_cast<unsigned char>(c) < 0x20) throw ProtocolError("control character in line");
    }
    return reply;
  }
  std::vector<std::string> words = SplitLine(head);
  if (words.front() != "OK") throw ProtocolError("reply is neither OK nor ERR");
  reply.ok = true;
  reply.words.assign(words.begin() + 1, words.end());
  const size_t extra = lines.size() - 1;
  if (extra > 0) {
    if (reply.words.size() != 1 ||
        static_cast<size_t>(ParseInteger(reply.words[0], 0, kMaxListLines)) != extra) {
      throw ProtocolError("list reply's count does not match its lines");
    }
    for (size_t i = 1; i < lines.size(); ++i) reply.lines.emplace_back(lines[i]);
  }
  return reply;
}

const std::vector<std::string>& ListLines(const Reply& reply) {
  if (!reply.ok || reply.words.size() != 1 ||
      static_cast<size_t>(ParseInteger(reply.words[0], 0, kMaxListLines)) != reply.lines.size()) {
    throw ProtocolError("not a list reply");
  }
  return reply.lines;
}

std::vector<uint8_t> PhoneAnswer(std::span<const uint8_t> message, size_t replySize) {
  std::vector<uint8_t> answer;
  const size_t size = replySize == 0 ? message.size() : replySize;
  answer.reserve(size);
  for (size_t i = 0; i < size && !message.empty(); ++i) {
    answer.push_back(static_cast<uint8_t>(~message[i % message.size()]));
  }
  return answer;
}

}  // namespace phonesim
