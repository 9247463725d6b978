#include "bluetooth/bt_device_legacy.h"

#include <chrono>
#include <utility>

#include "log/logger.h"

namespace mfab {
namespace {

AuthenticateLogger& Log() { return AuthenticateLoggerService::Instance(); }

// How often the activity monitor, waiting for the connection mutex, looks for a stop.
constexpr std::chrono::milliseconds kStopCheck{20};

// The id's device type (bytes 6 and 7, little-endian) is the provider type.
uint32_t ProviderTypeOf(const Bytes& id) {
  return id.size() == 8 ? static_cast<uint32_t>(id[6] | (id[7] << 8)) : kClassicProviderType;
}

}  // namespace

LegacyBtDevice::LegacyBtDevice(const BtDeviceContext& context, std::string deviceAddress, Bytes id)
    : ConnectTaskBtDevice(context, std::move(deviceAddress), id, ProviderTypeOf(id),
                          context.options.legacyConnectWait) {}

LegacyBtDevice::~LegacyBtDevice() {
  CloseOnDestruction();
  StopActivityMonitor();
}

void LegacyBtDevice::Disconnect() {
  {
    ConnectionLock lock = TryToAcquireConnectionMutex();
    CloseConnectionLocked();
  }
  KS_LOG(Log(), kLogInfo, "BT-FLOW", "Waiting for monitor to stop");
  StopActivityMonitor();
}

bool LegacyBtDevice::EstablishConnection() {
  ConnectionLock lock = TryToAcquireConnectionMutex();
  return Reestablish(true);
}

void LegacyBtDevice::OnConnected() {
  KS_LOG(Log(), kLogInfo, "BT-FLOW", "Starting to monitor device activity");
  StopActivityMonitor();
  std::lock_guard control(monitorControl);
  {
    keystone::MutexLock lock(activityMutex);
    stopActivity = false;
    activitySeen = false;
  }
  activityThread = std::jthread([this] { MonitorDeviceActivity(); });
}

void LegacyBtDevice::OnActivity() {
  {
    keystone::MutexLock lock(activityMutex);
    activitySeen = true;
  }
  activity.notify_all();
}

void LegacyBtDevice::StopActivityMonitor() {
  std::lock_guard control(monitorControl);
  {
    keystone::MutexLock lock(activityMutex);
    stopActivity = true;
  }
  activity.notify_all();
  if (activityThread.joinable()) activityThread.join();
}

void LegacyBtDevice::MonitorDeviceActivity() {
  for (;;) {
    {
      keystone::MutexLock lock(activityMutex);
      const bool woken = activity.wait_for(
          lock.Native(), options.legacyInactivity,
          [this]() REQUIRES(activityMutex) { return stopActivity || activitySeen; });
      if (stopActivity) return;
      if (woken) {
        activitySeen = false;
        KS_LOG(Log(), kLogInfo, "BT-FLOW",
               "BtDevice::MonitorDeviceActivity Bluetooth device activity discovered");
        continue;
      }
    }
    KS_LOG(Log(), kLogInfo, "BT-FLOW",
           "BtDevice::MonitorDeviceActivity timeout (Bluetooth device wasn't active for "
           "BLUETOOTH_DEVICE_CONNECTION_ACTIVITY_TIMEOUT seconds)");
    break;
  }
  // Disconnect without waiting for this monitor; whoever stops it may hold the connection
  // mutex, so the wait for it gives way to a stop.
  const auto deadline = std::chrono::steady_clock::now() + options.connectionMutexWait;
  ConnectionLock lock(connectionMutex, std::defer_lock);
  while (!lock.try_lock_for(kStopCheck)) {
    keystone::MutexLock check(activityMutex);
    if (stopActivity || std::chrono::steady_clock::now() >= deadline) return;
  }
  try {
    CloseConnectionLocked();
  } catch (const std::exception& e) {
    KS_LOG(Log(), kLogWarning, "BT-FLOW", "Failed to disconnect device (%s)", e.what());
  }
}

}  // namespace mfab
