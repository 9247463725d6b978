#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "bluetooth/bt_device_ble.h"
#include "common/mutex.h"

namespace mfab {

// A phone on the older OS generations, over either transport (the id's device type is its
// provider type). An activity monitor drops the connection after legacyInactivity without a
// message exchange. Thread-safe; the destructor drops the connection and joins the monitor.
class LegacyBtDevice final : public ConnectTaskBtDevice {
 public:
  LegacyBtDevice(const BtDeviceContext& context, std::string address, Bytes deviceId);
  ~LegacyBtDevice() override;

  void ConnectOnResume() override { Connect(); }
  // Drops the connection and waits for the activity monitor to end.
  void Disconnect() override;
  void DisconnectOnSleep() override { Disconnect(); }
  bool EstablishConnection() override;

 private:
  void OnConnected() override;
  void OnActivity() override;
  void MonitorDeviceActivity();
  void StopActivityMonitor();

  std::mutex monitorControl;    // Serializes starting and joining the monitor.
  std::jthread activityThread;  // Guarded by monitorControl.

  keystone::Mutex activityMutex;  // Guards the members below.
  bool activitySeen GUARDED_BY(activityMutex) = false;
  bool stopActivity GUARDED_BY(activityMutex) = false;
  std::condition_variable activity;
};

}  // namespace mfab
