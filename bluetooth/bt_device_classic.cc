#include "bluetooth/bt_device_classic.h"

#include <stdexcept>
#include <system_error>
#include <utility>

#include "bluetooth/bluetooth_exceptions.h"
#include "log/logger.h"

namespace mfab {
namespace {

AuthenticateLogger& Log() { return AuthenticateLoggerService::Instance(); }

using BluetoothProvider::ProviderCode;

}  // namespace

ClassicBtDevice::ClassicBtDevice(const BtDeviceContext& context, std::string deviceAddress,
                                 Bytes id)
    : BtDevice(context, std::move(deviceAddress), std::move(id), kClassicProviderType) {}

ClassicBtDevice::~ClassicBtDevice() {
  try {
    StopMonitor();
  } catch (const std::exception& e) {
    KS_LOG(Log(), kLogWarning, "BT-FLOW", "Failed to disconnect device (%s)", e.what());
  }
}

void ClassicBtDevice::StartMonitor() {
  std::lock_guard control(monitorControl);
  if (monitorRunning.load()) {
    KS_LOG(Log(), kLogInfo, "BT-START", "######  Monitor is already running");
    return;
  }
  // The previous monitor has ended; its thread only needs joining.
  if (monitorThread.joinable()) monitorThread.join();
  stopMonitor = false;
  {
    keystone::MutexLock lock(monitorMutex);
    triggered = false;
    monitorRunning = true;
  }
  try {
    monitorThread = std::jthread([this] { Monitor(); });
  } catch (const std::system_error&) {
    {
      keystone::MutexLock lock(monitorMutex);
      monitorRunning = false;
    }
    statusChanged.notify_all();
    throw;
  }
  KS_LOG(Log(), kLogInfo, "BT-START", "######  StartMonitor");
  KS_LOG(Log(), kLogInfo, "BT-START", "######  StartMonitor End");
}

void ClassicBtDevice::StopMonitor() {
  KS_LOG(Log(), kLogInfo, "BT-FLOW", "StopMonitor");
  {
    std::lock_guard control(monitorControl);
    stopMonitor = true;
    TriggerCheckConnectionStatus();
    if (monitorThread.joinable()) monitorThread.join();
  }
  if (connected.load()) {
    KS_LOG(Log(), kLogInfo, "BT-FLOW", "Device is connected. Trying to disconnect it");
    Disconnect();
  }
}

void ClassicBtDevice::TriggerCheckConnectionStatus() {
  {
    keystone::MutexLock lock(monitorMutex);
    triggered = true;
  }
  monitorWake.notify_all();
}

void ClassicBtDevice::NotifyStatus() {
  { keystone::MutexLock lock(monitorMutex); }
  statusChanged.notify_all();
}

void ClassicBtDevice::MonitorWait(std::chrono::milliseconds period, bool wakeOnTrigger) {
  keystone::MutexLock lock(monitorMutex);
  monitorWake.wait_for(lock.Native(), period, [&]() REQUIRES(monitorMutex) {
    return stopMonitor.load() || (wakeOnTrigger && triggered);
  });
  triggered = false;
}

void ClassicBtDevice::Monitor() {
  KS_LOG(Log(), kLogInfo, "BT-START", "######  Monitor");
  failures = 0;
  while (!stopMonitor.load() && failures < options.monitorMaxFailures) {
    if (!connected.load()) {
      KS_LOG(Log(), kLogInfo, "BT-FLOW", "######  Monitor: Trying to connect");
      try {
        DoConnect();
        // Once a connection existed, a single later failure ends the monitor.
        failures = static_cast<uint8_t>(options.monitorMaxFailures - 1);
      } catch (...) {
        KS_LOG(Log(), kLogWarning, "BT-FLOW", "######  Monitor: Failed to connect");
        ++failures;
        MonitorWait(options.monitorFailurePause, false);
      }
      continue;
    }
    KS_LOG(Log(), kLogInfo, "BT-FLOW", "######  Monitor: device is connected");
    KS_LOG(Log(), kLogInfo, "BT-FLOW", "###### Verify connection");
    bool verified = false;
    std::shared_ptr<IBTProvider> provider;
    try {
      provider = Provider();
      provider->GetDeviceRssi(AsProviderDevice(), true);
      verified = true;
    } catch (...) {
      KS_LOG(Log(), kLogWarning, "BT-FLOW", "######  Verify connection failed");
    }
    if (verified) {
      MonitorWait(options.monitorCheckPeriod, true);
      continue;
    }
    try {
      if (provider) provider->Disconnect(connectionHandle.load());
    } catch (...) {
      // The connection is gone either way.
    }
    ++failures;
    connected = false;
    NotifyStatus();
    MonitorWait(options.monitorFailurePause, false);
  }
  KS_LOG(Log(), kLogInfo, "BT-START", "######  Exit Monitor");
  {
    keystone::MutexLock lock(monitorMutex);
    monitorRunning = false;
  }
  statusChanged.notify_all();
}

void ClassicBtDevice::DoConnect() {
  KS_LOG(Log(), kLogInfo, "BT-FLOW", "######  DoConnect");
  ConnectionLock lock = TryToAcquireConnectionMutex();
  const std::shared_ptr<IBTProvider> provider = Provider();
  try {
    const BluetoothDevice device = AsProviderDevice();
    connectionHandle = provider->Connect(device, kPhoneServiceClassId);
    provider->GetDeviceRssi(device, true);
    connected = true;
    KS_LOG(Log(), kLogInfo, "BT-FLOW", "###### Device connected");
  } catch (const BluetoothProvider::BluetoothProviderException& e) {
    KS_LOG(Log(), kLogWarning, "BT-FLOW", "###### BluetoothException %#X", ProviderCode(e));
    connected = false;
    NotifyStatus();
    throw BluetoothProvider::ProviderGeneralException(ProviderCode(e), e.what());
  } catch (...) {
    KS_LOG(Log(), kLogWarning, "BT-FLOW", "###### Unknown exception");
    connected = false;
    NotifyStatus();
    throw std::runtime_error("Unknown exception");
  }
  NotifyStatus();
}

bool ClassicBtDevice::ConnectionAvilable(int polls) {
  // Connected already (every message but the first): the wait below would return at once.
  if (!connected.load()) {
    keystone::MutexLock lock(monitorMutex);
    statusChanged.wait_for(lock.Native(), options.connectPoll * polls,
                           [&] { return !monitorRunning.load() || connected.load(); });
  }
  if (!monitorRunning.load() && !connected.load()) {
    KS_LOG(Log(), kLogInfo, "BT-FLOW",
           "######  ClassicBtDevice::ConnectionAvilable, IsMonitorRunning:  false");
    return false;
  }
  if (connected.load()) {
    KS_LOG(Log(), kLogInfo, "BT-FLOW", "######  ClassicBtDevice::ConnectionAvilable:  true");
    return true;
  }
  KS_LOG(Log(), kLogInfo, "BT-FLOW", "######  ClassicBtDevice::ConnectionAvilable:  false");
  return false;
}

void ClassicBtDevice::Connect() {
  int polls = options.pollsWhenMonitorRuns;
  if (!IsMonitorRunning()) {
    StartMonitor();
    polls = options.pollsWhenMonitorStarts;
  }
  if (!ConnectionAvilable(polls)) throw BluetoothExceptions::NotResponsiveException();
}

void ClassicBtDevice::Disconnect() {
  ConnectionLock lock = TryToAcquireConnectionMutex();
  if (!connected.load()) {
    KS_LOG(Log(), kLogInfo, "BT-FLOW", "Device is not connected");
    return;
  }
  Provider()->Disconnect(connectionHandle.load());
  connected = false;
  NotifyStatus();
  TriggerCheckConnectionStatus();
}

Bytes ClassicBtDevice::SendAndReceive(const Bytes& message, bool isInteractive) {
  if (outOfRange.load()) {
    KS_LOG(Log(), kLogInfo, "BT-FLOW", "Device is out of range. Returning an empty response");
    return {};
  }
  Connect();
  try {
    return SendAndReciveMessage(message, isInteractive);
  } catch (const BluetoothProvider::ProviderTimeoutPassed& e) {
    KS_LOG(Log(), kLogWarning, "BT-FLOW", "BluetoothException: %#X", ProviderCode(e));
    KS_LOG(Log(), kLogInfo, "BT-FLOW", "RETRY...");
    if (isInteractive) return {};
    KS_LOG(Log(), kLogWarning, "BT-FLOW", "Failed disconnecting active device with %#X.",
           ProviderCode(e));
  } catch (const BluetoothProvider::BluetoothProviderException& e) {
    KS_LOG(Log(), kLogWarning, "BT-FLOW", "BluetoothException: %#X", ProviderCode(e));
    // The failed exchange dropped the connection; the monitor makes a new one.
    Connect();
    return SendAndReciveMessage(message, isInteractive);
  }
  Connect();
  return SendAndReciveMessage(message, false);
}

int16_t ClassicBtDevice::GetRSSI(bool flag) {
  Connect();
  KS_LOG(Log(), kLogInfo, "BT-FLOW", "Before GetRssi attempt");
  int16_t rssi = 0;
  try {
    rssi = Provider()->GetDeviceRssi(AsProviderDevice(), flag);
  } catch (const std::exception& e) {
    DisconnectFromActiveDevice();
    throw std::runtime_error(e.what());
  }
  KS_LOG(Log(), kLogInfo, "BT-FLOW", "After GetRssi attempt");
  proximity.addRssi(rssi);
  KS_LOG(Log(), kLogInfo, "BT-FLOW", "BtManager::GetRSSI %d ", rssi);
  return rssi;
}

bool ClassicBtDevice::EstablishConnection() { return Reestablish(true); }

}  // namespace mfab
