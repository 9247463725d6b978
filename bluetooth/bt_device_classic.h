#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "bluetooth/bt_device.h"
#include "common/mutex.h"

namespace mfab {

// A phone over classic Bluetooth. A monitor thread makes the connection and checks it every
// monitorCheckPeriod by reading RSSI; Connect only waits for the monitor to report a
// connection. The monitor ends after monitorMaxFailures failed attempts in a row, or after the
// first failure once a connection existed; Connect starts a new one when needed.
//
// Thread-safe (see IBtDevice). The destructor stops and joins the monitor and drops the
// connection.
class ClassicBtDevice final : public BtDevice {
 public:
  ClassicBtDevice(const BtDeviceContext& context, std::string address, Bytes deviceId);
  ~ClassicBtDevice() override;

  // Starts the monitor unless it runs.
  void StartMonitor();
  // Stops the monitor, waits for it to end and drops the connection.
  void StopMonitor();
  bool IsMonitorRunning() const { return monitorRunning.load(); }

  // Waits up to pollsWhenMonitorStarts (or pollsWhenMonitorRuns) polls for the monitor's
  // connection; NotResponsiveException when none came.
  void Connect() override;
  void ConnectOnResume() override { StartMonitor(); }
  void Disconnect() override;
  void DisconnectOnSleep() override { StopMonitor(); }
  Bytes SendAndReceive(const Bytes& message, bool isInteractive) override;
  int16_t GetRSSI(bool flag) override;
  bool EstablishConnection() override;

 private:
  // The monitor thread's body.
  void Monitor();
  // Connects through the provider and checks the connection with one reading. Throws
  // ProviderGeneralException (the provider's code) or std::runtime_error "Unknown exception".
  void DoConnect();
  bool ConnectionAvilable(int polls);
  // Wakes the monitor from its wait.
  void TriggerCheckConnectionStatus();
  // Waits for stopMonitor (or a trigger, when wakeOnTrigger), at most period.
  void MonitorWait(std::chrono::milliseconds period, bool wakeOnTrigger);
  // Tells ConnectionAvilable that the connection or the monitor changed.
  void NotifyStatus();

  // Serializes StartMonitor and StopMonitor; never taken by the monitor itself.
  std::mutex monitorControl;
  std::jthread monitorThread;  // Guarded by monitorControl.

  keystone::Mutex monitorMutex;  // Guards the member below; the monitor waits under it.
  bool triggered GUARDED_BY(monitorMutex) = false;
  std::condition_variable monitorWake;
  // Signalled under monitorMutex when connected or monitorRunning changes.
  std::condition_variable statusChanged;
  std::atomic<bool> stopMonitor{false};
  std::atomic<bool> monitorRunning{false};
  uint8_t failures = 0;  // The monitor thread's own.
};

}  // namespace mfab
