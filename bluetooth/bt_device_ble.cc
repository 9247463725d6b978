#include "bluetooth/bt_device_ble.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <utility>

#include "bluetooth/bluetooth_exceptions.h"
#include "log/logger.h"

namespace mfab {
namespace {

AuthenticateLogger& Log() { return AuthenticateLoggerService::Instance(); }

using BluetoothProvider::ProviderCode;

// The outcome of one connect task, shared by the task and its waiter.
struct ConnectOutcome {
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  bool abandoned = false;  // the waiter gave up; a late connection is dropped
  bool success = false;
  uint32_t handle = 0;
};

}  // namespace

ConnectTaskBtDevice::ConnectTaskBtDevice(const BtDeviceContext& context, std::string deviceAddress,
                                         Bytes id, uint32_t type, std::chrono::milliseconds wait)
    : BtDevice(context, std::move(deviceAddress), std::move(id), type), connectWait(wait) {}

void ConnectTaskBtDevice::Connect() {
  ConnectionLock lock = TryToAcquireConnectionMutex();
  const std::shared_ptr<IBTProvider> provider = Provider();
  auto outcome = std::make_shared<ConnectOutcome>();
  const BluetoothDevice device = AsProviderDevice();
  // The task holds only what it shares with the waiter, so it may outlive this device.
  const bool started = pendingTasks.Launch([provider, device, outcome](std::stop_token) {
    bool success = false;
    uint32_t handle = 0;
    try {
      handle = provider->Connect(device, kPhoneServiceClassId);
      success = true;
    } catch (const BluetoothProvider::BluetoothProviderException& e) {
      KS_LOG(Log(), kLogWarning, "BT-FLOW", "BluetoothException %#X", ProviderCode(e));
    } catch (...) {
      KS_LOG(Log(), kLogWarning, "BT-FLOW", "Unknown exception");
    }
    bool abandoned = false;
    {
      std::lock_guard guard(outcome->mutex);
      outcome->done = true;
      outcome->success = success;
      outcome->handle = handle;
      abandoned = outcome->abandoned;
    }
    outcome->finished.notify_all();
    if (abandoned && success) {
      try {
        provider->Disconnect(handle);
      } catch (...) {
        // Nobody holds the connection; the provider forgets it with the link.
      }
    }
  });
  if (!started) throw BluetoothExceptions::NotResponsiveException();
  KS_LOG(Log(), kLogInfo, "BT-FLOW", "Waiting for connect thread to finish");
  bool success = false;
  uint32_t handle = 0;
  {
    std::unique_lock wait(outcome->mutex);
    if (!outcome->finished.wait_for(wait, connectWait, [&] { return outcome->done; })) {
      outcome->abandoned = true;
      wait.unlock();
      KS_LOG(Log(), kLogWarning, "BT-FLOW", "Connect thread has timed out");
      throw BluetoothExceptions::NotResponsiveException();
    }
    success = outcome->success;
    handle = outcome->handle;
  }
  KS_LOG(Log(), kLogInfo, "BT-FLOW", "Connect thread finished");
  if (!success) {
    KS_LOG(Log(), kLogWarning, "BT-FLOW", "Connection attempt has failed");
    throw BluetoothExceptions::NotResponsiveException();
  }
  KS_LOG(Log(), kLogInfo, "BT-FLOW", "Connect attempt succeeded");
  connectionHandle = handle;
  connected = true;
  OnConnected();
}

void ConnectTaskBtDevice::CloseConnectionLocked() {
  if (!connected.load()) {
    KS_LOG(Log(), kLogInfo, "BT-FLOW", "Device is not connected");
    return;
  }
  Provider()->Disconnect(connectionHandle.load());
  connected = false;
}

void ConnectTaskBtDevice::CloseOnDestruction() noexcept {
  if (!connected.load()) return;
  KS_LOG(Log(), kLogInfo, "BT-FLOW", "Device is connected. Trying to disconnect it");
  try {
    Disconnect();
    KS_LOG(Log(), kLogInfo, "BT-FLOW", "Successfully disconnected device");
  } catch (const BluetoothProvider::BluetoothProviderException& e) {
    KS_LOG(Log(), kLogWarning, "BT-FLOW", "Failed to disconnect device (%#X)", ProviderCode(e));
  } catch (...) {
    KS_LOG(Log(), kLogWarning, "BT-FLOW", "Failed to disconnect device (Unknown error)");
  }
}

Bytes ConnectTaskBtDevice::Exchange(const Bytes& message, bool isInteractive) {
  Bytes reply = SendAndReciveMessage(message, isInteractive);
  OnActivity();
  KS_LOG(Log(), kLogInfo, "BT-END", "SendMessageToBtDevice end");
  return reply;
}

Bytes ConnectTaskBtDevice::SendAndReceive(const Bytes& message, bool isInteractive) {
  ConnectionLock lock = TryToAcquireConnectionMutex();
  if (outOfRange.load()) {
    KS_LOG(Log(), kLogInfo, "BT-FLOW", "Device is out of range. Returning an empty response");
    return {};
  }
  KS_LOG(Log(), kLogInfo, "BT-FLOW", "Verifying that there's an open connection");
  if (!connected.load()) {
    KS_LOG(Log(), kLogInfo, "BT-FLOW", "Device is not connected. Trying to connect");
    try {
      Connect();
    } catch (const BluetoothProvider::BluetoothProviderException& e) {
      KS_LOG(Log(), kLogError, "BT-FLOW", "Failed connecting to device with: %#X", ProviderCode(e));
      throw BluetoothExceptions::NotResponsiveException();
    } catch (const std::exception&) {
      KS_LOG(Log(), kLogError, "BT-FLOW", "Failed connecting to device with: %#X", 0u);
      throw BluetoothExceptions::NotResponsiveException();
    }
    KS_LOG(Log(), kLogInfo, "BT-FLOW", "Successfully connected to device");
  }
  try {
    return Exchange(message, isInteractive);
  } catch (const BluetoothProvider::ProviderTimeoutPassed& e) {
    KS_LOG(Log(), kLogWarning, "BT-FLOW", "BluetoothException: %#X", ProviderCode(e));
    KS_LOG(Log(), kLogInfo, "BT-FLOW", "RETRY...");
    if (isInteractive) {
      DisconnectFromActiveDevice();
      return {};
    }
  } catch (const BluetoothProvider::BluetoothProviderException& e) {
    KS_LOG(Log(), kLogWarning, "BT-FLOW", "BluetoothException: %#X", ProviderCode(e));
  }
  return RetryToSendMessageToDevice(message, isInteractive);
}

Bytes ConnectTaskBtDevice::RetryToSendMessageToDevice(const Bytes& message, bool isInteractive) {
  KS_LOG(Log(), kLogInfo, "BT-FLOW", "RETRY...");
  try {
    // The failed exchange dropped the connection (or left it unusable).
    if (connected.load()) CloseConnectionLocked();
    KS_LOG(Log(), kLogInfo, "BT-FLOW", "Trying to connect to the device");
    Connect();
    return Exchange(message, isInteractive);
  } catch (const BluetoothProvider::BluetoothProviderException&) {
    DisconnectFromActiveDevice();
    throw BluetoothExceptions::NotResponsiveException();
  }
}

int16_t ConnectTaskBtDevice::GetRSSI(bool flag) {
  ConnectionLock lock = TryToAcquireConnectionMutex();
  // A classic phone on the older generations needs a connection for its RSSI; a BLE one not.
  if (providerType == kClassicProviderType && !connected.load()) Connect();
  KS_LOG(Log(), kLogInfo, "BT-FLOW", "Before first GetRssi attempt");
  int16_t rssi = 0;
  try {
    rssi = Provider()->GetDeviceRssi(AsProviderDevice(), flag);
  } catch (const std::exception&) {
    KS_LOG(Log(), kLogWarning, "BT-FLOW",
           "First GetRssi attempt failed. Trying to disconnect the device");
    Disconnect();
    KS_LOG(Log(), kLogInfo, "BT-FLOW", "Disconnect succeeded");
    KS_LOG(Log(), kLogInfo, "BT-FLOW", "Trying to reconnect to device");
    Connect();
    KS_LOG(Log(), kLogInfo, "BT-FLOW", "Before second GetRssi attempt");
    rssi = Provider()->GetDeviceRssi(AsProviderDevice(), flag);
  }
  KS_LOG(Log(), kLogInfo, "BT-FLOW", "After first GetRssi attempt");
  proximity.addRssi(rssi);
  KS_LOG(Log(), kLogInfo, "BT-FLOW", "BtManager::GetRSSI %d ", rssi);
  return rssi;
}

BLEDevice::BLEDevice(const BtDeviceContext& context, std::string deviceAddress, Bytes id)
    : ConnectTaskBtDevice(context, std::move(deviceAddress), std::move(id), kBleProviderType,
                          context.options.bleConnectWait) {}

BLEDevice::~BLEDevice() { CloseOnDestruction(); }

void BLEDevice::Disconnect() {
  ConnectionLock lock = TryToAcquireConnectionMutex();
  CloseConnectionLocked();
}

bool BLEDevice::EstablishConnection() {
  ConnectionLock lock = TryToAcquireConnectionMutex();
  return Reestablish(false);
}

}  // namespace mfab
