#pragma once

// The Bluetooth facility the classic provider stands on: the local radio, the devices the stack
// knows or finds by inquiry, service lookup of a device's RFCOMM channel, stream connections with
// a deadline, and the signal strength of an open link. Two implementations: BlueZ
// (platform/posix/bluez_bluetooth.cc) and the simulated phones (sim/phones/), chosen by the
// composition root. docs/bluetooth.md describes both and how their errors map.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/unix_socket.h"

namespace platform {

// A 48-bit device address; the first printed byte is bits 40..47.
using BluetoothAddress = uint64_t;

// Why a Bluetooth call failed, in the terms the provider reacts to.
enum class BluetoothErrc {
  kNoRadio,           // no adapter, or no Bluetooth in the kernel at all
  kAddressInUse,      // the link or channel is taken (EADDRINUSE)
  kTimedOut,          // the device did not answer: out of range, off (ETIMEDOUT, EHOSTDOWN)
  kNotReady,          // the adapter is not ready yet (ENETDOWN, ENODEV, EBUSY)
  kDeviceUnknown,     // the stack has no record of the address
  kConnectionClosed,  // the peer closed or reset the link (EPIPE, ECONNRESET)
  kNotConnected,      // no open link to the device
  kFailed,            // anything else; SystemCode() names it
};

class BluetoothError : public std::runtime_error {
 public:
  BluetoothError(BluetoothErrc errc, int systemCode, const std::string& what)
      : std::runtime_error(what), kind(errc), code(systemCode) {}
  BluetoothErrc Kind() const { return kind; }
  // The system's own number (errno on Linux), 0 when there was none.
  int SystemCode() const { return code; }

 private:
  BluetoothErrc kind;
  int code;
};

// The controller's answer to HCI Read RSSI (opcode 0x1405) is a Command Complete event of
// kHciReadRssiAnswerSize bytes, without the packet indicator: event code 0x0E, parameter length 7,
// command credits, opcode (little-endian), status, connection handle (little-endian), RSSI (signed
// dBm).
inline constexpr uint16_t kHciReadRssiOpcode = 0x1405;
inline constexpr uint8_t kHciCommandCompleteEvent = 0x0E;
inline constexpr size_t kHciReadRssiAnswerSize = 9;
// The largest event a controller sends (header and 255 parameter bytes).
inline constexpr size_t kHciMaxEventSize = 257;
// HCI status "Unknown Connection Identifier".
inline constexpr uint8_t kHciUnknownConnection = 0x02;

// The Command Complete event a controller sends for Read RSSI (what a simulated stack answers).
inline std::vector<uint8_t> ReadRssiAnswerBytes(uint8_t status, uint16_t handle, int8_t rssi) {
  return {kHciCommandCompleteEvent,
          static_cast<uint8_t>(kHciReadRssiAnswerSize - 2),
          1,
          static_cast<uint8_t>(kHciReadRssiOpcode & 0xFF),
          static_cast<uint8_t>(kHciReadRssiOpcode >> 8),
          status,
          static_cast<uint8_t>(handle & 0xFF),
          static_cast<uint8_t>(handle >> 8),
          static_cast<uint8_t>(rssi)};
}

// The caller may not do this (EPERM, EACCES: raw HCI commands need CAP_NET_RAW). Its Kind() is
// kFailed, so code that only knows the kinds treats it as any other failure.
class BluetoothPermissionError : public BluetoothError {
 public:
  BluetoothPermissionError(int systemCode, const std::string& what)
      : BluetoothError(BluetoothErrc::kFailed, systemCode, what) {}
};

struct BluetoothRadio {
  BluetoothAddress address = 0;
  std::string name;
};

struct BluetoothDeviceInfo {
  BluetoothAddress address = 0;
  std::string name;
  uint32_t classOfDevice = 0;
  bool paired = false;
  bool remembered = false;  // the stack keeps a record of it (paired once, or seen and kept)
  bool connected = false;
};

struct BluetoothServiceRecord {
  std::string name;     // service instance name; empty when the record has none
  std::string classId;  // first 128-bit service class, lower-case UUID text; empty when none
  uint8_t channel = 0;  // RFCOMM channel, 0 when the service is not on RFCOMM
};

// One open RFCOMM stream. Send and Receive may run on two threads at once; Close must not race
// with either. Every failure is a BluetoothError.
class BluetoothConnection {
 public:
  virtual ~BluetoothConnection() = default;

  // Writes every byte before the deadline (kTimedOut after it).
  virtual void Send(std::span<const uint8_t> data, Deadline deadline) = 0;
  // Waits until a read would not block; false when limit passed first.
  virtual bool WaitReadable(std::chrono::milliseconds limit) = 0;
  // One read of what is there, at most buffer.size() bytes; 0 when the peer closed.
  virtual size_t Receive(std::span<uint8_t> buffer) = 0;
  // Closes the link; a second call does nothing.
  virtual void Close() = 0;
  // Ends a wait on the link at once, from any thread: the wait returns and the next read sees
  // the link closed. The link stays open until Close.
  virtual void Abort() noexcept = 0;
};

// Thread-safe. Calls block for as long as the stack needs (an inquiry takes seconds); only
// Connect has a deadline of its own.
class BluetoothStack {
 public:
  virtual ~BluetoothStack() = default;

  // The radios present now; empty when there is none (never throws for that).
  virtual std::vector<BluetoothRadio> Radios() = 0;
  // What the stack knows about one device: kDeviceUnknown when nothing, kNoRadio.
  virtual BluetoothDeviceInfo DeviceInfo(BluetoothAddress address) = 0;
  // The devices the stack keeps: paired, remembered or connected.
  virtual std::vector<BluetoothDeviceInfo> KnownDevices() = 0;
  // The devices answering an inquiry that lasts length × 1.28 seconds.
  virtual std::vector<BluetoothDeviceInfo> Inquiry(uint8_t length) = 0;
  // The device's service records (asks the device itself): kTimedOut when it does not answer.
  virtual std::vector<BluetoothServiceRecord> LookupServices(BluetoothAddress address) = 0;
  // Opens an RFCOMM stream to the channel; kTimedOut when the deadline passes first.
  virtual std::unique_ptr<BluetoothConnection> Connect(BluetoothAddress address, uint8_t channel,
                                                       Deadline deadline) = 0;
  // The signal strength of the open link to the device, in dBm; kNotConnected without one.
  virtual int8_t ConnectionRssi(BluetoothAddress address) = 0;
  // Whether ConnectionRssi can work on this host (a radio that reports it).
  virtual bool CanReadConnectionRssi() = 0;
  // The controller's handle of the open ACL link to the device, on the first radio that is up
  // (HCI connection info): kNotConnected without a link, kNoRadio. A stack without HCI access
  // throws kFailed.
  virtual uint16_t ConnectionHandle(BluetoothAddress address);
  // Sends HCI Read RSSI for the link handle to the first radio that is up and returns the event
  // that answers it, as the controller sent it (at most kHciMaxEventSize bytes, unchecked: the
  // caller parses it). kTimedOut when no answer came within limit, BluetoothPermissionError
  // without the right to send raw HCI commands. A stack without HCI access throws kFailed.
  virtual std::vector<uint8_t> ReadRssiAnswer(uint16_t handle, std::chrono::milliseconds limit);
  // The state of the system's node for the device: empty when there is no node, 0 when it
  // reports no problem, otherwise the problem's number.
  virtual std::optional<int> DeviceNodeProblem(BluetoothAddress address) = 0;
  // Disables or enables the device's node (on BlueZ: powers the adapter it hangs under).
  virtual void SetDeviceNodeEnabled(BluetoothAddress address, bool enabled) = 0;
};

inline uint16_t BluetoothStack::ConnectionHandle(BluetoothAddress) {
  throw BluetoothError(BluetoothErrc::kFailed, 0, "this Bluetooth stack offers no HCI access");
}

inline std::vector<uint8_t> BluetoothStack::ReadRssiAnswer(uint16_t, std::chrono::milliseconds) {
  throw BluetoothError(BluetoothErrc::kFailed, 0, "this Bluetooth stack offers no HCI access");
}

// "AA:BB:CC:DD:EE:FF": upper case, most significant first, with the given separator.
std::string BluetoothAddressText(BluetoothAddress address, char separator = ':');
// Exactly 17 characters of that form (either case, ':' between); empty otherwise.
std::optional<BluetoothAddress> ParseBluetoothAddressText(std::string_view text);

// A stack that can be stopped: after Stop it has no radio, opens no link, and every link it
// opened has its waits ended (Abort), so no caller stays blocked on a phone while the engine
// stops. Until then it passes every call to the stack it wraps. Thread-safe.
class StoppableBluetoothStack : public BluetoothStack {
 public:
  // Idempotent; never blocks on a link.
  virtual void Stop() noexcept = 0;
};
std::shared_ptr<StoppableBluetoothStack> MakeStoppable(std::shared_ptr<BluetoothStack> stack);

// The operating system's stack (BlueZ on Linux). Never throws: without Bluetooth in the kernel
// it is a stack with no radio, and KernelHasBluetooth says so.
std::shared_ptr<BluetoothStack> SystemBluetoothStack();
// Whether the kernel offers Bluetooth sockets at all.
bool KernelHasBluetooth();

}  // namespace platform
