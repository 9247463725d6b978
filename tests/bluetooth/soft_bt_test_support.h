#pragma once

// A scriptable presence provider and a SoftBtManager over it with an in-memory registry, mirror
// and manual clock.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "bluetooth/soft_bt_manager.h"
#include "bluetooth/soft_bt_provider.h"
#include "tests/bluetooth/fake_bt_provider.h"
#include "tests/fakes/eventually.h"

namespace keystone::testing {

// Answers inquiries from a script (true: the phone answers; false: a miss). With the script
// used up an inquiry waits until more is scripted or the provider is released (then it misses),
// so a test sees the monitor stop exactly where the script ends. Records each inquiry's address
// and the manual clock's time.
class ScriptedPresenceProvider : public mfab::ISoftBtProvider {
 public:
  explicit ScriptedPresenceProvider(platform::Clock& testClock) : clock(testClock) {}
  ~ScriptedPresenceProvider() override { Release(); }

  void Script(std::vector<bool> answers) {
    {
      std::lock_guard lock(mutex);
      script.insert(script.end(), answers.begin(), answers.end());
    }
    changed.notify_all();
  }
  // The next inquiries throw instead of answering.
  void FailNext(int count) {
    {
      std::lock_guard lock(mutex);
      failures += count;
    }
    changed.notify_all();
  }
  void Release() {
    {
      std::lock_guard lock(mutex);
      released = true;
    }
    changed.notify_all();
  }
  // Whether an inquiry is waiting for more script.
  bool Waiting() const {
    std::lock_guard lock(mutex);
    return waiting;
  }
  int Inquiries() const {
    std::lock_guard lock(mutex);
    return static_cast<int>(times.size());
  }
  std::vector<platform::Ticks> InquiryTimes() const {
    std::lock_guard lock(mutex);
    return times;
  }
  std::string LastAddress() const {
    std::lock_guard lock(mutex);
    return lastAddress;
  }
  int Setups() const { return setups; }
  int TearDowns() const { return tearDowns; }

  void Setup() override { ++setups; }
  void TearDown() override { ++tearDowns; }
  bool InquiryDevice(const std::string& address) override {
    std::unique_lock lock(mutex);
    // A failure scripted while this inquiry waits still applies to it.
    waiting = true;
    changed.wait_for(lock, std::chrono::seconds(20),
                     [&] { return !script.empty() || released || failures > 0; });
    waiting = false;
    if (failures > 0) {
      --failures;
      throw BluetoothProvider::DeviceNotPairedException();
    }
    if (script.empty()) return false;
    times.push_back(clock.SteadyNow());
    lastAddress = address;
    const bool answer = script.front();
    script.pop_front();
    return answer;
  }

 private:
  platform::Clock& clock;
  mutable std::mutex mutex;
  std::condition_variable changed;
  std::deque<bool> script;
  std::vector<platform::Ticks> times;
  std::string lastAddress;
  int failures = 0;
  bool waiting = false;
  bool released = false;
  std::atomic<int> setups{0};
  std::atomic<int> tearDowns{0};
};

inline constexpr char kPhone[] = "a1:b2:c3:d4:e5:f6";
inline const mfab::Bytes kPhoneId{0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6, 1, 0};
inline const mfab::Bytes kOtherPhoneId{0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 1, 0};

inline mfab::SoftBtManagerOptions FastPresenceOptions() {
  mfab::SoftBtManagerOptions options;
  options.device.pollStep = std::chrono::milliseconds(1);
  options.passPause = std::chrono::milliseconds(0);
  options.pauseStep = std::chrono::milliseconds(1);
  // The scripted provider answers at once; the tests of the pause after such a pass set it.
  options.shortestMissedPass = std::chrono::milliseconds(0);
  return options;
}

class SoftBtHarness {
 public:
  ~SoftBtHarness() { Stop(); }

  // Ends the manager; a hanging inquiry ends first, so the monitor can stop.
  void Stop() {
    provider->Release();
    manager.reset();
  }

  // The manager, owned by the harness.
  mfab::SoftBtManager* Make(mfab::SoftBtManagerOptions options = FastPresenceOptions()) {
    manager = std::make_unique<mfab::SoftBtManager>(
        mfab::SoftBtManagerDependencies{provider, bt.clock, bt.registry, bt.mirroring,
                                        [this] { return sleeping.load(); }},
        options);
    return manager.get();
  }
  void SetValue(const std::string& name, const platform::RegValue& value) {
    platform::WriteRegistryValue(bt.registry, keystone::kSoftBtKey, name, value);
  }
  void SetDword(const std::string& name, uint32_t value) {
    SetValue(name, platform::RegValue::Dword(value));
  }
  std::optional<std::string> StoredDevice() {
    return platform::ReadRegistryString(bt.registry, keystone::kSoftBtKey,
                                        mfab::kSoftBtDeviceValue);
  }
  // Moves the manual clock on in steps until condition holds (10 s of real time at most): the
  // monitor may not yet have begun the wait that a single step was meant to end.
  bool AdvanceUntil(const std::function<bool()>& condition,
                    std::chrono::milliseconds step = std::chrono::seconds(10)) {
    return Eventually([&] {
      if (condition()) return true;
      bt.clock.Advance(step);
      return false;
    });
  }
  // IsPhonePresent, moving the manual clock on while the phone is NotFound: the query then waits
  // its whole timeout for Found, and the monitor may reach NotFound before the query looks.
  bool Query(const mfab::Bytes& id) {
    auto result = std::async(std::launch::async, [&] { return manager->IsPhonePresent(id); });
    while (result.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready) {
      if (manager->Device().GetState() == mfab::SoftBtDevice::kNotFound) {
        bt.clock.Advance(std::chrono::seconds(1));
      }
    }
    return result.get();
  }
  // Waits until the monitor has used up the script.
  bool MonitorIdle() {
    return Eventually([this] { return provider->Waiting(); });
  }

  BtManagerHarness bt;  // the registry, mirror and clock
  std::shared_ptr<ScriptedPresenceProvider> provider =
      std::make_shared<ScriptedPresenceProvider>(bt.clock);
  std::atomic<bool> sleeping{false};
  std::unique_ptr<mfab::SoftBtManager> manager;
};

}  // namespace keystone::testing
