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
  // The state of the system's node for the device: empty when there is no node, 0 when it
  // reports no problem, otherwise the problem's number.
  virtual std::optional<int> DeviceNodeProblem(BluetoothAddress address) = 0;
  // Disables or enables the device's node (on BlueZ: powers the adapter it hangs under).
  virtual void SetDeviceNodeEnabled(BluetoothAddress address, bool enabled) = 0;
};

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
