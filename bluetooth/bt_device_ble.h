#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "bluetooth/bt_device.h"

namespace mfab {

// The devices that connect on demand: the provider's Connect runs as a task awaited for a fixed
// time (a late one ends in the background and its connection is dropped), and the connection
// mutex is held for the whole of a message exchange or RSSI read.
class ConnectTaskBtDevice : public BtDevice {
 public:
  // NotResponsiveException when the task did not connect within its wait.
  void Connect() override;
  Bytes SendAndReceive(const Bytes& message, bool isInteractive) override;
  int16_t GetRSSI(bool flag) override;

 protected:
  ConnectTaskBtDevice(const BtDeviceContext& context, std::string address, Bytes deviceId,
                      uint32_t providerType, std::chrono::milliseconds connectWait);

  // Called with the connection mutex held after a connection was made.
  virtual void OnConnected() {}
  // Called after each message exchange.
  virtual void OnActivity() {}
  // Closes the provider connection when there is one; the connection mutex must be held.
  void CloseConnectionLocked();
  // The destructors' disconnect, logged; never throws.
  void CloseOnDestruction() noexcept;

 private:
  Bytes RetryToSendMessageToDevice(const Bytes& message, bool isInteractive);
  Bytes Exchange(const Bytes& message, bool isInteractive);

  const std::chrono::milliseconds connectWait;
};

// A phone over Bluetooth Low Energy, through the provider factory's BLE provider. Sleep and
// resume leave it alone. Thread-safe; the destructor drops the connection.
class BLEDevice final : public ConnectTaskBtDevice {
 public:
  BLEDevice(const BtDeviceContext& context, std::string address, Bytes deviceId);
  ~BLEDevice() override;

  void ConnectOnResume() override {}
  void Disconnect() override;
  void DisconnectOnSleep() override {}
  bool EstablishConnection() override;
};

}  // namespace mfab
