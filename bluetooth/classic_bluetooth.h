#pragma once

// The classic provider's lower layers over the platform's Bluetooth facility: the radio check,
// one device's record and service lookup, an RFCOMM socket, the table of open connections and
// the scanner. Each throws the provider's own exceptions (classic_bt_exceptions.h); the provider
// translates them at its boundary.

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "bluetooth/bt_provider.h"
#include "common/mutex.h"
#include "platform/bluetooth.h"

namespace ClassicBluetoothProvider {

// The provider's time limits and retry counts; tests shrink them.
struct ClassicProviderOptions {
  // Radio wait before a connect: this many checks, this far apart.
  int radioChecks = 18;
  std::chrono::milliseconds radioCheckInterval{100};
  // Connect attempts after the stack said it was not ready, and the pause before each.
  int plugAndPlayRetries = 25;
  std::chrono::milliseconds plugAndPlayRetryInterval{100};
  // How long one RFCOMM connect may take (the system's own page time-out is of this order).
  std::chrono::milliseconds connectLimit{10000};
  // How long a send may wait for the link to take the bytes.
  std::chrono::milliseconds sendLimit{10000};
  // Inquiry length in units of 1.28 s.
  uint8_t inquiryLength = 3;
};

// A message is one read of at most this many bytes; there is no length prefix.
inline constexpr size_t kReceiveBufferSize = 1011;

// The Windows-style code a platform failure is reported with (docs/bluetooth.md): 10048 address
// in use, 10060 timed out, 10022 not ready, 10050 no radio, 10054 closed, 10057 not connected,
// 1168 device unknown; otherwise the system's own number, or 18.
uint32_t ErrorCode(const platform::BluetoothError& error);

// Whether a service record is the phone application's: its name or its service class.
bool IsPhoneService(const platform::BluetoothServiceRecord& record,
                    const std::string& serviceClassId);

class BluetoothRadioManager {
 public:
  BluetoothRadioManager(platform::BluetoothStack& stack, const ClassicProviderOptions& options);

  // The radios present now (logged); empty when there is none or they cannot be listed.
  std::vector<platform::BluetoothRadio> GetBluetoothRadios();
  bool IsRadioPresent() { return !GetBluetoothRadios().empty(); }
  // Checks up to radioChecks times, radioCheckInterval apart; throws
  // BluetoothProvider::RadioNotAvailableException when no check found one.
  void WaitForRadioAvailable();

 private:
  platform::BluetoothStack& stack;
  const ClassicProviderOptions& options;
};

// The stack's record of one device.
class BluetoothDevice {
 public:
  BluetoothDevice(platform::BluetoothStack& stack, uint64_t address);

  // Refreshes the record: MBRadioNotFoundErrorException when the stack does not know the
  // device, MBProviderGeneralException (code) for any other failure.
  void Update();
  bool IsAuthenticated() const { return info.paired; }
  const platform::BluetoothDeviceInfo& Info() const { return info; }
  uint64_t Address() const { return address; }
  std::string AddressText(bool parenthesised = false) const;

  // The phone application's RFCOMM channel; MBProviderServiceNotFoundException when the device
  // has none, MBProviderGeneralException (code) when the lookup fails.
  uint8_t LookupPhoneService(const std::string& serviceClassId);
  // Whether the device answers a service lookup at all.
  bool LookupAnyService();

 private:
  platform::BluetoothStack& stack;
  uint64_t address;
  platform::BluetoothDeviceInfo info;
};

// One RFCOMM stream to a phone. Owned by the transport's table, shared with a caller that looked
// it up; the provider's mutex keeps two callers from using it at once.
class BluetoothSocket {
 public:
  BluetoothSocket(platform::BluetoothStack& stack, const ClassicProviderOptions& options);

  // Finds the service's channel and connects (failure mapping in docs/bluetooth.md).
  void Connect(uint64_t address, const std::string& serviceClassId);
  // Sends every byte; MBProviderGeneralException on failure, MBProviderInvalidParams when the
  // socket is not open.
  void Send(const mfab::Bytes& message);
  // Waits up to timeoutMs for data, then reads one message of at most kReceiveBufferSize bytes.
  void Receive(uint32_t timeoutMs, mfab::Bytes& reply);
  void Close();

 private:
  platform::BluetoothStack& stack;
  const ClassicProviderOptions& options;
  std::unique_ptr<platform::BluetoothConnection> connection;
  uint64_t peer = 0;
};

// The open connections: one per address, each under a handle that is never 0.
class TransportManager {
 public:
  TransportManager(platform::BluetoothStack& stack, const ClassicProviderOptions& options);

  // The existing handle for the address, or a new connection's.
  uint32_t CreateConnection(uint64_t address, const std::string& serviceClassId);
  // std::out_of_range("invalid unordered_map<K, T> key") for a handle not in the table.
  std::shared_ptr<BluetoothSocket> Socket(uint32_t handle);
  // Forgets the handle and closes its socket; an unknown handle is ignored.
  void CloseConnection(uint32_t handle);

 private:
  platform::BluetoothStack& stack;
  const ClassicProviderOptions& options;
  keystone::Mutex mutex;  // Guards the members below.
  std::map<uint64_t, uint32_t> handles GUARDED_BY(mutex);
  std::unordered_map<uint32_t, std::shared_ptr<BluetoothSocket>> sockets GUARDED_BY(mutex);
  uint32_t lastHandle GUARDED_BY(mutex) = 0;
};

class BluetoothScanner {
 public:
  BluetoothScanner(platform::BluetoothStack& stack, const ClassicProviderOptions& options);

  // Inquiry plus the paired and remembered devices, one entry per address.
  std::vector<mfab::BluetoothDevice> Scan();

 private:
  std::vector<platform::BluetoothDeviceInfo> InquiryDevices();
  std::vector<platform::BluetoothDeviceInfo> GetCachedDevices();

  platform::BluetoothStack& stack;
  const ClassicProviderOptions& options;
};

}  // namespace ClassicBluetoothProvider
