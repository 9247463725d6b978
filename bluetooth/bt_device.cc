#include "bluetooth/bt_device.h"

#include <stdexcept>
#include <thread>
#include <utility>

#include "bluetooth/bluetooth_exceptions.h"
#include "log/logger.h"

namespace mfab {
namespace {

AuthenticateLogger& Log() { return AuthenticateLoggerService::Instance(); }

using BluetoothProvider::ProviderCode;

// CONFIRMED_IN_RANGE is IN_RANGE to everyone outside the proximity decision.
int32_t Reported(int32_t status) { return status == CONFIRMED_IN_RANGE ? IN_RANGE : status; }

}  // namespace

bool ConnectionMutex::try_lock_for(std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex);
  const std::thread::id me = std::this_thread::get_id();
  if (depth > 0 && owner == me) {
    ++depth;
    return true;
  }
  if (!released.wait_for(lock, limit, [this] { return depth == 0; })) return false;
  owner = me;
  depth = 1;
  return true;
}

void ConnectionMutex::lock() {
  while (!try_lock_for(std::chrono::hours(1))) {
  }
}

void ConnectionMutex::unlock() {
  {
    std::lock_guard lock(mutex);
    if (--depth > 0) return;
    owner = std::thread::id();
  }
  released.notify_one();
}

BtDevice::BtDevice(const BtDeviceContext& context, std::string deviceAddress, Bytes id,
                   uint32_t type)
    : options(context.options),
      factory(context.factory),
      clock(context.clock),
      pendingTasks(context.pendingTasks),
      providerType(type),
      address(std::move(deviceAddress)),
      deviceId(std::move(id)),
      proximity(context.clock, context.options.proximity) {}

BtDevice::ConnectionLock BtDevice::TryToAcquireConnectionMutex() {
  ConnectionLock lock(connectionMutex, std::defer_lock);
  if (!lock.try_lock_for(options.connectionMutexWait)) {
    throw std::runtime_error("Wait for connection mutex has timed out");
  }
  return lock;
}

std::shared_ptr<IBTProvider> BtDevice::Provider() {
  std::shared_ptr<IBTProvider> provider = factory.GetProvider(providerType);
  if (!provider) throw BluetoothProvider::InvalidProviderTypeException();
  return provider;
}

BluetoothDevice BtDevice::AsProviderDevice() const {
  BluetoothDevice device;
  device.address = address;
  return device;
}

uint32_t BtDevice::ReplyWait(bool isInteractive) const {
  return isInteractive ? options.interactiveReplyWaitMs : options.replyWaitMs;
}

bool BtDevice::IsRSSISupported() { return Provider()->IsRSSISupported(); }

void BtDevice::ClearRSSI() {
  KS_LOG(Log(), kLogInfo, "BT-FLOW", "Clear RSSI");
  proximity.clearRssi();
}

void BtDevice::CalibrateRSSI() { proximity.calibrateRssi(GetRSSI(true)); }

Bytes BtDevice::SendAndReciveMessage(const Bytes& message, bool isInteractive) {
  const std::shared_ptr<IBTProvider> provider = Provider();
  const uint32_t handle = connectionHandle.load();
  try {
    KS_LOG(Log(), kLogInfo, "BT-FLOW", "Trying to send a message to the device");
    provider->Send(handle, message);
    const uint32_t wait = ReplyWait(isInteractive);
    KS_LOG(Log(), kLogInfo, "BT-FLOW",
           "Successfully sent a message to the device, waiting %d seconds for a response",
           static_cast<int>(wait));
    Bytes reply;
    provider->Receive(handle, wait, reply);
    KS_LOG(Log(), kLogInfo, "BT-FLOW", "Successfully got a response from the device");
    return reply;
  } catch (const BluetoothProvider::ProviderTimeoutPassed&) {
    KS_LOG(Log(), kLogInfo, "BT-FLOW", "Trying to disconnect from device");
    DisconnectFromActiveDevice();
    throw;
  } catch (const BluetoothProvider::ProviderGeneralException&) {
    KS_LOG(Log(), kLogInfo, "BT-FLOW", "Trying to disconnect from device");
    DisconnectFromActiveDevice();
    throw;
  } catch (const BluetoothProvider::RadioNotAvailableException&) {
    KS_LOG(Log(), kLogInfo, "BT-FLOW", "Trying to disconnect from device");
    DisconnectFromActiveDevice();
    throw;
  }
}

void BtDevice::DisconnectFromActiveDevice() noexcept {
  KS_LOG(Log(), kLogInfo, "BT-FLOW", "Trying to disconnect from device");
  try {
    Disconnect();
  } catch (const BluetoothProvider::BluetoothProviderException& e) {
    KS_LOG(Log(), kLogWarning, "BT-FLOW", "Failed disconnecting active device with %#X.",
           ProviderCode(e));
  } catch (...) {
    KS_LOG(Log(), kLogWarning, "BT-FLOW", "Failed disconnecting active device");
  }
}

bool BtDevice::Reestablish(bool disconnectFirst) {
  bool result = true;
  if (disconnectFirst) {
    KS_LOG(Log(), kLogInfo, "BT-FLOW", "Trying to disconnect from the device");
    try {
      Disconnect();
      KS_LOG(Log(), kLogInfo, "BT-FLOW", "Successfully disconnected from device");
    } catch (const BluetoothProvider::BluetoothProviderException& e) {
      KS_LOG(Log(), kLogWarning, "BT-FLOW", "Failed disconnecting from the device with: %#X",
             ProviderCode(e));
      result = false;
    } catch (...) {
      KS_LOG(Log(), kLogWarning, "BT-FLOW", "Failed disconnecting from the device");
      result = false;
    }
  }
  KS_LOG(Log(), kLogInfo, "BT-FLOW", "Trying to connect to the device");
  try {
    Connect();
  } catch (...) {
    KS_LOG(Log(), kLogWarning, "BT-FLOW",
           "Failed connecting to device on first attempt- Unknown error");
    try {
      Connect();
    } catch (const BluetoothProvider::BluetoothProviderException& e) {
      KS_LOG(Log(), kLogError, "BT-FLOW", "Failed connecting to device with: %#X", ProviderCode(e));
      return false;
    } catch (...) {
      KS_LOG(Log(), kLogError, "BT-FLOW", "Failed connecting to device - Unknown error");
      return false;
    }
  }
  KS_LOG(Log(), kLogInfo, "BT-FLOW", "Successfully connected to the device");
  return result;
}

int32_t BtDevice::GetState(bool continuousCheck) {
  // A BLE phone asked without continuous checking answers from what is known, except through
  // the older bridge, whose readings come slowly enough to wait for.
  const bool mayWait =
      !(providerType == kBleProviderType && !continuousCheck && !factory.LegacyBleLoaded());
  int32_t status = Reported(proximity.state());
  for (int reading = 0;
       status == NEED_MORE_RSSI_MEASUREMENTS && reading < options.maxReadingsPerState; ++reading) {
    KS_LOG(Log(), kLogInfo, "BT-FLOW",
           "Device's proximity status is NEED_MORE_RSSI_MEASUREMENTS (Iteration %d)", reading);
    const int16_t rssi = GetRSSI(continuousCheck);
    KS_LOG(Log(), kLogInfo, "BT-FLOW", "GetRSSI value is %d ", rssi);
    status = Reported(proximity.state());
    if (mayWait && status == NEED_MORE_RSSI_MEASUREMENTS) {
      if (!continuousCheck && proximity.isBestRSSIValueInRange()) {
        KS_LOG(Log(), kLogInfo, "BT-FLOW",
               "Device's proximity status is NEED_MORE_RSSI_MEASUREMENTS \t\t\t\t\t\tbut "
               "!continuousCheck  && best RSSI value is valid , So reporting IN_RANGE");
        outOfRange = false;
        return IN_RANGE;
      }
      std::this_thread::sleep_for(options.readingPause);
    }
  }
  outOfRange = status == OUT_OF_RANGE;
  switch (status) {
    case IN_RANGE:
      KS_LOG(Log(), kLogInfo, "BT-FLOW", "Proximity status is IN_RANGE");
      return status;
    case OUT_OF_RANGE:
      KS_LOG(Log(), kLogInfo, "BT-FLOW", "Proximity status is OUT_OF_RANGE");
      return status;
    case NEED_MORE_DATA:
      KS_LOG(Log(), kLogInfo, "BT-FLOW", "Proximity status is NEED_MORE_DATA");
      return status;
    default:
      KS_LOG(Log(), kLogError, "BT-FLOW", "Proximity status is NEED_MORE_RSSI_MEASUREMENTS");
      throw BluetoothExceptions::InternalErrorException();
  }
}

void BtDevice::UpdateProximityState(int32_t status) {
  if (status == IN_RANGE) {
    if (!proximity.SettleNeedMoreData(CONFIRMED_IN_RANGE)) return;
    try {
      proximity.calibrateRssi(Provider()->GetDeviceRssi(AsProviderDevice(), true));
    } catch (...) {
      KS_LOG(Log(), kLogWarning, "BT-FLOW",
             "UpdateProximityState MfaProximityStatus::IN_RANGE GetRssi attempt failed.");
    }
  } else if (status == OUT_OF_RANGE) {
    proximity.SettleNeedMoreData(OUT_OF_RANGE);
  }
}

}  // namespace mfab
