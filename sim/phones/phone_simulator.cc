#include "sim/phones/phone_simulator.h"

#include <cstdio>
#include <span>
#include <system_error>
#include <utility>

#include "bluetooth/bt_provider.h"
#include "platform/paths.h"
#include "sim/phones/control_channel.h"
#include "sim/phones/phone_protocol.h"

namespace phonesim {
namespace {

using platform::BluetoothErrc;
using platform::BluetoothError;

constexpr platform::BluetoothAddress kRadioAddress = 0x001A7DDA7113;
constexpr char kRadioName[] = "keystone-phone-sim";
constexpr int kDefaultRssi = -60;

[[noreturn]] void Refuse(BluetoothErrc errc, const std::string& text) {
  throw BluetoothError(errc, 0, text);
}

std::string Ok(const std::string& words = {}) { return words.empty() ? "OK\n" : "OK " + words + "\n"; }

std::string List(const std::vector<std::string>& lines) {
  std::string reply = "OK " + std::to_string(lines.size()) + "\n";
  for (const std::string& line : lines) reply += line + "\n";
  return reply;
}

void NeedWords(const std::vector<std::string>& words, size_t count) {
  if (words.size() != count) throw ProtocolError(words[0] + " takes " + std::to_string(count - 1) + " arguments");
}

bool OnOff(const std::string& word, const char* on, const char* off) {
  if (word == on) return true;
  if (word == off) return false;
  throw ProtocolError(std::string("expected ") + on + " or " + off);
}

const char* ModeWord(int mode) {
  static const char* const words[] = {"echo", "silent", "drop"};
  return words[mode];
}

std::string PhoneSocketPath(const std::string& directory, platform::BluetoothAddress address) {
  char name[32];
  std::snprintf(name, sizeof name, "/phone-%012llX.sock", static_cast<unsigned long long>(address));
  return directory + name;
}

// What make returns, or its failure as an "ERR" reply.
template <typename Make>
auto Refusals(Make make) -> decltype(make()) {
  try {
    return make();
  } catch (const BluetoothError& e) {
    return std::string("ERR ") + ErrcWord(e.Kind()) + " " + e.what() + "\n";
  } catch (const std::exception& e) {
    return std::string("ERR failed ") + e.what() + "\n";
  }
}

}  // namespace

PhoneSimulator::PhoneSimulator(std::string dir, SimulatorOptions opts)
    : directory(std::move(dir)),
      controlPath(directory + "/control.sock"),
      options(opts),
      delayed(opts.clientLimit) {
  platform::CreateDirectories(directory, 0700);
  control = platform::UnixListener::Bind(controlPath, 0600);
  control.Listen(16);
}

PhoneSimulator::~PhoneSimulator() {
  // The slow answers read the phones: they end before the phones go.
  delayed.Stop();
  std::map<platform::BluetoothAddress, std::unique_ptr<Phone>> gone;
  {
    keystone::MutexLock lock(mutex);
    gone.swap(phones);
  }
  for (auto& [address, phone] : gone) Retire(*phone);
  control.Close();
  try {
    platform::RemoveSocketFile(controlPath);
  } catch (const std::system_error&) {
    // Left for the next start, which replaces a socket nobody answers on.
  }
}

void PhoneSimulator::Stop() noexcept {
  {
    std::lock_guard lock(stopMutex);
    stopping = true;
  }
  stopWake.notify_all();
  delayed.Stop();
  control.Wake();
}

void PhoneSimulator::Run() {
  while (!stopping) {
    std::optional<platform::UnixStream> client;
    try {
      client = control.Accept();
    } catch (const std::system_error& e) {
      std::fprintf(stderr, "keystone-phone-sim: accept: %s\n", e.what());
      return;
    }
    if (!client) continue;
    try {
      const platform::Deadline deadline = platform::DeadlineAfter(options.clientLimit);
      const std::string line = ReadRequestLine(*client, deadline);
      if (line == "WATCH") {
        AddRadioWatcher(std::move(*client), deadline);
        continue;
      }
      Answer answer = Respond(line);
      if (answer.delay.count() > 0) {
        if (delayed.Add(*client, std::chrono::steady_clock::now() + answer.delay,
                        std::move(answer.later))) {
          continue;
        }
        answer.text = "ERR failed too many requests are waiting for the radio\n";
      }
      const std::string& reply = answer.text;
      client->SendAll(std::span(reinterpret_cast<const uint8_t*>(reply.data()), reply.size()),
                      deadline);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "keystone-phone-sim: control client: %s\n", e.what());
    }
  }
}

std::string PhoneSimulator::Handle(std::string_view line) {
  Answer answer = Respond(line);
  if (answer.delay.count() <= 0) return answer.text;
  {
    std::unique_lock lock(stopMutex);
    if (stopWake.wait_for(lock, answer.delay, [this] { return stopping.load(); })) {
      return std::string("ERR ") + ErrcWord(BluetoothErrc::kNoRadio) + " the simulator stopped\n";
    }
  }
  return answer.later();
}

PhoneSimulator::Answer PhoneSimulator::Respond(std::string_view line) {
  return Refusals([&]() -> Answer {
    const std::vector<std::string> words = SplitLine(line);
    if (words[0] == "INQUIRY") return Inquiry(words);
    if (words[0] == "SERVICES") return Services(words);
    return Dispatch(words);
  });
}

PhoneSimulator::Answer PhoneSimulator::Inquiry(const std::vector<std::string>& words) {
  NeedWords(words, 2);
  const auto length = ParseInteger(words[1], 1, kMaxInquiryLength);
  {
    keystone::MutexLock lock(mutex);
    RequireRadioLocked();
  }
  // The phones that answer are the ones in reach when the inquiry ends.
  return Answer(options.timeUnit * length,
                [this] { return Refusals([this] { return InquiryResult(); }); });
}

std::string PhoneSimulator::InquiryResult() {
  keystone::MutexLock lock(mutex);
  // A radio switched off meanwhile ends the inquiry with its failure.
  RequireRadioLocked();
  std::vector<std::string> lines;
  for (const auto& [address, phone] : phones) {
    if (phone->inRange) lines.push_back(FormatDevice(InfoLocked(*phone)));
  }
  return List(lines);
}

PhoneSimulator::Answer PhoneSimulator::Services(const std::vector<std::string>& words) {
  NeedWords(words, 2);
  keystone::MutexLock lock(mutex);
  RequireRadioLocked();
  Phone& phone = Find(words[1]);
  if (!phone.inRange) {
    // Nobody answers the page: the controller gives up after its page time-out.
    return Answer(options.timeUnit * kPageTimeoutUnits, [] {
      return std::string("ERR ") + ErrcWord(BluetoothErrc::kTimedOut) +
             " the phone does not answer\n";
    });
  }
  std::vector<std::string> lines;
  lines.push_back(FormatService({"Serial Port", "00001101-0000-1000-8000-00805f9b34fb", 1}));
  if (phone.hasApp) {
    lines.push_back(
        FormatService({mfab::kPhoneServiceName, mfab::kPhoneServiceClassId, kPhoneChannel}));
  }
  return List(lines);
}

void PhoneSimulator::AddRadioWatcher(platform::UnixStream stream, platform::Deadline deadline) {
  keystone::MutexLock lock(mutex);
  // A watcher never writes after its request, so a readable one has gone away.
  std::erase_if(radioWatchers, [](platform::UnixStream& watcher) {
    return watcher.WaitReadable(std::chrono::steady_clock::now());
  });
  std::string reply;
  const bool full = radioWatchers.size() >= kMaxRadioWatchers;
  reply = full ? std::string("ERR failed too many radio watchers\n")
               : "OK " + RadioStateLocked() + "\n";
  // The first answer goes out under the mutex, so no change can overtake it.
  stream.SendAll(std::span(reinterpret_cast<const uint8_t*>(reply.data()), reply.size()), deadline);
  if (!full) radioWatchers.push_back(std::move(stream));
}

std::string PhoneSimulator::RadioStateLocked() const {
  if (!radioOn) return "off";
  return "on " + FormatAddress(kRadioAddress) + " " + EscapeName(kRadioName);
}

void PhoneSimulator::PublishRadioLocked() {
  const std::string line = RadioStateLocked() + "\n";
  std::erase_if(radioWatchers, [&line](platform::UnixStream& watcher) {
    try {
      watcher.SendAll(std::span(reinterpret_cast<const uint8_t*>(line.data()), line.size()),
                      platform::DeadlineAfter(std::chrono::milliseconds(10)));
      return false;
    } catch (const std::system_error&) {
      return true;
    }
  });
}

PhoneSimulator::Phone& PhoneSimulator::Find(std::string_view addressText) {
  const auto it = phones.find(ParseAddress(addressText));
  if (it == phones.end()) Refuse(BluetoothErrc::kDeviceUnknown, "no such phone");
  return *it->second;
}

void PhoneSimulator::RequireRadioLocked() const {
  if (!radioOn) Refuse(BluetoothErrc::kNoRadio, "the radio is off");
}

bool PhoneSimulator::ConnectedLocked(const Phone& phone) const {
  for (const auto& link : phone.links) {
    if (!link->done && !link->closing) return true;
  }
  return false;
}

platform::BluetoothDeviceInfo PhoneSimulator::InfoLocked(const Phone& phone) const {
  platform::BluetoothDeviceInfo info;
  info.address = phone.address;
  info.name = phone.name;
  info.classOfDevice = phone.classOfDevice;
  info.paired = phone.paired;
  info.remembered = phone.paired;
  info.connected = ConnectedLocked(phone);
  return info;
}

void PhoneSimulator::DropLinksLocked(Phone& phone) {
  for (const auto& link : phone.links) {
    link->closing = true;
    link->stream.ShutdownBoth();
  }
}

std::string PhoneSimulator::Dispatch(const std::vector<std::string>& words) {
  const std::string& verb = words[0];
  if (verb == "PING") return Ok();
  if (verb == "SHUTDOWN") {
    Stop();
    return Ok();
  }
  if (verb == "ADD") return AddPhone(words);
  if (verb == "REMOVE") {
    NeedWords(words, 2);
    return RemovePhone(ParseAddress(words[1]));
  }

  keystone::MutexLock lock(mutex);
  // Control of the simulation.
  if (verb == "RADIO") {
    NeedWords(words, 2);
    radioOn = OnOff(words[1], "on", "off");
    // Watchers learn it before any link closes, so an engine that sees a link end sees why.
    PublishRadioLocked();
    if (!radioOn) {
      for (auto& [address, phone] : phones) DropLinksLocked(*phone);
    }
    return Ok();
  }
  if (verb == "LIST") {
    std::vector<std::string> lines;
    for (const auto& [address, phone] : phones) {
      lines.push_back(FormatDevice(InfoLocked(*phone)) + " " + (phone->inRange ? "in" : "out") +
                      " " + ModeWord(static_cast<int>(phone->mode)));
    }
    return List(lines);
  }
  if (verb == "PAIR") {
    NeedWords(words, 3);
    Find(words[1]).paired = OnOff(words[2], "1", "0");
    return Ok();
  }
  if (verb == "RANGE") {
    NeedWords(words, 3);
    Phone& phone = Find(words[1]);
    phone.inRange = OnOff(words[2], "in", "out");
    if (!phone.inRange) DropLinksLocked(phone);
    return Ok();
  }
  if (verb == "RSSI") {
    if (words.size() < 3 || words.size() > kMaxRssiScript + 2) throw ProtocolError("RSSI takes an address and 1 to 256 values");
    Phone& phone = Find(words[1]);
    std::vector<int8_t> script;
    for (size_t i = 2; i < words.size(); ++i) {
      script.push_back(static_cast<int8_t>(ParseInteger(words[i], -128, 127)));
    }
    phone.rssi = std::move(script);
    phone.rssiNext = 0;
    return Ok();
  }
  if (verb == "MODE") {
    NeedWords(words, 3);
    Phone& phone = Find(words[1]);
    if (words[2] == "echo") {
      phone.mode = Mode::kEcho;
    } else if (words[2] == "silent") {
      phone.mode = Mode::kSilent;
    } else if (words[2] == "drop") {
      phone.mode = Mode::kDrop;
    } else {
      throw ProtocolError("mode is echo, silent or drop");
    }
    return Ok();
  }
  if (verb == "REPLYSIZE") {
    NeedWords(words, 3);
    Find(words[1]).replySize = static_cast<size_t>(ParseInteger(words[2], 0, kMaxMessageLimit));
    return Ok();
  }
  if (verb == "MAXMESSAGE") {
    NeedWords(words, 3);
    Find(words[1]).maxMessage = static_cast<size_t>(ParseInteger(words[2], 1, kMaxMessageLimit));
    return Ok();
  }
  if (verb == "APP") {
    NeedWords(words, 3);
    Find(words[1]).hasApp = OnOff(words[2], "1", "0");
    return Ok();
  }
  if (verb == "FAILCONNECT") {
    NeedWords(words, 4);
    Phone& phone = Find(words[1]);
    phone.failKind = ParseErrc(words[2]);
    phone.failCount = static_cast<uint32_t>(ParseInteger(words[3], 0, 1000));
    return Ok();
  }
  if (verb == "NODE") {
    NeedWords(words, 3);
    Find(words[1]).nodeProblem = static_cast<int>(ParseInteger(words[2], 0, 0xFFFF));
    return Ok();
  }

  // The engine's queries.
  if (verb == "RADIOS") {
    if (!radioOn) return List({});
    return List({FormatAddress(kRadioAddress) + " " + EscapeName(kRadioName)});
  }
  if (verb == "RSSIREADABLE") return Ok(radioOn ? "1" : "0");
  if (verb == "DEVICE") {
    NeedWords(words, 2);
    RequireRadioLocked();
    return Ok(FormatDevice(InfoLocked(Find(words[1]))));
  }
  if (verb == "KNOWN") {
    RequireRadioLocked();
    std::vector<std::string> lines;
    for (const auto& [address, phone] : phones) {
      if (phone->paired) lines.push_back(FormatDevice(InfoLocked(*phone)));
    }
    return List(lines);
  }
  if (verb == "CONNECT") {
    NeedWords(words, 3);
    RequireRadioLocked();
    Phone& phone = Find(words[1]);
    const auto channel = ParseInteger(words[2], 1, 30);
    if (phone.failCount > 0) {
      --phone.failCount;
      Refuse(phone.failKind, "connect fails as told");
    }
    if (!phone.inRange) Refuse(BluetoothErrc::kTimedOut, "the phone does not answer");
    if (phone.nodeProblem != 0) Refuse(BluetoothErrc::kFailed, "the device node reports a problem");
    if (channel != kPhoneChannel || !phone.hasApp) Refuse(BluetoothErrc::kFailed, "connection refused");
    return Ok(EscapeName(phone.socketPath));
  }
  if (verb == "CONNRSSI") {
    NeedWords(words, 2);
    RequireRadioLocked();
    Phone& phone = Find(words[1]);
    if (!ConnectedLocked(phone)) Refuse(BluetoothErrc::kNotConnected, "no link to the phone");
    int rssi = kDefaultRssi;
    if (!phone.rssi.empty()) {
      rssi = phone.rssi[phone.rssiNext];
      if (phone.rssiNext + 1 < phone.rssi.size()) ++phone.rssiNext;  // the last one repeats
    }
    return Ok(std::to_string(rssi));
  }
  if (verb == "NODESTATE") {
    NeedWords(words, 2);
    const auto it = phones.find(ParseAddress(words[1]));
    if (it == phones.end()) return Ok("-");
    return Ok(std::to_string(it->second->nodeProblem));
  }
  if (verb == "NODEENABLE") {
    NeedWords(words, 3);
    RequireRadioLocked();
    Phone& phone = Find(words[1]);
    if (OnOff(words[2], "1", "0")) {
      phone.nodeProblem = 0;  // a restarted node comes back healthy
    } else {
      DropLinksLocked(phone);
    }
    return Ok();
  }
  throw ProtocolError("unknown request " + verb);
}

std::string PhoneSimulator::AddPhone(const std::vector<std::string>& words) {
  // ADD address class paired name
  NeedWords(words, 5);
  auto phone = std::make_unique<Phone>();
  phone->address = ParseAddress(words[1]);
  phone->classOfDevice = ParseClassOfDevice(words[2]);
  phone->paired = OnOff(words[3], "1", "0");
  phone->name = UnescapeName(words[4]);
  phone->maxMessage = kDefaultMaxMessage;
  phone->socketPath = PhoneSocketPath(directory, phone->address);
  {
    keystone::MutexLock lock(mutex);
    if (phones.size() >= kMaxPhones) throw ProtocolError("too many phones");
    if (phones.count(phone->address)) throw ProtocolError("the phone exists");
    phone->listener = platform::UnixListener::Bind(phone->socketPath, 0600);
    phone->listener.Listen(8);
    Phone* raw = phone.get();
    phone->acceptor = std::jthread([this, raw] { Accept(raw); });
    phones.emplace(raw->address, std::move(phone));
  }
  return Ok();
}

std::string PhoneSimulator::RemovePhone(platform::BluetoothAddress address) {
  std::unique_ptr<Phone> phone;
  {
    keystone::MutexLock lock(mutex);
    const auto it = phones.find(address);
    if (it == phones.end()) Refuse(BluetoothErrc::kDeviceUnknown, "no such phone");
    phone = std::move(it->second);
    phones.erase(it);
  }
  Retire(*phone);
  return Ok();
}

void PhoneSimulator::Retire(Phone& phone) {
  phone.listener.Wake();
  if (phone.acceptor.joinable()) phone.acceptor.join();
  // Nobody else reaches the phone now: its acceptor is gone and it is out of the map.
  for (const auto& link : phone.links) link->stream.ShutdownBoth();
  for (const auto& link : phone.links) {
    if (link->reader.joinable()) link->reader.join();
  }
  phone.links.clear();
  phone.listener.Close();
  try {
    platform::RemoveSocketFile(phone.socketPath);
  } catch (const std::system_error&) {
    // A stale file is replaced when the phone comes back.
  }
}

void PhoneSimulator::Accept(Phone* phone) {
  for (;;) {
    std::optional<platform::UnixStream> stream;
    try {
      stream = phone->listener.Accept();
    } catch (const std::system_error& e) {
      std::fprintf(stderr, "keystone-phone-sim: phone accept: %s\n", e.what());
      return;
    }
    if (!stream) return;  // woken: the phone is going
    keystone::MutexLock lock(mutex);
    // Readers that ended are joined here, so a long run does not pile them up.
    std::erase_if(phone->links, [](const std::shared_ptr<Link>& link) {
      if (!link->done) return false;
      link->reader.join();
      return true;
    });
    if (!radioOn || !phone->inRange || phone->links.size() >= 8) continue;  // closes the stream
    auto link = std::make_shared<Link>();
    link->stream = std::move(*stream);
    try {
      // A fresh socket's buffer is empty: this never waits.
      link->stream.SendAll(std::span(&kLinkUp, 1), platform::DeadlineAfter(options.answerLimit));
    } catch (const std::system_error&) {
      continue;  // the engine gave up already
    }
    link->reader = std::jthread([this, phone, link] { Serve(phone, link); });
    phone->links.push_back(std::move(link));
  }
}

void PhoneSimulator::Serve(Phone* phone, std::shared_ptr<Link> link) {
  std::vector<uint8_t> buffer(kMaxMessageLimit + 1);
  for (;;) {
    size_t n = 0;
    try {
      n = link->stream.ReceiveSome(buffer);
    } catch (const std::system_error&) {
      break;
    }
    if (n == 0) break;
    Mode mode;
    size_t replySize = 0;
    size_t maxMessage = 0;
    {
      keystone::MutexLock lock(mutex);
      if (link->closing) break;
      mode = phone->mode;
      replySize = phone->replySize;
      maxMessage = phone->maxMessage;
    }
    if (n > maxMessage) {
      std::fprintf(stderr, "keystone-phone-sim: %s: message of %zu bytes is over the limit of %zu\n",
                   FormatAddress(phone->address).c_str(), n, maxMessage);
      break;
    }
    if (mode == Mode::kDrop) break;
    if (mode == Mode::kSilent) continue;
    const std::vector<uint8_t> answer = PhoneAnswer(std::span(buffer.data(), n), replySize);
    try {
      link->stream.SendAll(answer, platform::DeadlineAfter(options.answerLimit));
    } catch (const std::system_error&) {
      break;
    }
  }
  link->stream.ShutdownBoth();
  link->done = true;
}

}  // namespace phonesim
