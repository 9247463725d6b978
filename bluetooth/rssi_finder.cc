#include "bluetooth/rssi_finder.h"

#include <cstdio>
#include <utility>

#include "log/logger.h"

namespace Ostra::RssiCommunication {
namespace {

using mfab::kLogError;
using mfab::kLogInfo;
using platform::BluetoothErrc;
using platform::BluetoothError;

constexpr char kTag[] = "RSSI_FINDER";

mfab::AuthenticateLogger& Sink() { return mfab::AuthenticateLoggerMsftBt::Instance(); }

}  // namespace

Command::Command(platform::BluetoothStack* radio)
    : stack(radio ? *radio : throw std::runtime_error("Radio Handle is invalid")) {}

template <typename Call>
auto Command::Execute(Call call) -> decltype(call()) {
  try {
    return call();
  } catch (const platform::BluetoothPermissionError& e) {
    KS_LOG(Sink(), kLogError, kTag, "Command failed: %s", e.what());
    throw RssiFinderExceptions::InvalidPrivilegeException();
  } catch (const BluetoothError& e) {
    KS_LOG(Sink(), kLogError, kTag, "Command failed: %s", e.what());
    switch (e.Kind()) {
      case BluetoothErrc::kNoRadio:
      case BluetoothErrc::kNotReady:
        throw RssiFinderExceptions::InvalidBluetoothRadioException();
      default:
        throw RssiFinderExceptions::InternalRssiErrorException();
    }
  }
}

ConnectionInfoByAddrCommand::ConnectionInfoByAddrCommand(platform::BluetoothStack* radio,
                                                         std::string_view addressText)
    : Command(radio) {
  unsigned bytes[6] = {};
  char rest = 0;
  const std::string text(addressText);
  const int found = std::sscanf(text.c_str(), "%x:%x:%x:%x:%x:%x%c", &bytes[0], &bytes[1],
                                &bytes[2], &bytes[3], &bytes[4], &bytes[5], &rest);
  if (found < 6) throw std::invalid_argument("BAD MAC Address");
  for (unsigned byte : bytes) {
    if (byte > 0xFF) throw std::invalid_argument("BAD MAC Address");
    address = address << 8 | byte;
  }
}

std::vector<uint8_t> ConnectionInfoByAddrCommand::FillParameters() const {
  std::vector<uint8_t> parameters{0};
  for (int i = 0; i < 6; ++i) parameters.push_back(static_cast<uint8_t>(address >> (8 * i)));
  return parameters;
}

std::vector<ConnectionEntry> ConnectionInfoByAddrCommand::Run() {
  return Execute([this]() -> std::vector<ConnectionEntry> {
    try {
      return {ConnectionEntry{stack.ConnectionHandle(address), 0}};
    } catch (const BluetoothError& e) {
      if (e.Kind() == BluetoothErrc::kNotConnected) return {};
      throw;
    }
  });
}

ConnectionRSSICommand::ConnectionRSSICommand(platform::BluetoothStack* radio,
                                             ConnectionEntry& target,
                                             std::chrono::milliseconds answerLimit)
    : Command(radio), entry(target), limit(answerLimit) {}

std::vector<uint8_t> ConnectionRSSICommand::FillParameters() const {
  return {static_cast<uint8_t>(entry.handle & 0xFF), static_cast<uint8_t>(entry.handle >> 8)};
}

void ConnectionRSSICommand::Run() {
  const std::vector<uint8_t> answer =
      Execute([this] { return stack.ReadRssiAnswer(entry.handle, limit); });
  const ParsedRssiAnswer parsed = ParseRssiAnswer(answer, entry.handle);
  if (parsed.defect != AnswerDefect::kNone) {
    KS_LOG(Sink(), kLogError, kTag, "Read RSSI answer refused (%s, %zu bytes, status %u)",
           AnswerDefectName(parsed.defect), answer.size(), static_cast<unsigned>(parsed.status));
    throw RssiFinderExceptions::InternalRssiErrorException();
  }
  entry.rssi = parsed.rssi;
}

}  // namespace Ostra::RssiCommunication

namespace mfab {

HostRssiFinder::HostRssiFinder(std::shared_ptr<platform::BluetoothStack> stackToUse,
                               Options finderOptions)
    : stack(std::move(stackToUse)), options(finderOptions) {}

void HostRssiFinder::Setup() {
  radioOpen = false;
  if (!stack) throw std::runtime_error("Radio Handle is invalid");
  const std::vector<platform::BluetoothRadio> radios = stack->Radios();
  if (radios.empty()) throw std::runtime_error("Bluetooth radio list returned no radio");
  radioOpen = true;
  KS_LOG(AuthenticateLoggerMsftBt::Instance(), kLogInfo, "RSSI_FINDER",
         "HostRssiFinder uses radio %s",
         platform::BluetoothAddressText(radios.front().address).c_str());
}

int16_t HostRssiFinder::GetRssi(std::string_view addressText) {
  using namespace Ostra::RssiCommunication;
  ConnectionInfoByAddrCommand info(stack.get(), addressText);
  if (!radioOpen) {
    // A radio that came after Setup is taken now (on this host opening it costs nothing).
    try {
      Setup();
    } catch (const std::exception&) {
      throw std::runtime_error("Radio Handle is invalid");
    }
  }
  std::vector<ConnectionEntry> connections = info.Run();
  if (connections.empty()) throw std::runtime_error("The MAC address doesn't have a connection");
  ConnectionRSSICommand rssi(stack.get(), connections.front(), options.answerLimit);
  rssi.Run();
  return connections.front().rssi;
}

}  // namespace mfab
