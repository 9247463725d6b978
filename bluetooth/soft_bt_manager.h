#pragma once

// The phone-presence monitor ("SoftBT"): tells whether the user's paired phone is within reach,
// without connecting to it. A monitor thread asks the classic provider again and again whether
// the phone answers an inquiry, and SoftBtDevice turns the answers into Found / Not found with
// retry budgets. Configuration comes from the registry key of the factor, read once.
//
// Thread-safe. IsPhonePresent and SetUserPresence run one after the other under the manager's
// mutex (a presence query holds it while it waits); the monitor thread shares only the device
// (its own mutex) and the retry budget (its own mutex). The monitor's lifecycle lock is held
// while the thread is joined, never while a provider, the registry or the mirror is called by a
// query. Queries throw BluetoothExceptions::InvalidDeviceIdException for a malformed id; the
// monitor thread logs its failures and goes on.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "bluetooth/soft_bt_device.h"
#include "bluetooth/soft_bt_provider.h"
#include "common/mutex.h"
#include "engine/phone_presence_monitor.h"
#include "platform/clock.h"

namespace platform {
class Registry;
}  // namespace platform

namespace mfab {

class AuthenticateDataMirroring;

// The registry value naming the monitored phone.
inline constexpr const char* kSoftBtDeviceValue = "Device";

// The factor's registry values after range checks; an absent or out-of-range value has its
// default.
struct SoftBtConfiguration {
  std::optional<std::string> device;  // lower case; none when absent or malformed
  uint32_t periodicFoundInterval = 10;
  uint32_t noRetries = 1;
  uint32_t noRetriesNoiseEnv = 3;
  uint32_t noRetriesInit = 4;
  uint32_t isPresentTimeout = 5;
  uint32_t isPresentTimeoutFirstCall = 15;
  uint32_t isPresentTimeoutSx = 7;
  uint32_t notFoundStateUpdates = 2;

  // Reads (creating the key when missing) and logs each value. Throws RegistryError when the
  // store fails.
  static SoftBtConfiguration Read(platform::Registry& registry);
};

struct SoftBtManagerOptions {
  SoftBtDeviceOptions device;
  // The pause before each monitor pass.
  std::chrono::milliseconds passPause{1};
  // A pass that did not find the phone is followed by a pause until this long after it began. A
  // real radio gives up on an absent phone only after its page time-out (5.12 s), so its passes
  // never end sooner; one that did (no radio, no provider, a phone that is not paired, a stack
  // that fails at once) would otherwise be repeated at once, hundreds of times a second.
  std::chrono::milliseconds shortestMissedPass{5120};
  // How often the waits between passes look at the clock and the stop flag.
  std::chrono::milliseconds pauseStep{100};
};

// What the manager is built from. References are borrowed and must outlive it.
struct SoftBtManagerDependencies {
  // Null: no Bluetooth stack; every inquiry counts as a miss.
  std::shared_ptr<ISoftBtProvider> provider;
  platform::Clock& clock;
  platform::Registry& registry;
  // The registry mirror: whether a user has the presence factor enrolled.
  AuthenticateDataMirroring& mirroring;
  // Whether a sleep is in progress (the power-state manager's test, which also ends a sleep
  // whose window passed). Empty: never.
  std::function<bool()> goingToSleep;
};

class SoftBtManager final : public IPhonePresenceMonitor {
 public:
  using Options = SoftBtManagerOptions;

  // Reads the configuration and sets the provider up; the monitor starts with the first query.
  explicit SoftBtManager(SoftBtManagerDependencies dependencies, Options options = {});
  // Stops the monitor.
  ~SoftBtManager() override;
  SoftBtManager(const SoftBtManager&) = delete;
  SoftBtManager& operator=(const SoftBtManager&) = delete;

  // False while going to sleep; otherwise the device's answer after a wait of up to the
  // configured seconds (the first-call wait for the first query and after a change of phone,
  // the resume wait for the first query after a resume). A new phone is stored as "Device".
  bool IsPhonePresent(const Bytes& deviceId) override;
  // Raises the retry budget to the noisy-environment one when the id names the monitored phone
  // and the phone is not gone already.
  void SetUserPresence(const Bytes& deviceId) override;
  void UserDataUpdated(const std::string& user) override;
  void UserDataCleared() override;

  void HandlePowerSleepEvent() override;
  void HandlePowerResumeEvent() override;

  void StartMonitor();
  void StopMonitor();

  bool MonitorRunning();
  const SoftBtConfiguration& Configuration() const { return config; }
  uint32_t RetryBudget();
  std::string MonitoredAddress();
  SoftBtDevice& Device() { return device; }

 private:
  bool GoingToSleep();
  void StartMonitorLocked() REQUIRES(monitorMutex);
  void StopMonitorLocked() REQUIRES(monitorMutex);
  void MonitorLoop(std::stop_token stop);
  void MonitorDevice(const std::stop_token& stop);
  // Waits until the clock reaches until or a stop is requested; wakeLock holds wakeMutex.
  void PauseUntil(std::unique_lock<std::mutex>& wakeLock, const std::stop_token& stop,
                  platform::Ticks until);
  // One inquiry; a failure is a miss.
  bool Inquire(const std::string& address);
  void SetupProvider();
  void StoreDevice(const std::string& address);

  SoftBtManagerDependencies deps;
  const Options options;
  const SoftBtConfiguration config;
  SoftBtDevice device;
  std::atomic<bool> firstCall{true};
  std::atomic<bool> resumed{false};

  keystone::Mutex presenceMutex;  // Serialises IsPhonePresent and SetUserPresence.
  keystone::Mutex retryMutex;     // Guards the member below.
  uint32_t retryBudget GUARDED_BY(retryMutex);

  keystone::Mutex monitorMutex;  // Guards the members below.
  std::string address GUARDED_BY(monitorMutex);  // the configured phone; empty: none
  std::jthread monitor GUARDED_BY(monitorMutex);

  // Wakes the wait between passes when a stop is requested.
  std::mutex wakeMutex;
  std::condition_variable_any wake;
};

}  // namespace mfab
