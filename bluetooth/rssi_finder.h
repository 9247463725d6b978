#pragma once

// The signal strength of an open classic link, read from the local radio in two commands: the
// connection by address (the controller's link handle) and the link's RSSI (HCI Read RSSI). The
// answer to the second arrives as raw controller bytes and is parsed here (ParseRssiAnswer), with
// the layout of platform/bluetooth.h: exactly 9 bytes, event 0x0E, opcode 0x1405, status at
// byte 5, the handle at bytes 6..7 and the signed RSSI at byte 8.
//
// HostRssiFinder is owned by the classic provider. Thread-safe: Setup and GetRssi may run on
// any threads; GetRssi blocks for at most two stack calls, the second bounded by
// Options::answerLimit.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/bluetooth.h"

namespace RssiFinderExceptions {

class RssiException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class InternalRssiErrorException : public RssiException {
 public:
  InternalRssiErrorException() : RssiException("Internal error occurd in rssi finder") {}
};

class InvalidBluetoothHandleException : public RssiException {
 public:
  InvalidBluetoothHandleException() : RssiException("Invalid bluetooth's handle") {}
};

class InvalidBluetoothRadioException : public RssiException {
 public:
  InvalidBluetoothRadioException() : RssiException("Invalid Bluetooth radio") {}
};

class InvalidPrivilegeException : public RssiException {
 public:
  InvalidPrivilegeException() : RssiException("Invalid privilege") {}
};

}  // namespace RssiFinderExceptions

namespace Ostra::RssiCommunication {

// One open link as the controller reports it.
struct ConnectionEntry {
  uint16_t handle = 0;
  int8_t rssi = 0;  // filled by ConnectionRSSICommand
};

// Why a parse refused an answer (for the log and the tests); every refusal is
// InternalRssiErrorException to callers.
enum class AnswerDefect { kNone, kWrongSize, kNotCommandComplete, kWrongOpcode, kBadStatus,
                          kWrongHandle };

// The RSSI in the answer to Read RSSI for handle, or the defect that makes it unusable. Pure;
// reads only answer.
struct ParsedRssiAnswer {
  AnswerDefect defect = AnswerDefect::kNone;
  uint8_t status = 0;  // the controller's status when the defect is kBadStatus
  int8_t rssi = 0;
};
ParsedRssiAnswer ParseRssiAnswer(std::span<const uint8_t> answer, uint16_t handle);
const char* AnswerDefectName(AnswerDefect defect);

// A command to the radio. Throws "Radio Handle is invalid" (std::runtime_error) when made
// without a stack.
class Command {
 public:
  explicit Command(platform::BluetoothStack* radio);
  virtual ~Command() = default;
  Command(const Command&) = delete;
  Command& operator=(const Command&) = delete;

  // The command's parameter bytes as the controller takes them.
  virtual std::vector<uint8_t> FillParameters() const = 0;

 protected:
  // Runs call, turning the stack's failures into the RssiFinderExceptions family.
  template <typename Call>
  auto Execute(Call call) -> decltype(call());

  platform::BluetoothStack& stack;
};

// The link to an address. The text is six hexadecimal numbers separated by colons; fewer throw
// std::invalid_argument "BAD MAC Address" before the radio is asked.
class ConnectionInfoByAddrCommand : public Command {
 public:
  ConnectionInfoByAddrCommand(platform::BluetoothStack* radio, std::string_view addressText);

  // One byte 0, then the address least significant byte first.
  std::vector<uint8_t> FillParameters() const override;
  // The connection entries (at most one on this host; empty without a link).
  std::vector<ConnectionEntry> Run();

 private:
  platform::BluetoothAddress address = 0;
};

// The RSSI of one link: stores it into the entry.
class ConnectionRSSICommand : public Command {
 public:
  ConnectionRSSICommand(platform::BluetoothStack* radio, ConnectionEntry& entry,
                        std::chrono::milliseconds answerLimit);

  // The handle, little-endian.
  std::vector<uint8_t> FillParameters() const override;
  // Throws InternalRssiErrorException for an answer that is not exactly the expected one.
  void Run();

 private:
  ConnectionEntry& entry;
  std::chrono::milliseconds limit;
};

}  // namespace Ostra::RssiCommunication

namespace mfab {

struct HostRssiFinderOptions {
  // How long the controller may take to answer Read RSSI.
  std::chrono::milliseconds answerLimit{1000};
};

class HostRssiFinder {
 public:
  using Options = HostRssiFinderOptions;

  explicit HostRssiFinder(std::shared_ptr<platform::BluetoothStack> stack, Options options = {});
  HostRssiFinder(const HostRssiFinder&) = delete;
  HostRssiFinder& operator=(const HostRssiFinder&) = delete;

  // Takes the first radio for the commands. Throws std::runtime_error naming the failure when
  // there is none; GetRssi then tries once more itself and refuses while there is still none.
  void Setup();
  // The RSSI of the open link to the address, in dBm. Throws std::invalid_argument
  // "BAD MAC Address", std::runtime_error "Radio Handle is invalid" before a successful Setup,
  // std::runtime_error "The MAC address doesn't have a connection", or the RssiFinderExceptions
  // family.
  int16_t GetRssi(std::string_view addressText);

 private:
  const std::shared_ptr<platform::BluetoothStack> stack;
  const Options options;
  std::atomic<bool> radioOpen{false};
};

}  // namespace mfab
