#pragma once

// A scriptable in-memory Bluetooth provider and factory: RSSI sequences, phone replies, scan
// results, failures queued per operation, and gates that hold Connect or ScanDevices until the
// test opens them. Thread-safe. BtManagerHarness builds a BtManager over them with an in-memory
// registry and mirror.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "bluetooth/bt_manager.h"
#include "bluetooth/bt_provider.h"
#include "common/config_keys.h"
#include "platform/clock.h"
#include "platform/os_version.h"
#include "platform/registry.h"
#include "storage/authenticate_data_mirroring.h"
#include "storage/data_controller.h"
#include "storage/mirror_records.h"
#include "storage/mirroring_host.h"
#include "tests/fakes/memory_file_system.h"
#include "tests/fakes/memory_registry.h"

namespace keystone::testing {

// A steady clock that moves only when told to.
class ManualClock : public platform::Clock {
 public:
  platform::Ticks SteadyNow() const override { return now.load(); }
  int64_t UnixSeconds() const override { return 1'700'000'000; }
  void Advance(std::chrono::milliseconds by) { now.fetch_add(platform::ToTicks(by)); }

 private:
  std::atomic<platform::Ticks> now{1'000'000'000};
};

class FakeBtProvider : public mfab::IBTProvider {
 public:
  enum class Op { kScan, kConnect, kDisconnect, kSend, kReceive, kRssi, kSetup, kTearDown };

  // The next calls of op throw e, one per call, before anything else happens.
  void ThrowOn(Op op, std::exception_ptr e, int times = 1) {
    std::lock_guard lock(mutex);
    for (int i = 0; i < times; ++i) failures[op].push_back(e);
  }
  // Readings GetDeviceRssi returns in order; after them, the last one again (-50 when none).
  void QueueRssi(std::vector<int16_t> readings) {
    std::lock_guard lock(mutex);
    rssi.insert(rssi.end(), readings.begin(), readings.end());
  }
  // Replies Receive hands out in order; without one, it echoes the last message sent.
  void QueueReply(mfab::Bytes reply) {
    std::lock_guard lock(mutex);
    replies.push_back(std::move(reply));
  }
  void SetScanResult(std::vector<mfab::BluetoothDevice> devices) {
    std::lock_guard lock(mutex);
    scanResult = std::move(devices);
  }
  // The addresses ValidateDevices keeps; all when never set.
  void SetValidAddresses(std::set<std::string> addresses) {
    std::lock_guard lock(mutex);
    validAddresses = std::move(addresses);
  }
  void SetRssiSupported(bool supported) { rssiSupported = supported; }
  // While closed, Connect (or ScanDevices) waits until opened, at most 20 s.
  void CloseGate(Op op) { SetGate(op, false); }
  void OpenGate(Op op) { SetGate(op, true); }

  int Calls(Op op) const {
    std::lock_guard lock(mutex);
    auto it = calls.find(op);
    return it == calls.end() ? 0 : it->second;
  }
  std::vector<mfab::Bytes> Sent() const {
    std::lock_guard lock(mutex);
    return sent;
  }
  int SessionUnlocks() const { return sessionUnlocks; }
  int SessionLocks() const { return sessionLocks; }
  int UserDataUpdates() const { return userDataUpdates; }
  int UserDataClears() const { return userDataClears; }
  std::vector<uint32_t> TimeoutsAsked() const {
    std::lock_guard lock(mutex);
    return timeouts;
  }
  std::set<uint32_t> OpenHandles() const {
    std::lock_guard lock(mutex);
    return open;
  }

  std::vector<mfab::BluetoothDevice> ScanDevices(uint32_t /*value*/) override {
    Enter(Op::kScan);
    WaitGate(Op::kScan);
    std::lock_guard lock(mutex);
    return scanResult;
  }
  void ValidateDevices(std::vector<mfab::BluetoothDevice>& devices) override {
    std::lock_guard lock(mutex);
    if (!validAddresses) return;
    std::erase_if(devices, [this](const mfab::BluetoothDevice& d) {
      return validAddresses->count(d.address) == 0;
    });
  }
  uint32_t Connect(const mfab::BluetoothDevice& device,
                   const std::string& serviceClassId) override {
    Enter(Op::kConnect);
    WaitGate(Op::kConnect);
    std::lock_guard lock(mutex);
    lastAddress = device.address;
    lastServiceClass = serviceClassId;
    open.insert(++lastHandle);
    return lastHandle;
  }
  void Disconnect(uint32_t handle) override {
    Enter(Op::kDisconnect);
    std::lock_guard lock(mutex);
    open.erase(handle);
  }
  void Send(uint32_t handle, const mfab::Bytes& message) override {
    Enter(Op::kSend);
    std::lock_guard lock(mutex);
    if (open.count(handle) == 0) throw UnknownHandle();
    sent.push_back(message);
  }
  void Receive(uint32_t handle, uint32_t timeoutMs, mfab::Bytes& reply) override {
    {
      std::lock_guard lock(mutex);
      timeouts.push_back(timeoutMs);
    }
    Enter(Op::kReceive);
    std::lock_guard lock(mutex);
    if (open.count(handle) == 0) throw UnknownHandle();
    if (!replies.empty()) {
      reply = std::move(replies.front());
      replies.pop_front();
    } else {
      reply = sent.empty() ? mfab::Bytes{} : sent.back();
    }
  }
  bool IsRSSISupported() override { return rssiSupported; }
  int16_t GetDeviceRssi(const mfab::BluetoothDevice& /*device*/, bool /*flag*/) override {
    Enter(Op::kRssi);
    std::lock_guard lock(mutex);
    if (rssi.empty()) return -50;
    const int16_t value = rssi.front();
    if (rssi.size() > 1) rssi.pop_front();
    return value;
  }
  void Setup() override { Enter(Op::kSetup); }
  void TearDown() override { Enter(Op::kTearDown); }
  void Reset() override {
    TearDown();
    Setup();
  }
  void OnSessionUnlock() override { ++sessionUnlocks; }
  void OnSessionLock() override { ++sessionLocks; }
  void OnUserDataUpdated() override { ++userDataUpdates; }
  void OnUserDataCleared() override { ++userDataClears; }

  std::string LastAddress() const {
    std::lock_guard lock(mutex);
    return lastAddress;
  }
  std::string LastServiceClass() const {
    std::lock_guard lock(mutex);
    return lastServiceClass;
  }

 private:
  static BluetoothProvider::ProviderGeneralException UnknownHandle() {
    return BluetoothProvider::ProviderGeneralException(18, "unknown connection handle");
  }

  // Counts the call and throws the failure queued for it, if any.
  void Enter(Op op) {
    std::exception_ptr failure;
    {
      std::lock_guard lock(mutex);
      ++calls[op];
      auto& queue = failures[op];
      if (!queue.empty()) {
        failure = queue.front();
        queue.pop_front();
      }
    }
    if (failure) std::rethrow_exception(failure);
  }
  void SetGate(Op op, bool opened) {
    {
      std::lock_guard lock(mutex);
      gates[op] = opened;
    }
    gateChanged.notify_all();
  }
  void WaitGate(Op op) {
    std::unique_lock lock(mutex);
    gateChanged.wait_for(lock, std::chrono::seconds(20), [&] {
      auto it = gates.find(op);
      return it == gates.end() || it->second;
    });
  }

  mutable std::mutex mutex;
  std::condition_variable gateChanged;
  std::map<Op, std::deque<std::exception_ptr>> failures;
  std::map<Op, int> calls;
  std::map<Op, bool> gates;
  std::deque<int16_t> rssi;
  std::deque<mfab::Bytes> replies;
  std::vector<mfab::Bytes> sent;
  std::vector<uint32_t> timeouts;
  std::vector<mfab::BluetoothDevice> scanResult;
  std::optional<std::set<std::string>> validAddresses;
  std::set<uint32_t> open;
  uint32_t lastHandle = 0;
  std::string lastAddress;
  std::string lastServiceClass;
  std::atomic<bool> rssiSupported{true};
  std::atomic<int> sessionUnlocks{0};
  std::atomic<int> sessionLocks{0};
  std::atomic<int> userDataUpdates{0};
  std::atomic<int> userDataClears{0};
};

// Hands out the providers it was given; a type it has none for but knows (1, 2) cannot be
// created (InvalidProviderTypeException), any other type is unknown (null).
class FakeBtProviderFactory : public mfab::IBtProviderFactory {
 public:
  void Set(uint32_t type, std::shared_ptr<mfab::IBTProvider> provider) {
    std::lock_guard lock(mutex);
    providers[type] = std::move(provider);
  }
  void SetLegacyBleLoaded(bool loaded) { legacy = loaded; }
  int Requests() const { return requests; }

  std::shared_ptr<mfab::IBTProvider> GetProvider(uint32_t type) override {
    ++requests;
    std::lock_guard lock(mutex);
    auto it = providers.find(type);
    if (it != providers.end() && it->second) return it->second;
    if (type == mfab::kClassicProviderType || type == mfab::kBleProviderType) {
      throw BluetoothProvider::InvalidProviderTypeException();
    }
    return nullptr;
  }
  bool LegacyBleLoaded() const override { return legacy; }

 private:
  mutable std::mutex mutex;
  std::map<uint32_t, std::shared_ptr<mfab::IBTProvider>> providers;
  std::atomic<bool> legacy{false};
  std::atomic<int> requests{0};
};

// A mirroring host with no applet behind it: the manager only reads the mirror.
class NoAppletMirroringHost : public mfab::IMirroringHost {
 public:
  mfab::Bytes GetPolicyData() override { throw std::runtime_error("no applet"); }
  mfab::Bytes SendMessageUsingQueue(const mfab::Bytes&) override {
    throw std::runtime_error("no applet");
  }
  void StartUserRecordTask() override {}
  void ClearUserData() override {}
};

// Limits a test can wait out.
inline mfab::BtManagerOptions FastManagerOptions() {
  mfab::BtManagerOptions options;
  options.device.connectionMutexWait = std::chrono::milliseconds(300);
  options.device.readingPause = std::chrono::milliseconds(0);
  options.device.connectPoll = std::chrono::milliseconds(1);
  options.device.pollsWhenMonitorStarts = 3000;
  options.device.pollsWhenMonitorRuns = 3000;
  options.device.monitorCheckPeriod = std::chrono::milliseconds(10'000);
  options.device.monitorFailurePause = std::chrono::milliseconds(1);
  options.device.bleConnectWait = std::chrono::milliseconds(3000);
  options.device.legacyConnectWait = std::chrono::milliseconds(3000);
  options.scanLimit = std::chrono::milliseconds(3000);
  options.bleFirstMessageRetryPause = std::chrono::milliseconds(1);
  return options;
}

// A BtManager over fake providers (classic and BLE), an in-memory registry with its mirror, an
// OS generation set in the registry, and switches for the sleep window and the radio.
class BtManagerHarness {
 public:
  BtManagerHarness() {
    factory->Set(mfab::kClassicProviderType, classic);
    factory->Set(mfab::kBleProviderType, ble);
  }

  std::unique_ptr<mfab::BtManager> Make(mfab::BtManagerOptions options = FastManagerOptions()) {
    mfab::BtManagerDependencies deps{factory,
                                     clock,
                                     registry,
                                     *osVersion,
                                     mirroring,
                                     [this] { return sleeping.load(); },
                                     [this] { return radio.load(); }};
    auto manager = std::make_unique<mfab::BtManager>(std::move(deps), options);
    manager->WaitForStartup(std::chrono::seconds(10));
    return manager;
  }

  void SetBuild(const std::string& build) {
    platform::WriteRegistryValue(registry, keystone::kWindowsCurrentVersionKey,
                                 "CurrentBuildNumber", platform::RegValue::String(build));
  }
  void SetAndroidDevice(const std::string& text) {
    platform::WriteRegistryValue(registry, keystone::kSecureBtKey, mfab::kAndroidDeviceValue,
                                 platform::RegValue::String(text));
  }
  std::optional<std::string> AndroidDevice() {
    return platform::ReadRegistryString(registry, keystone::kSecureBtKey,
                                        mfab::kAndroidDeviceValue);
  }
  // Mirrors a policy factor id named name, and the user's entry for it.
  void MirrorFactor(const std::string& id, const std::string& name) {
    ::AuthenticateDataMirroring::PolicyFactors factors;
    factors.ReadFromRegistry(registry);
    factors.factors[id].defName = name;
    factors.WriteToRegistry(registry);
  }
  void MirrorUserEntry(const std::string& sid, const std::string& factorId, bool enrolled,
                       const std::string& bdAddress = "") {
    ::AuthenticateDataMirroring::UserData users;
    users.ReadFromRegistry(registry);
    auto& entry = users.users[sid][factorId];
    entry = {{"IsEnrolled", enrolled ? "true" : "false"}};
    if (!bdAddress.empty()) entry.push_back({"BDAddress", bdAddress});
    users.WriteToRegistry(registry, nullptr, "");
  }

  ManualClock clock;
  MemoryRegistry registry;
  MemoryFileSystem files;
  mfab::DataController dataController{registry, files};
  NoAppletMirroringHost host;
  mfab::AuthenticateDataMirroring mirroring{registry, dataController, host};
  std::unique_ptr<platform::OsVersion> osVersion = platform::CreateOsVersion(registry);
  std::shared_ptr<FakeBtProvider> classic = std::make_shared<FakeBtProvider>();
  std::shared_ptr<FakeBtProvider> ble = std::make_shared<FakeBtProvider>();
  std::shared_ptr<FakeBtProviderFactory> factory = std::make_shared<FakeBtProviderFactory>();
  std::atomic<bool> sleeping{false};
  std::atomic<bool> radio{true};
};

}  // namespace keystone::testing
