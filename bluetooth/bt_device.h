#pragma once

// A paired phone, named by its 8-byte device id: opens and keeps its connection through a
// provider, carries the applet's message to the phone and its reply back, and turns RSSI
// readings into the proximity status clients read. ClassicBtDevice (classic Bluetooth, with a
// connection monitor), BLEDevice and LegacyBtDevice (older OS generations, with an activity
// monitor) implement it; the Bluetooth manager picks one per id and owns it.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "bluetooth/bt_provider.h"
#include "bluetooth/proximity.h"
#include "common/task_group.h"
#include "platform/clock.h"
#include "tlv/tlv.h"

namespace mfab {

// Every device call may throw the provider's BluetoothProvider exceptions, the
// BluetoothExceptions named below, or std::runtime_error "Wait for connection mutex has timed
// out". Thread-safe: client threads, the monitors and the connect tasks use a device at once.
class IBtDevice {
 public:
  virtual ~IBtDevice() = default;

  // Throws when no connection can be made.
  virtual void Connect() = 0;
  virtual void ConnectOnResume() = 0;
  virtual void Disconnect() = 0;
  virtual void DisconnectOnSleep() = 0;
  virtual bool IsConnected() = 0;
  // The phone's reply; empty when the phone is out of range or an interactive reply timed out.
  virtual Bytes SendAndReceive(const Bytes& message, bool isInteractive) = 0;
  virtual bool IsRSSISupported() = 0;
  // One reading, also added to the proximity decision.
  virtual int16_t GetRSSI(bool flag) = 0;
  virtual void ClearRSSI() = 0;
  virtual void CalibrateRSSI() = 0;
  // The proximity status (CONFIRMED_IN_RANGE reported as IN_RANGE); takes readings while the
  // decision needs more. Throws BluetoothExceptions::InternalErrorException when the reading
  // budget runs out.
  virtual int32_t GetState(bool continuousCheck) = 0;
  // A decision from outside (IN_RANGE or OUT_OF_RANGE) for a pending NEED_MORE_DATA.
  virtual void UpdateProximityState(int32_t status) = 0;
  virtual uint32_t GetProviderType() = 0;
  // Drops and remakes the connection; false when it could not be remade.
  virtual bool EstablishConnection() = 0;
};

// The devices' limits with their production values; tests shrink them.
struct BtDeviceOptions {
  std::chrono::milliseconds connectionMutexWait{std::chrono::seconds(10)};
  // How long the phone may take to answer a message.
  uint32_t interactiveReplyWaitMs = 45000;
  uint32_t replyWaitMs = 3000;
  // GetState: readings taken at most per call, and the pause between them.
  int maxReadingsPerState = 100;
  std::chrono::milliseconds readingPause{200};
  // Classic: how often Connect looks whether the monitor connected, and how many times.
  std::chrono::milliseconds connectPoll{100};
  int pollsWhenMonitorStarts = 100;
  int pollsWhenMonitorRuns = 60;
  // Classic monitor: the connection check period, the pause after a failed step, and how many
  // failures in a row end it.
  std::chrono::milliseconds monitorCheckPeriod{800};
  std::chrono::milliseconds monitorFailurePause{500};
  uint8_t monitorMaxFailures = 5;
  // BLE and legacy: how long a connect task is awaited.
  std::chrono::milliseconds bleConnectWait{30000};
  std::chrono::milliseconds legacyConnectWait{6000};
  // Legacy: inactivity after which the connection is dropped.
  std::chrono::milliseconds legacyInactivity{std::chrono::minutes(2)};
  ProximityOptions proximity;
};

// What a device is made of. Borrowed members must outlive the device.
struct BtDeviceContext {
  IBtProviderFactory& factory;
  platform::Clock& clock;
  // Where connect attempts run; one that outlives its wait ends there in the background.
  keystone::TaskGroup& pendingTasks;
  BtDeviceOptions options;
};

// A recursive mutex whose lock waits with a limit: an operation holding it may call another
// that takes it again. Built on std::mutex and a condition variable, which the thread
// sanitizer follows (it does not follow the timed pthread locks of std::recursive_timed_mutex).
class ConnectionMutex {
 public:
  // False when another thread held it for the whole limit.
  bool try_lock_for(std::chrono::milliseconds limit);
  void lock();
  void unlock();

 private:
  std::mutex mutex;  // Guards the members below.
  std::condition_variable released;
  std::thread::id owner;
  size_t depth = 0;
};

// The fields and operations the three implementations share.
class BtDevice : public IBtDevice {
 public:
  BtDevice(const BtDeviceContext& context, std::string address, Bytes deviceId,
           uint32_t providerType);
  BtDevice(const BtDevice&) = delete;
  BtDevice& operator=(const BtDevice&) = delete;

  bool IsConnected() override { return connected.load(); }
  uint32_t GetProviderType() override { return providerType; }
  bool IsRSSISupported() override;
  void ClearRSSI() override;
  void CalibrateRSSI() override;
  int32_t GetState(bool continuousCheck) override;
  void UpdateProximityState(int32_t status) override;

  const std::string& Address() const { return address; }
  const Bytes& DeviceId() const { return deviceId; }
  MfaProximityLock& Proximity() { return proximity; }

 protected:
  using ConnectionLock = std::unique_lock<ConnectionMutex>;

  // The held connection mutex; std::runtime_error "Wait for connection mutex has timed out"
  // when it could not be had within options.connectionMutexWait.
  ConnectionLock TryToAcquireConnectionMutex();
  // The provider of this device's type; InvalidProviderTypeException when it cannot be made.
  std::shared_ptr<IBTProvider> Provider();
  // How a provider call names this device: the address, no name.
  BluetoothDevice AsProviderDevice() const;
  // Sends, then waits for the reply (45000 or 3000 ms); a timed-out, failed or radio-less
  // exchange drops the connection before its exception goes on.
  Bytes SendAndReciveMessage(const Bytes& message, bool isInteractive);
  // Disconnect that logs instead of throwing.
  void DisconnectFromActiveDevice() noexcept;
  uint32_t ReplyWait(bool isInteractive) const;
  // Disconnect (unless skipped) and Connect, with one more Connect after a failure; false when
  // the disconnect failed or no connection came.
  bool Reestablish(bool disconnectFirst);

  const BtDeviceOptions options;
  IBtProviderFactory& factory;
  platform::Clock& clock;
  keystone::TaskGroup& pendingTasks;
  const uint32_t providerType;
  const std::string address;
  const Bytes deviceId;
  std::atomic<uint32_t> connectionHandle{0};
  ConnectionMutex connectionMutex;
  MfaProximityLock proximity;
  std::atomic<bool> connected{false};
  std::atomic<bool> outOfRange{false};
};

}  // namespace mfab
