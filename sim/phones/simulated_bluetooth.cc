#include "sim/phones/simulated_bluetooth.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <system_error>
#include <utility>

#include "sim/phones/control_channel.h"
#include "sim/phones/phone_protocol.h"

namespace phonesim {
namespace {

using platform::BluetoothErrc;
using platform::BluetoothError;

BluetoothErrc KindOfStreamError(const std::system_error& e) {
  switch (e.code().value()) {
    case EPIPE:
    case ECONNRESET:
      return BluetoothErrc::kConnectionClosed;
    case ETIMEDOUT:
      return BluetoothErrc::kTimedOut;
    default:
      return BluetoothErrc::kFailed;
  }
}

// A link to one virtual phone: a plain local stream.
class SimulatedConnection : public platform::BluetoothConnection {
 public:
  explicit SimulatedConnection(platform::UnixStream s) : stream(std::move(s)) {}

  void Send(std::span<const uint8_t> data, platform::Deadline deadline) override {
    try {
      stream.SendAll(data, deadline);
    } catch (const std::system_error& e) {
      throw BluetoothError(KindOfStreamError(e), e.code().value(), e.what());
    }
  }

  bool WaitReadable(std::chrono::milliseconds limit) override {
    // DeadlineAfter treats zero as "no deadline"; a zero wait here means "look once".
    const platform::Deadline deadline = limit.count() > 0 ? platform::DeadlineAfter(limit)
                                                          : std::chrono::steady_clock::now();
    try {
      return stream.WaitReadable(deadline);
    } catch (const std::system_error& e) {
      throw BluetoothError(KindOfStreamError(e), e.code().value(), e.what());
    }
  }

  size_t Receive(std::span<uint8_t> buffer) override {
    try {
      return stream.ReceiveSome(buffer);
    } catch (const std::system_error& e) {
      if (KindOfStreamError(e) == BluetoothErrc::kConnectionClosed) return 0;
      throw BluetoothError(KindOfStreamError(e), e.code().value(), e.what());
    }
  }

  void Close() override { stream.Close(); }

  void Abort() noexcept override { stream.ShutdownBoth(); }

 private:
  platform::UnixStream stream;
};

}  // namespace

SimulatedBluetoothStack::SimulatedBluetoothStack(std::string path, SimulatedBluetoothOptions opts)
    : controlPath(std::move(path)), options(opts) {}

std::pair<std::vector<std::string>, std::vector<std::string>> SimulatedBluetoothStack::Request(
    const std::string& line, std::chrono::milliseconds limit) {
  phonesim::Reply reply;
  try {
    reply = Call(controlPath, line, limit);
  } catch (const ProtocolError& e) {
    throw BluetoothError(BluetoothErrc::kFailed, 0,
                         std::string("phone simulator answered badly: ") + e.what());
  } catch (const std::system_error& e) {
    // No simulator listening is a host whose radio is gone.
    const int code = e.code().value();
    const BluetoothErrc errc = code == ETIMEDOUT ? BluetoothErrc::kTimedOut : BluetoothErrc::kNoRadio;
    throw BluetoothError(errc, code, std::string("phone simulator: ") + e.what());
  }
  if (!reply.ok) throw BluetoothError(reply.errc, 0, "phone simulator: " + reply.errorText);
  return {std::move(reply.words), std::move(reply.lines)};
}

std::vector<platform::BluetoothDeviceInfo> SimulatedBluetoothStack::Devices(
    const std::string& line, std::chrono::milliseconds limit) {
  auto [words, lines] = Request(line, limit);
  std::vector<platform::BluetoothDeviceInfo> devices;
  try {
    phonesim::Reply reply{true, words, lines};
    for (const std::string& device : ListLines(reply)) devices.push_back(ParseDevice(device));
  } catch (const ProtocolError& e) {
    throw BluetoothError(BluetoothErrc::kFailed, 0, std::string("phone simulator: ") + e.what());
  }
  return devices;
}

void SimulatedBluetoothStack::ApplyStateLines(std::string& pending,
                                              std::optional<platform::BluetoothRadio>& radio) {
  for (size_t end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
    const std::vector<std::string> words = SplitLine(std::string_view(pending).substr(0, end));
    pending.erase(0, end + 1);
    if (words.size() == 1 && words[0] == "off") {
      radio.reset();
    } else if (words.size() == 3 && words[0] == "on") {
      radio = platform::BluetoothRadio{ParseAddress(words[1]), UnescapeName(words[2])};
    } else {
      throw ProtocolError("bad radio state line");
    }
  }
  if (pending.size() > kMaxLine) throw ProtocolError("radio state line too long");
}

platform::UnixStream SimulatedBluetoothStack::OpenWatch(
    std::string& pending, std::optional<platform::BluetoothRadio>& radio) {
  const platform::Deadline deadline = platform::DeadlineAfter(options.callLimit);
  platform::UnixStream stream = platform::UnixStream::Connect(controlPath, deadline);
  static constexpr char kRequest[] = "WATCH\n";
  stream.SendAll(std::span(reinterpret_cast<const uint8_t*>(kRequest), sizeof kRequest - 1),
                 deadline);
  std::string text;
  std::array<uint8_t, 256> buffer;
  size_t end = std::string::npos;
  while ((end = text.find('\n')) == std::string::npos) {
    const size_t n = stream.ReceiveSome(buffer, deadline);
    if (n == 0) throw ProtocolError("the simulator closed the radio watch");
    text.append(reinterpret_cast<const char*>(buffer.data()), n);
    if (text.size() > 2 * kMaxLine) throw ProtocolError("radio watch answer too long");
  }
  const std::string first = text.substr(0, end);
  if (first.rfind("OK ", 0) != 0) throw ProtocolError("radio watch refused: " + first);
  pending = first.substr(3) + "\n" + text.substr(end + 1);
  ApplyStateLines(pending, radio);
  return stream;
}

std::optional<platform::BluetoothRadio> SimulatedBluetoothStack::WatchedRadio() {
  keystone::MutexLock lock(watchMutex);
  // A stream that ended (the simulator dropped it, or went) is opened once more: only a
  // simulator that cannot be reached now means no radio.
  for (int attempt = 0; attempt < 2; ++attempt) {
    try {
      if (!watch.IsOpen()) watch = OpenWatch(watchPending, watchedRadio);
      std::array<uint8_t, 256> buffer;
      for (;;) {
        const std::optional<size_t> n = watch.TryReceive(buffer);
        if (!n) return watchedRadio;
        if (*n == 0) break;
        watchPending.append(reinterpret_cast<const char*>(buffer.data()), *n);
        ApplyStateLines(watchPending, watchedRadio);
      }
    } catch (const std::system_error&) {
      // Unreachable, or the stream broke: the next attempt starts from a new stream.
    } catch (const ProtocolError&) {
      // A garbled watch is dropped the same way.
    }
    watch.Close();
    watchPending.clear();
    watchedRadio.reset();
  }
  return std::nullopt;
}

std::vector<platform::BluetoothRadio> SimulatedBluetoothStack::Radios() {
  std::optional<platform::BluetoothRadio> radio = WatchedRadio();
  if (!radio) return {};
  return {*radio};
}

platform::BluetoothDeviceInfo SimulatedBluetoothStack::DeviceInfo(platform::BluetoothAddress address) {
  auto [words, lines] = Request("DEVICE " + FormatAddress(address), options.callLimit);
  std::string line;
  for (const std::string& word : words) line += (line.empty() ? "" : " ") + word;
  try {
    return ParseDevice(line);
  } catch (const ProtocolError& e) {
    throw BluetoothError(BluetoothErrc::kFailed, 0, std::string("phone simulator: ") + e.what());
  }
}

std::vector<platform::BluetoothDeviceInfo> SimulatedBluetoothStack::KnownDevices() {
  return Devices("KNOWN", options.callLimit);
}

std::vector<platform::BluetoothDeviceInfo> SimulatedBluetoothStack::Inquiry(uint8_t length) {
  const int units = std::clamp<int>(length, 1, kMaxInquiryLength);
  // The simulator answers when the inquiry ends: at most this many real units from now.
  return Devices("INQUIRY " + std::to_string(units), options.callLimit + kRadioTimeUnit * units);
}

std::vector<platform::BluetoothServiceRecord> SimulatedBluetoothStack::LookupServices(
    platform::BluetoothAddress address) {
  // A phone out of reach is answered for after the page time-out.
  auto [words, lines] = Request("SERVICES " + FormatAddress(address),
                                options.callLimit + kRadioTimeUnit * kPageTimeoutUnits);
  std::vector<platform::BluetoothServiceRecord> services;
  try {
    phonesim::Reply reply{true, words, lines};
    for (const std::string& line : ListLines(reply)) services.push_back(ParseService(line));
  } catch (const ProtocolError& e) {
    throw BluetoothError(BluetoothErrc::kFailed, 0, std::string("phone simulator: ") + e.what());
  }
  return services;
}

std::unique_ptr<platform::BluetoothConnection> SimulatedBluetoothStack::Connect(
    platform::BluetoothAddress address, uint8_t channel, platform::Deadline deadline) {
  auto limit = options.callLimit;
  if (deadline != platform::kNoDeadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) throw BluetoothError(BluetoothErrc::kTimedOut, ETIMEDOUT, "connect: deadline passed");
    limit = std::min(limit, left);
  }
  auto [words, lines] =
      Request("CONNECT " + FormatAddress(address) + " " + std::to_string(channel), limit);
  if (words.size() != 1) throw BluetoothError(BluetoothErrc::kFailed, 0, "phone simulator: bad CONNECT answer");
  std::string path;
  try {
    path = UnescapeName(words[0]);
  } catch (const ProtocolError& e) {
    throw BluetoothError(BluetoothErrc::kFailed, 0, std::string("phone simulator: ") + e.what());
  }
  try {
    platform::UnixStream stream = platform::UnixStream::Connect(path);
    uint8_t up = 0;
    const platform::Deadline linkDeadline =
        deadline == platform::kNoDeadline ? platform::DeadlineAfter(options.callLimit) : deadline;
    if (stream.ReceiveSome(std::span(&up, 1), linkDeadline) != 1 || up != kLinkUp) {
      throw BluetoothError(BluetoothErrc::kTimedOut, 0, "the phone did not take the link");
    }
    return std::make_unique<SimulatedConnection>(std::move(stream));
  } catch (const std::system_error& e) {
    // The phone went between the answer and the connect: like a page that was not answered.
    throw BluetoothError(BluetoothErrc::kTimedOut, e.code().value(), e.what());
  }
}

int8_t SimulatedBluetoothStack::ConnectionRssi(platform::BluetoothAddress address) {
  auto [words, lines] = Request("CONNRSSI " + FormatAddress(address), options.callLimit);
  try {
    if (words.size() != 1) throw ProtocolError("bad CONNRSSI answer");
    return static_cast<int8_t>(ParseInteger(words[0], -128, 127));
  } catch (const ProtocolError& e) {
    throw BluetoothError(BluetoothErrc::kFailed, 0, std::string("phone simulator: ") + e.what());
  }
}

bool SimulatedBluetoothStack::CanReadConnectionRssi() {
  // The simulated radio reads the RSSI of its links whenever it is on.
  return WatchedRadio().has_value();
}

uint16_t SimulatedBluetoothStack::ConnectionHandle(platform::BluetoothAddress address) {
  platform::BluetoothDeviceInfo info;
  try {
    info = DeviceInfo(address);
  } catch (const BluetoothError& e) {
    if (e.Kind() != BluetoothErrc::kDeviceUnknown) throw;
  }
  if (!info.connected) {
    throw BluetoothError(BluetoothErrc::kNotConnected, 0,
                         "no link to " + platform::BluetoothAddressText(address));
  }
  keystone::MutexLock lock(handlesMutex);
  for (const auto& [handle, linked] : handles) {
    if (linked == address) return handle;
  }
  // Controllers number ACL links from 1 upwards within 12 bits.
  const uint16_t handle = static_cast<uint16_t>(handles.size() % 0xEFF + 1);
  handles[handle] = address;
  return handle;
}

std::vector<uint8_t> SimulatedBluetoothStack::ReadRssiAnswer(uint16_t handle,
                                                             std::chrono::milliseconds limit) {
  std::optional<platform::BluetoothAddress> address;
  {
    keystone::MutexLock lock(handlesMutex);
    if (auto it = handles.find(handle); it != handles.end()) address = it->second;
  }
  if (!address) return platform::ReadRssiAnswerBytes(platform::kHciUnknownConnection, handle, 0);
  auto [words, lines] = [&] {
    try {
      return Request("CONNRSSI " + FormatAddress(*address), std::min(limit, options.callLimit));
    } catch (const BluetoothError& e) {
      if (e.Kind() != BluetoothErrc::kNotConnected) throw;
      return std::pair<std::vector<std::string>, std::vector<std::string>>{};
    }
  }();
  if (words.empty()) return platform::ReadRssiAnswerBytes(platform::kHciUnknownConnection, handle, 0);
  try {
    if (words.size() != 1) throw ProtocolError("bad CONNRSSI answer");
    const auto rssi = static_cast<int8_t>(ParseInteger(words[0], -128, 127));
    return platform::ReadRssiAnswerBytes(0, handle, rssi);
  } catch (const ProtocolError& e) {
    throw BluetoothError(BluetoothErrc::kFailed, 0, std::string("phone simulator: ") + e.what());
  }
}

std::optional<int> SimulatedBluetoothStack::DeviceNodeProblem(platform::BluetoothAddress address) {
  auto [words, lines] = Request("NODESTATE " + FormatAddress(address), options.callLimit);
  try {
    if (words.size() != 1) throw ProtocolError("bad NODESTATE answer");
    if (words[0] == "-") return std::nullopt;
    return static_cast<int>(ParseInteger(words[0], 0, 0xFFFF));
  } catch (const ProtocolError& e) {
    throw BluetoothError(BluetoothErrc::kFailed, 0, std::string("phone simulator: ") + e.what());
  }
}

void SimulatedBluetoothStack::SetDeviceNodeEnabled(platform::BluetoothAddress address, bool enabled) {
  Request("NODEENABLE " + FormatAddress(address) + (enabled ? " 1" : " 0"), options.callLimit);
}

}  // namespace phonesim
