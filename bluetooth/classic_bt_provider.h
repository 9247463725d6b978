#pragma once

// The classic Bluetooth provider (provider type 1): paired phones over RFCOMM streams on the
// platform's Bluetooth facility. Owned by the provider factory, shared with the device objects.
//
// Thread-safe. One mutex serialises Connect, Disconnect, Send, Receive, Setup and InquiryDevice;
// a Receive holds it for as long as it waits. ScanDevices, ValidateDevices, GetDeviceRssi and
// IsRSSISupported run without it. Every operation throws only the BluetoothProvider family of
// bluetooth/bt_provider.h, std::out_of_range for a Send on an unknown handle, and
// std::invalid_argument("Invalid address") for a malformed address text.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bluetooth/bt_provider.h"
#include "bluetooth/classic_bluetooth.h"
#include "bluetooth/rssi_finder.h"
#include "common/mutex.h"
#include "platform/bluetooth.h"

namespace mfab {

class ClassicBTProvider : public IBTProvider {
 public:
  using Options = ClassicBluetoothProvider::ClassicProviderOptions;

  explicit ClassicBTProvider(std::shared_ptr<platform::BluetoothStack> stack, Options options = {});
  ~ClassicBTProvider() override;
  ClassicBTProvider(const ClassicBTProvider&) = delete;
  ClassicBTProvider& operator=(const ClassicBTProvider&) = delete;

  std::vector<BluetoothDevice> ScanDevices(uint32_t value) override;
  void ValidateDevices(std::vector<BluetoothDevice>& devices) override;
  // Waits for a radio (radioChecks × radioCheckInterval), then returns the address's connection
  // handle, opening the connection when there is none. DeviceNotPairedException before any
  // socket for a device that is not paired; RadioNotAvailableException when no radio came or
  // the stack stayed not ready through every retry; ProviderGeneralException (code) otherwise.
  uint32_t Connect(const BluetoothDevice& device, const std::string& serviceClassId) override;
  void Disconnect(uint32_t handle) override;
  void Send(uint32_t handle, const Bytes& message) override;
  // Waits up to timeoutMs, then reads one message of at most 1011 bytes. ProviderTimeoutPassed
  // when nothing came; ProviderGeneralException when the link failed or the phone closed it.
  void Receive(uint32_t handle, uint32_t timeoutMs, Bytes& reply) override;
  bool IsRSSISupported() override;
  // The RSSI of the open link to the device, through the host RSSI finder: a std::runtime_error
  // when there is no link or radio, RssiFinderExceptions when the radio's answer is unusable.
  int16_t GetDeviceRssi(const BluetoothDevice& device, bool flag) override;
  void Setup() override;
  void TearDown() override;
  void Reset() override;
  void OnSessionUnlock() override {}
  void OnSessionLock() override {}
  void OnUserDataUpdated() override {}
  void OnUserDataCleared() override {}

  // The device is paired (else DeviceNotPairedException) and answers a service lookup.
  bool InquiryDevice(const BluetoothDevice& device);
  // One look for a radio, no waiting.
  bool IsRadioPresent();

  // Powers the device's node off and on when the system reports a problem with it. Never throws.
  void TryRepairYellowBangDevice(uint64_t address);

 private:
  // Logs and swallows a failure: there may be no radio yet.
  void SetupRssiFinder();

  const std::shared_ptr<platform::BluetoothStack> stack;
  const Options options;
  ClassicBluetoothProvider::BluetoothRadioManager radios;
  ClassicBluetoothProvider::BluetoothScanner scanner;
  keystone::Mutex mutex;  // Serialises the operations named above.
  const std::shared_ptr<ClassicBluetoothProvider::TransportManager> transport;
  const std::shared_ptr<HostRssiFinder> rssiFinder;
};

}  // namespace mfab
