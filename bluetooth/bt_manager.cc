#include "bluetooth/bt_manager.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>

#include "bluetooth/bluetooth_exceptions.h"
#include "bluetooth/bt_device_ble.h"
#include "bluetooth/bt_device_classic.h"
#include "bluetooth/bt_device_id.h"
#include "bluetooth/bt_device_legacy.h"
#include "common/config_keys.h"
#include "log/logger.h"
#include "platform/os_version.h"
#include "platform/registry.h"
#include "storage/authenticate_data_mirroring.h"
#include "storage/mirror_records.h"

namespace mfab {
namespace {

AuthenticateLogger& Log() { return AuthenticateLoggerService::Instance(); }

namespace records = ::AuthenticateDataMirroring;

constexpr const char* kSecureBtName = "SecureBT";
constexpr const char* kSoftBtName = "SoftBT";
constexpr const char* kBdAddressProperty = "BDAddress";

// The identifiers of the mirrored policy factors whose name is name.
std::set<std::string> FactorIdsNamed(const records::PolicyFactors& factors,
                                     const std::string& name) {
  std::set<std::string> ids;
  for (const auto& [id, factor] : factors.factors) {
    if (factor.defName == name) ids.insert(id);
  }
  return ids;
}

// The entry of the user's factors whose identifier is one of ids and which is enrolled.
const records::NameValues* EnrolledEntry(const records::UserData::FactorEntries& entries,
                                         const std::set<std::string>& ids) {
  for (const std::string& id : ids) {
    auto it = entries.find(id);
    if (it != entries.end() && records::UserData::IsEnrolled(it->second)) return &it->second;
  }
  return nullptr;
}

const std::string* Property(const records::NameValues& entry, const std::string& name) {
  for (const records::NameValue& value : entry) {
    if (value.name == name) return &value.value;
  }
  return nullptr;
}

// The outcome of one scan task, shared by the task and its waiter.
struct ScanOutcome {
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  std::vector<BluetoothDevice> devices;
  std::exception_ptr failure;
};

}  // namespace

BtManager::BtManager(BtManagerDependencies dependencies, Options managerOptions)
    : deps(std::move(dependencies)),
      options(managerOptions),
      deviceContext{*deps.factory, deps.clock, pendingTasks, options.device} {
  startupTasks.Launch([this](std::stop_token) {
    KS_LOG(Log(), kLogInfo, "BT-START", "Initializing Bluetooth LE watchers...");
    try {
      std::shared_ptr<IBTProvider> ble = deps.factory->GetProvider(kBleProviderType);
      if (ble) ble->Setup();
    } catch (...) {
      KS_LOG(Log(), kLogWarning, "BT-START", "Failed setting up Bluetooth LE watchers");
    }
  });
  startupTasks.Launch([this](std::stop_token) {
    KS_LOG(Log(), kLogInfo, "BT-START", "Initializing android device ");
    InitializeActiveDevice();
    KS_LOG(Log(), kLogInfo, "BT-START", "Initializing android device done");
  });
}

BtManager::~BtManager() {
  startupTasks.WaitIdle();
  DeviceMap doomed;
  {
    keystone::MutexLock lock(mutex);
    doomed.swap(devices);
  }
}

bool BtManager::WaitForStartup(std::chrono::milliseconds limit) {
  return startupTasks.WaitIdle(std::chrono::steady_clock::now() + limit);
}

size_t BtManager::DeviceCount() {
  keystone::MutexLock lock(mutex);
  return devices.size();
}

bool BtManager::HasDevice(const Bytes& deviceId) {
  keystone::MutexLock lock(mutex);
  return devices.count(deviceId) != 0;
}

bool BtManager::GoingToSleep() { return deps.goingToSleep && deps.goingToSleep(); }

bool BtManager::RadioPresent() { return !deps.radioPresent || deps.radioPresent(); }

bool BtManager::UsesBleDevices() {
  return deps.osVersion.AtLeastWindows8() &&
         platform::GetWindowsVersionClass(deps.osVersion) != platform::kWin10Rs1;
}

void BtManager::ValidateDeviceId(const Bytes& deviceId) { mfab::ValidateDeviceId(deviceId); }

std::string BtManager::ExtractMacAddressFromDeviceId(const Bytes& deviceId) {
  return DeviceIdAddress(deviceId);
}

uint16_t BtManager::ExtractDeviceTypeFromDeviceId(const Bytes& deviceId) {
  return DeviceIdType(deviceId);
}

std::shared_ptr<IBtDevice> BtManager::SafelyGetDevice(const Bytes& deviceId) {
  // Validates the id; a known device needs nothing more (every message looks its device up).
  const uint16_t deviceType = ExtractDeviceTypeFromDeviceId(deviceId);
  {
    keystone::MutexLock lock(mutex);
    auto it = devices.find(deviceId);
    if (it != devices.end()) return it->second;
  }
  std::string address = ExtractMacAddressFromDeviceId(deviceId);
  // The OS generation comes from the registry: read before the mutex is taken.
  const bool legacy = !deps.osVersion.AtLeastWindows8() ||
                      platform::GetWindowsVersionClass(deps.osVersion) == platform::kWin10Rs1;
  keystone::MutexLock lock(mutex);
  auto it = devices.find(deviceId);
  if (it != devices.end()) return it->second;
  std::shared_ptr<IBtDevice> device;
  if (legacy) {
    device = std::make_shared<LegacyBtDevice>(deviceContext, std::move(address), deviceId);
  } else if (deviceType == kClassicProviderType) {
    auto classic = std::make_shared<ClassicBtDevice>(deviceContext, std::move(address), deviceId);
    classic->StartMonitor();
    device = std::move(classic);
  } else {
    device = std::make_shared<BLEDevice>(deviceContext, std::move(address), deviceId);
  }
  devices.emplace(deviceId, device);
  return device;
}

Bytes BtManager::LoadLastActiveAndroidDevice() {
  const std::optional<std::string> text =
      platform::ReadRegistryString(deps.registry, keystone::kSecureBtKey, kAndroidDeviceValue);
  if (!text || text->empty()) {
    KS_LOG(Log(), kLogInfo, "BT-FLOW", "No active device exists. ");
    throw std::runtime_error("No active device exists. ");
  }
  KS_LOG(Log(), kLogInfo, "BT-FLOW", "Device is found ");
  return ParseAndroidDevice(*text);
}

void BtManager::InitializeActiveDevice() {
  KS_LOG(Log(), kLogInfo, "BT-START", "######### InitializeActiveDevices ");
  try {
    SafelyGetDevice(LoadLastActiveAndroidDevice());
  } catch (...) {
    KS_LOG(Log(), kLogWarning, "BT-START", "###### InitializeActiveDevices failed ");
  }
}

Bytes BtManager::SendMessageToBtDevice(const Bytes& deviceId, const Bytes& message,
                                       bool isInteractive) {
  KS_LOG(Log(), kLogInfo, "BT-FLOW", "isInteractive = %s", isInteractive ? "true" : "false");
  if (GoingToSleep()) {
    KS_LOG(Log(), kLogInfo, "BT-FLOW", "going to sleep");
    return {};
  }
  if (!RadioPresent()) {
    KS_LOG(Log(), kLogWarning, "BT-FLOW", "Bluetooth Radio is off");
    return {};
  }
  const std::shared_ptr<IBtDevice> device = SafelyGetDevice(deviceId);
  try {
    return device->SendAndReceive(message, isInteractive);
  } catch (const std::exception& e) {
    KS_LOG(Log(), kLogError, "BT-FLOW", "Exception: %s", e.what());
    if (!isInteractive || device->GetProviderType() != kBleProviderType) throw;
  }
  KS_LOG(Log(), kLogInfo, "BT-FLOW",
         "First enrollment message failed on BLE. Sleeping for 15s and retrying...");
  std::this_thread::sleep_for(options.bleFirstMessageRetryPause);
  return device->SendAndReceive(message, isInteractive);
}

bool BtManager::EstablishConnectionWithBtDevice(const Bytes& deviceId) {
  return SafelyGetDevice(deviceId)->EstablishConnection();
}

bool BtManager::IsRSSISupported(uint32_t providerType) {
  if (providerType == 0) return true;
  if (providerType != kClassicProviderType && providerType != kBleProviderType) return false;
  const std::shared_ptr<IBTProvider> provider = deps.factory->GetProvider(providerType);
  if (!provider) throw BluetoothProvider::InvalidProviderTypeException();
  return provider->IsRSSISupported();
}

int16_t BtManager::GetRSSI(const Bytes& deviceId, bool continuousCheck) {
  if (GoingToSleep()) {
    KS_LOG(Log(), kLogInfo, "BT-FLOW", "Going to sleep, returning min_short");
    return kNoRssi;
  }
  if (!RadioPresent()) {
    KS_LOG(Log(), kLogWarning, "BT-FLOW", "Bluettoth Radio is off");
    return kNoRssi;
  }
  if (continuousCheck && !HasDevice(deviceId)) {
    KS_LOG(Log(), kLogError, "BT-FLOW", "GetRSSI for non-existing device");
    throw BluetoothExceptions::InvalidDeviceIdException();
  }
  return SafelyGetDevice(deviceId)->GetRSSI(continuousCheck);
}

int32_t BtManager::GetDeviceStatus(const Bytes& deviceId, bool continuousCheck) {
  return SafelyGetDevice(deviceId)->GetState(continuousCheck);
}

void BtManager::CalibrateRssi(const Bytes& deviceId) { SafelyGetDevice(deviceId)->CalibrateRSSI(); }

void BtManager::UpdateProximityState(const Bytes& deviceId, int32_t state) {
  SafelyGetDevice(deviceId)->UpdateProximityState(state);
}

std::vector<BluetoothDevice> BtManager::GetScanDevices(uint32_t providerType) {
  std::shared_ptr<IBTProvider> provider;
  try {
    provider = deps.factory->GetProvider(providerType);
  } catch (const BluetoothProvider::InvalidProviderTypeException&) {
  }
  if (!provider) {
    KS_LOG(Log(), kLogError, "BT-FLOW", "GetScanDevices - provider not found");
    throw BluetoothProvider::ScanFailedException();
  }
  auto outcome = std::make_shared<ScanOutcome>();
  // The task holds only what it shares with the waiter; a late one ends on its own.
  const bool started = pendingTasks.Launch([provider, outcome](std::stop_token) {
    std::vector<BluetoothDevice> found;
    std::exception_ptr failure;
    try {
      found = provider->ScanDevices(0);
    } catch (...) {
      failure = std::current_exception();
    }
    {
      std::lock_guard lock(outcome->mutex);
      outcome->devices = std::move(found);
      outcome->failure = failure;
      outcome->done = true;
    }
    outcome->finished.notify_all();
  });
  if (!started) throw BluetoothProvider::ScanFailedException();
  std::unique_lock lock(outcome->mutex);
  if (!outcome->finished.wait_for(lock, options.scanLimit, [&] { return outcome->done; })) {
    lock.unlock();
    KS_LOG(Log(), kLogError, "BT-FLOW", "Scan timed out");
    throw BluetoothProvider::ScanFailedException();
  }
  if (outcome->failure) std::rethrow_exception(outcome->failure);
  return std::move(outcome->devices);
}

void BtManager::FillBluetoothLowEnergyScanData(std::set<std::string>& names,
                                               std::vector<BluetoothDevice>& result) {
  bool supported = false;
  try {
    supported = IsRSSISupported(kBleProviderType);
  } catch (const BluetoothProvider::InvalidProviderTypeException&) {
    // No BLE provider on this system: the same as one without RSSI support.
  }
  if (!supported) {
    KS_LOG(Log(), kLogWarning, "BT-FLOW", "Bluetooth Low Energy is not supported.");
    throw BluetoothExceptions::UnsupportedFactorException();
  }
  std::vector<BluetoothDevice> found = GetScanDevices(kBleProviderType);
  KS_LOG(Log(), kLogInfo, "BT-FLOW", "Scan found %d BLE devices ", static_cast<int>(found.size()));
  for (BluetoothDevice& device : found) {
    const std::string& a = device.address;
    // Exactly 17 characters: no trailing NUL either.
    if (a.size() != 17 || !ParseAddress(a)) continue;
    names.insert(device.name);
    result.push_back(std::move(device));
  }
}

void BtManager::FillBluetoothClassicScanData(std::vector<BluetoothDevice>& duplicates,
                                             std::vector<BluetoothDevice>& result,
                                             const std::set<std::string>& names) {
  if (!IsRSSISupported(kClassicProviderType)) {
    KS_LOG(Log(), kLogWarning, "BT-FLOW", "Bluetooth Classic is not supported.");
    throw BluetoothExceptions::UnsupportedFactorException();
  }
  std::vector<BluetoothDevice> found = GetScanDevices(kClassicProviderType);
  KS_LOG(Log(), kLogInfo, "BT-FLOW", "Scan found %d ClassicBluetooth devices ",
         static_cast<int>(found.size()));
  for (BluetoothDevice& device : found) {
    if (names.count(device.name) != 0) {
      duplicates.push_back(std::move(device));
    } else {
      result.push_back(std::move(device));
    }
  }
}

Bytes BtManager::Scan(uint32_t scanType) {
  std::vector<BluetoothDevice> found;
  std::vector<BluetoothDevice> duplicates;
  std::set<std::string> names;
  switch (scanType) {
    case 1:
      FillBluetoothClassicScanData(duplicates, found, {});
      break;
    case 2:
      FillBluetoothLowEnergyScanData(names, found);
      break;
    case 3: {
      bool bleScanned = true;
      try {
        FillBluetoothLowEnergyScanData(names, found);
      } catch (const BluetoothExceptions::UnsupportedFactorException&) {
        bleScanned = false;
      }
      if (!bleScanned) {
        found.clear();
        FillBluetoothClassicScanData(duplicates, found, {});
        break;
      }
      if (deps.factory->LegacyBleLoaded()) break;
      FillBluetoothClassicScanData(duplicates, found, names);
      if (!duplicates.empty()) {
        KS_LOG(Log(), kLogInfo, "BT-FLOW", "Scan found %d duplicate devices ",
               static_cast<int>(duplicates.size()));
        std::shared_ptr<IBTProvider> classic = deps.factory->GetProvider(kClassicProviderType);
        if (classic) classic->ValidateDevices(duplicates);
        KS_LOG(Log(), kLogInfo, "BT-FLOW", "Scan after validation %d  ",
               static_cast<int>(duplicates.size()));
        found.insert(found.end(), duplicates.begin(), duplicates.end());
      }
      break;
    }
    default:
      return {};
  }
  DropEnrolledPhones(found);
  Bytes packed;
  packed.reserve(found.size() * kScanRecordSize);
  for (const BluetoothDevice& device : found) {
    const auto record = PackScanRecord(device);
    packed.insert(packed.end(), record.begin(), record.end());
  }
  return packed;
}

void BtManager::DropEnrolledPhones(std::vector<BluetoothDevice>& found) {
  // Each rewrite of the mirror is one transaction, so these reads see it whole.
  records::PolicyFactors factors;
  factors.ReadFromRegistry(deps.registry);
  records::UserData users;
  users.ReadFromRegistry(deps.registry);
  const std::set<std::string> softBt = FactorIdsNamed(factors, kSoftBtName);
  const std::set<std::string> secureBt = FactorIdsNamed(factors, kSecureBtName);
  std::set<BtAddress> enrolled;
  for (const auto& [sid, entries] : users.users) {
    const records::NameValues* entry = EnrolledEntry(entries, softBt);
    if (entry == nullptr) entry = EnrolledEntry(entries, secureBt);
    if (entry == nullptr) continue;
    const std::string* text = Property(*entry, kBdAddressProperty);
    if (text == nullptr) continue;
    if (const auto address = ParseAddress(*text)) enrolled.insert(*address);
  }
  if (enrolled.empty()) return;
  std::erase_if(found, [&](const BluetoothDevice& device) {
    const auto address = ParseAddress(device.address);
    return address && enrolled.count(*address) != 0;
  });
}

std::vector<std::shared_ptr<IBtDevice>> BtManager::Devices() {
  keystone::MutexLock lock(mutex);
  std::vector<std::shared_ptr<IBtDevice>> all;
  for (const auto& entry : devices) all.push_back(entry.second);
  return all;
}

std::shared_ptr<IBTProvider> BtManager::BleProvider() {
  try {
    return deps.factory->GetProvider(kBleProviderType);
  } catch (const BluetoothProvider::InvalidProviderTypeException&) {
    return nullptr;
  }
}

void BtManager::UserDataUpdated(const std::string& user) {
  KS_LOG(Log(), kLogInfo, "BT-FLOW", "User data updated");
  // Under the mirror's lock, released before the manager's mutex is taken.
  const MirrorView view = deps.mirroring.ReadView(user, false);
  const std::set<std::string> secureBt = FactorIdsNamed(view.factors, kSecureBtName);
  if (EnrolledEntry(view.enrolled, secureBt) != nullptr) return;
  DropDevices(&IBTProvider::OnUserDataUpdated);
}

void BtManager::UserDataCleared() {
  KS_LOG(Log(), kLogInfo, "BT-FLOW", "User data cleared");
  DropDevices(&IBTProvider::OnUserDataCleared);
}

void BtManager::DropDevices(void (IBTProvider::*hook)()) {
  DeviceMap dropped;
  {
    keystone::MutexLock lock(mutex);
    dropped.swap(devices);
  }
  // Destroying a device stops its monitor and closes its connection: outside the mutex.
  dropped.clear();
  if (const std::shared_ptr<IBTProvider> ble = BleProvider()) ((*ble).*hook)();
  try {
    std::unique_ptr<platform::RegistryKey> key = deps.registry.OpenKey(
        keystone::kSecureBtKey, platform::reg_access::kRead | platform::reg_access::kWrite);
    if (key) {
      key->DeleteValue(kAndroidDeviceValue);
      key->Flush();
    }
  } catch (const std::exception&) {
    // The value goes with the next change; nothing depends on its removal now.
  }
}

void BtManager::ClearRssi() {
  for (const std::shared_ptr<IBtDevice>& device : Devices()) device->ClearRSSI();
}

void BtManager::HandlePowerSleepEvent() {
  std::set<uint32_t> providerTypes;
  std::vector<std::shared_ptr<IBtDevice>> connected;
  {
    keystone::MutexLock lock(mutex);
    resumeSet.clear();
    for (const auto& [id, device] : devices) {
      providerTypes.insert(device->GetProviderType());
      if (device->IsConnected()) {
        resumeSet.insert(id);
        connected.push_back(device);
      }
    }
  }
  for (const std::shared_ptr<IBtDevice>& device : connected) {
    try {
      device->DisconnectOnSleep();
    } catch (...) {
      KS_LOG(Log(), kLogWarning, "BT-FLOW", "BtManager:: - exception in disconnect/connect");
    }
  }
  for (uint32_t type : providerTypes) {
    KS_LOG(Log(), kLogInfo, "BT-FLOW", "Tearing down Bluetooth adapter %d", static_cast<int>(type));
    try {
      std::shared_ptr<IBTProvider> provider = deps.factory->GetProvider(type);
      if (provider) provider->TearDown();
    } catch (...) {
      KS_LOG(Log(), kLogWarning, "BT-FLOW", "Failed teardown the bt provider");
    }
  }
}

void BtManager::HandlePowerResumeEvent() {
  std::set<uint32_t> providerTypes;
  std::vector<std::shared_ptr<IBtDevice>> toResume;
  {
    keystone::MutexLock lock(mutex);
    for (const auto& entry : devices) providerTypes.insert(entry.second->GetProviderType());
    for (const Bytes& id : resumeSet) {
      auto it = devices.find(id);
      if (it != devices.end()) toResume.push_back(it->second);
    }
    resumeSet.clear();
  }
  for (uint32_t type : providerTypes) {
    KS_LOG(Log(), kLogInfo, "BT-FLOW", "Resetting Bluetooth adapter %d", static_cast<int>(type));
    try {
      std::shared_ptr<IBTProvider> provider = deps.factory->GetProvider(type);
      if (provider) provider->Setup();
    } catch (const std::exception& e) {
      KS_LOG(Log(), kLogWarning, "BT-FLOW", "Failed to reset Bluetooth adapter %d %s ",
             static_cast<int>(type), e.what());
    } catch (...) {
      KS_LOG(Log(), kLogWarning, "BT-FLOW", "Failed to reset Bluetooth adapter %d",
             static_cast<int>(type));
    }
  }
  bool bleDevices = true;
  try {
    bleDevices = UsesBleDevices();
  } catch (const std::exception&) {
    // An unreadable OS generation: treat the BLE ids as BLEDevice objects, which resume alone.
  }
  for (const std::shared_ptr<IBtDevice>& device : toResume) {
    if (device->GetProviderType() == kBleProviderType && bleDevices) continue;
    try {
      device->ConnectOnResume();
    } catch (...) {
      KS_LOG(Log(), kLogWarning, "BT-FLOW", "BtManager:: - exception in disconnect/connect");
    }
  }
}

void BtManager::HandleSessionUnlockEvent() {
  if (const std::shared_ptr<IBTProvider> ble = BleProvider()) ble->OnSessionUnlock();
}

void BtManager::HandleSessionLockEvent() {
  if (const std::shared_ptr<IBTProvider> ble = BleProvider()) ble->OnSessionLock();
}

}  // namespace mfab
