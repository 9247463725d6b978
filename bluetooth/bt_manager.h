#pragma once

// The Bluetooth factor's entry point: one device object per 8-byte device id, the client
// operations on them, scans (packed as the scan records of bluetooth/bt_device_id.h), and the
// reactions to sleep, resume, lock, unlock and user-data changes.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "bluetooth/bt_device.h"
#include "bluetooth/bt_device_id.h"
#include "bluetooth/bt_provider.h"
#include "common/mutex.h"
#include "common/task_group.h"
#include "engine/bluetooth_manager.h"
#include "tlv/tlv.h"

namespace platform {
class OsVersion;
class Registry;
}  // namespace platform

namespace mfab {

class AuthenticateDataMirroring;

// The registry value under the SecureBT factor key naming the last active phone.
inline constexpr const char* kAndroidDeviceValue = "Android_Device";
// The RSSI reported while going to sleep or without a radio.
inline constexpr int16_t kNoRssi = -32768;

struct BtManagerOptions {
  BtDeviceOptions device;
  // How long one provider scan pass may take; a late one ends in the background.
  std::chrono::milliseconds scanLimit{7000};
  // The pause before the one retry of a failed interactive message to a BLE phone.
  std::chrono::milliseconds bleFirstMessageRetryPause{std::chrono::seconds(15)};
};

// What the manager is built from. References are borrowed and must outlive it.
struct BtManagerDependencies {
  std::shared_ptr<IBtProviderFactory> factory;
  platform::Clock& clock;
  platform::Registry& registry;
  platform::OsVersion& osVersion;
  // The registry mirror: its lock is held while the user's enrollment is read.
  AuthenticateDataMirroring& mirroring;
  // Whether a sleep is in progress (the power-state manager's going-to-sleep test, which also
  // ends a sleep whose window passed). Empty: never.
  std::function<bool()> goingToSleep;
  // Whether a Bluetooth radio is present. Empty: always.
  std::function<bool()> radioPresent;
};

// One BtManager exists in the service, shared by the resource manager (as its power listener)
// and the client operations.
//
// Thread-safe. One mutex guards the device map and the resume set; it is never held while a
// device, a provider or the registry is called. The device calls themselves run on the caller's
// thread. The constructor starts two background tasks (BLE provider set-up, the last active
// phone's device); the destructor waits for them and for timed-out scans and connects.
// Operations throw the BluetoothExceptions and BluetoothProvider families and what the devices
// throw; the power handlers log their failures and go on.
class BtManager final : public IBluetoothManager {
 public:
  using Options = BtManagerOptions;

  explicit BtManager(BtManagerDependencies dependencies, Options options = {});
  ~BtManager() override;
  BtManager(const BtManager&) = delete;
  BtManager& operator=(const BtManager&) = delete;

  // The phone's reply; empty while going to sleep or without a radio.
  Bytes SendMessageToBtDevice(const Bytes& deviceId, const Bytes& message, bool isInteractive);
  bool EstablishConnectionWithBtDevice(const Bytes& deviceId);
  // Type 0: true; 1 and 2: the provider's answer; others: false.
  bool IsRSSISupported(uint32_t providerType);
  // kNoRssi while going to sleep or without a radio. With continuousCheck the device must
  // exist already (InvalidDeviceIdException).
  int16_t GetRSSI(const Bytes& deviceId, bool continuousCheck);
  int32_t GetDeviceStatus(const Bytes& deviceId, bool continuousCheck);
  void CalibrateRssi(const Bytes& deviceId);
  void UpdateProximityState(const Bytes& deviceId, int32_t state);
  // Scan type 0 nothing, 1 classic, 2 BLE, 3 both; the packed scan records, without the phones
  // some user has enrolled. Each pass is bounded by options.scanLimit (ScanFailedException).
  Bytes Scan(uint32_t scanType);
  std::vector<BluetoothDevice> GetScanDevices(uint32_t providerType);

  // InvalidDeviceIdException unless the id is exactly 8 bytes.
  static void ValidateDeviceId(const Bytes& deviceId);
  // "aa:bb:cc:dd:ee:ff" from bytes 0..5.
  static std::string ExtractMacAddressFromDeviceId(const Bytes& deviceId);
  static uint16_t ExtractDeviceTypeFromDeviceId(const Bytes& deviceId);
  // The device for the id, created on first use (a classic one with its monitor running).
  std::shared_ptr<IBtDevice> SafelyGetDevice(const Bytes& deviceId);
  // The id stored in "Android_Device"; std::runtime_error "No active device exists. " when
  // there is none.
  Bytes LoadLastActiveAndroidDevice();
  void InitializeActiveDevice();

  // Drops every device unless user has the SecureBT factor enrolled.
  void UserDataUpdated(const std::string& user) override;
  void UserDataCleared();
  void ClearUserData() override { UserDataCleared(); }
  void ClearRssi() override;

  void HandlePowerSleepEvent() override;
  void HandlePowerResumeEvent() override;
  void HandleSessionUnlockEvent() override;
  void HandleSessionLockEvent() override;

  // Waits for the start-up tasks, at most limit; true when they ended.
  bool WaitForStartup(std::chrono::milliseconds limit);
  size_t DeviceCount();
  bool HasDevice(const Bytes& deviceId);

 private:
  using DeviceMap = std::map<Bytes, std::shared_ptr<IBtDevice>>;

  bool GoingToSleep();
  bool RadioPresent();
  // Whether SafelyGetDevice makes BLE ids into BLEDevice objects on this system.
  bool UsesBleDevices();
  void FillBluetoothLowEnergyScanData(std::set<std::string>& names,
                                      std::vector<BluetoothDevice>& result);
  void FillBluetoothClassicScanData(std::vector<BluetoothDevice>& duplicates,
                                    std::vector<BluetoothDevice>& result,
                                    const std::set<std::string>& names);
  // Removes the phones whose address is some user's enrolled SoftBT or SecureBT "BDAddress".
  void DropEnrolledPhones(std::vector<BluetoothDevice>& devices);
  // Empties the map (devices are destroyed outside the mutex), tells an existing BLE provider
  // through hook and deletes "Android_Device".
  void DropDevices(void (IBTProvider::*hook)());
  // The BLE provider if the factory can make one, else null.
  std::shared_ptr<IBTProvider> BleProvider();
  std::vector<std::shared_ptr<IBtDevice>> Devices();

  BtManagerDependencies deps;
  const Options options;

  // Timed-out scans and connect attempts end here in the background; joined last.
  keystone::TaskGroup pendingTasks;
  const BtDeviceContext deviceContext;

  keystone::Mutex mutex;  // Guards the members below.
  DeviceMap devices GUARDED_BY(mutex);
  std::set<Bytes> resumeSet GUARDED_BY(mutex);

  // The start-up tasks use every member above; destroyed (joined) first.
  keystone::TaskGroup startupTasks;
};

}  // namespace mfab
