#include "bluetooth/soft_bt_manager.h"

#include <algorithm>
#include <cctype>
#include <exception>
#include <mutex>
#include <set>
#include <utility>

#include "bluetooth/bt_device_id.h"
#include "common/config_keys.h"
#include "log/logger.h"
#include "platform/registry.h"
#include "storage/authenticate_data_mirroring.h"
#include "storage/mirror_records.h"

namespace mfab {
namespace {

AuthenticateLogger& Log() { return AuthenticateLoggerService::Instance(); }

namespace records = ::AuthenticateDataMirroring;

constexpr const char* kTag = "SOFT-BT";
constexpr const char* kStartTag = "SOFT-BT-START";
constexpr const char* kEndTag = "SOFT-BT-END";
constexpr const char* kSoftBtName = "SoftBT";

// The value if it is a DWORD within [low, high], else fallback. A value of another type is
// logged and ignored.
uint32_t RangedValue(platform::RegistryKey& key, const char* name, uint32_t low, uint32_t high,
                     uint32_t fallback) {
  const std::optional<platform::RegValue> value = key.QueryValue(name);
  if (!value) return fallback;
  uint32_t number = 0;
  try {
    number = value->AsDword();
  } catch (const std::exception& e) {
    KS_LOG(Log(), kLogWarning, kTag, "Ignoring %s (%s)", name, e.what());
    return fallback;
  }
  if (number < low || number > high) {
    KS_LOG(Log(), kLogWarning, kTag, "%s %u is out of range %u..%u, using %u", name, number, low,
           high, fallback);
    return fallback;
  }
  return number;
}

// The address in lower case when text is six colon-separated hex pairs, else nullopt.
std::optional<std::string> DeviceAddress(const std::string& text) {
  if (text.size() != 17 || !ParseAddress(text)) return std::nullopt;
  std::string lower = text;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower;
}

std::string HexText(const Bytes& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (uint8_t b : bytes) {
    text += kDigits[b >> 4];
    text += kDigits[b & 0xF];
  }
  return text;
}

bool HasSoftBtEnrolled(const MirrorView& view) {
  for (const auto& [id, factor] : view.factors.factors) {
    if (factor.defName != kSoftBtName) continue;
    auto entry = view.enrolled.find(id);
    if (entry != view.enrolled.end() && records::UserData::IsEnrolled(entry->second)) return true;
  }
  return false;
}

}  // namespace

SoftBtConfiguration SoftBtConfiguration::Read(platform::Registry& registry) {
  std::unique_ptr<platform::RegistryKey> key =
      registry.CreateKey(keystone::kSoftBtKey, platform::reg_access::kReadWrite);
  SoftBtConfiguration c;
  if (std::optional<platform::RegValue> device = key->QueryValue(kSoftBtDeviceValue)) {
    std::string text;
    try {
      text = device->AsString();
    } catch (const std::exception&) {
      // Not a text: as malformed as a wrong one.
    }
    c.device = DeviceAddress(text);
    if (!c.device) {
      KS_LOG(Log(), kLogError, kTag, "device address stored in registry has incorrect format");
    }
  }
  c.periodicFoundInterval = RangedValue(*key, "PeriodicFoundInterval", 1, 50, 10);
  c.noRetries = RangedValue(*key, "NoRetries", 0, 10, 1);
  c.noRetriesNoiseEnv = RangedValue(*key, "NoRetriesNoiseEnv", 0, 10, 3);
  c.noRetriesInit = RangedValue(*key, "NoRetriesInit", 0, 10, 4);
  c.isPresentTimeout = RangedValue(*key, "IsPresentTimeout", 1, 45, 5);
  c.isPresentTimeoutFirstCall = RangedValue(*key, "IsPresentTimeoutFirstCall", 1, 45, 15);
  c.isPresentTimeoutSx = RangedValue(*key, "IsPresentTimeoutSx", 1, 45, 7);
  c.notFoundStateUpdates = RangedValue(*key, "NotFoundStateUpdates", 0, 20, 2);
  KS_LOG(Log(), kLogInfo, kTag, "Configuration: Periodic found interval %u",
         c.periodicFoundInterval);
  KS_LOG(Log(), kLogInfo, kTag, "Configuration: No. retries %u", c.noRetries);
  KS_LOG(Log(), kLogInfo, kTag, "Configuration: No. retries (Init) %u", c.noRetriesInit);
  KS_LOG(Log(), kLogInfo, kTag, "Configuration: No. retries (Noise Env) %u", c.noRetriesNoiseEnv);
  KS_LOG(Log(), kLogInfo, kTag, "Configuration: IsPresent timeout %u", c.isPresentTimeout);
  KS_LOG(Log(), kLogInfo, kTag, "Configuration: IsPresent timeout (First call) %u",
         c.isPresentTimeoutFirstCall);
  KS_LOG(Log(), kLogInfo, kTag, "Configuration: IsPresent timeout (power state) %u",
         c.isPresentTimeoutSx);
  KS_LOG(Log(), kLogInfo, kTag, "Configuration: Not found updates %u", c.notFoundStateUpdates);
  return c;
}

SoftBtManager::SoftBtManager(SoftBtManagerDependencies dependencies, Options managerOptions)
    : deps(std::move(dependencies)),
      options(managerOptions),
      config(SoftBtConfiguration::Read(deps.registry)),
      device(deps.clock, options.device) {
  KS_LOG(Log(), kLogInfo, kStartTag, "SoftBtManager");
  {
    keystone::MutexLock lock(retryMutex);
    retryBudget = config.noRetries;
  }
  const std::string configured = config.device.value_or("");
  {
    keystone::MutexLock lock(monitorMutex);
    address = configured;
  }
  device.Reset(configured);
  KS_LOG(Log(), kLogInfo, kTag, "Initializing Classic bluetooth provider...");
  SetupProvider();
  KS_LOG(Log(), kLogInfo, kEndTag, "SoftBtManager");
}

SoftBtManager::~SoftBtManager() { StopMonitor(); }

bool SoftBtManager::GoingToSleep() { return deps.goingToSleep && deps.goingToSleep(); }

void SoftBtManager::SetupProvider() {
  if (!deps.provider) {
    KS_LOG(Log(), kLogWarning, kTag, "No classic Bluetooth provider");
    return;
  }
  try {
    deps.provider->Setup();
  } catch (const std::exception& e) {
    KS_LOG(Log(), kLogWarning, kTag, "Classic provider setup failed (%s)", e.what());
  }
}

bool SoftBtManager::IsPhonePresent(const Bytes& deviceId) {
  if (GoingToSleep()) {
    KS_LOG(Log(), kLogInfo, kTag, "going to sleep");
    return false;
  }
  KS_LOG(Log(), kLogInfo, kTag, "Check phone %s is present ", HexText(deviceId).c_str());
  SoftBtDevice::ValidateDeviceId(deviceId);
  const std::string wanted = SoftBtDevice::ExtractMacAddressFromDeviceId(deviceId);

  keystone::MutexLock presence(presenceMutex);
  bool changed = false;
  {
    keystone::MutexLock lock(monitorMutex);
    if (!address.empty() && !monitor.joinable()) StartMonitorLocked();
    if (wanted != address) {
      KS_LOG(Log(), kLogInfo, kTag, "Monitored phone changes to %s", wanted.c_str());
      StopMonitorLocked();
      address = wanted;
      device.Reset(wanted);
      changed = true;
    }
  }
  uint32_t wait = config.isPresentTimeout;
  if (changed) {
    StoreDevice(wanted);
    StartMonitor();
    wait = config.isPresentTimeoutFirstCall;
  } else if (firstCall.exchange(false)) {
    wait = config.isPresentTimeoutFirstCall;
  } else if (resumed.exchange(false)) {
    wait = config.isPresentTimeoutSx;
  }
  return device.IsFound(wait);
}

void SoftBtManager::SetUserPresence(const Bytes& deviceId) {
  if (GoingToSleep()) {
    KS_LOG(Log(), kLogInfo, kTag, "going to sleep");
    return;
  }
  KS_LOG(Log(), kLogInfo, kTag, "SetUserPresence %s", HexText(deviceId).c_str());
  SoftBtDevice::ValidateDeviceId(deviceId);
  const std::string named = SoftBtDevice::ExtractMacAddressFromDeviceId(deviceId);
  keystone::MutexLock presence(presenceMutex);
  if (MonitoredAddress() != named || named.empty()) return;
  if (device.GetState() == SoftBtDevice::kNotFound) return;
  keystone::MutexLock lock(retryMutex);
  retryBudget = config.noRetriesNoiseEnv;
}

void SoftBtManager::StoreDevice(const std::string& phone) {
  try {
    std::unique_ptr<platform::RegistryKey> key =
        deps.registry.CreateKey(keystone::kSoftBtKey, platform::reg_access::kReadWrite);
    key->SetValue(kSoftBtDeviceValue, platform::RegValue::String(phone));
    key->Flush();
  } catch (const std::exception& e) {
    // The phone is monitored all the same; only a restart forgets it.
    KS_LOG(Log(), kLogError, kTag, "Storing the phone's address failed (%s)", e.what());
  }
}

void SoftBtManager::UserDataUpdated(const std::string& user) {
  KS_LOG(Log(), kLogInfo, kTag, "User data updated");
  if (!user.empty() && HasSoftBtEnrolled(deps.mirroring.ReadView(user, false))) return;
  UserDataCleared();
}

void SoftBtManager::UserDataCleared() {
  KS_LOG(Log(), kLogInfo, kTag, "User data cleared");
  {
    keystone::MutexLock lock(monitorMutex);
    StopMonitorLocked();
    address.clear();
    device.Reset("");
  }
  std::unique_ptr<platform::RegistryKey> key =
      deps.registry.OpenKey(keystone::kSoftBtKey, platform::reg_access::kReadWrite);
  if (key && key->DeleteValue(kSoftBtDeviceValue)) key->Flush();
}

void SoftBtManager::HandlePowerSleepEvent() {
  KS_LOG(Log(), kLogInfo, kStartTag, "HandlePowerSleepEvent");
  if (deps.provider) {
    try {
      deps.provider->TearDown();
    } catch (const std::exception& e) {
      KS_LOG(Log(), kLogWarning, kTag, "Classic provider tear-down failed (%s)", e.what());
    }
  }
  StopMonitor();
  KS_LOG(Log(), kLogInfo, kEndTag, "HandlePowerSleepEvent");
}

void SoftBtManager::HandlePowerResumeEvent() {
  KS_LOG(Log(), kLogInfo, kStartTag, "HandlePowerResumeEvent");
  resumed = true;
  device.Init();
  SetupProvider();
  StartMonitor();
  KS_LOG(Log(), kLogInfo, kEndTag, "HandlePowerResumeEvent");
}

void SoftBtManager::StartMonitor() {
  keystone::MutexLock lock(monitorMutex);
  StartMonitorLocked();
}

void SoftBtManager::StartMonitorLocked() {
  if (monitor.joinable()) {
    KS_LOG(Log(), kLogInfo, kTag, "Monitor valid...");
    return;
  }
  if (address.empty()) {
    KS_LOG(Log(), kLogInfo, kTag, "There is no device to monitor");
    return;
  }
  KS_LOG(Log(), kLogInfo, kTag, "Start Monitor");
  monitor = std::jthread([this](std::stop_token stop) { MonitorLoop(std::move(stop)); });
}

void SoftBtManager::StopMonitor() {
  keystone::MutexLock lock(monitorMutex);
  StopMonitorLocked();
}

void SoftBtManager::StopMonitorLocked() {
  KS_LOG(Log(), kLogInfo, kTag, "Stop Monitor");
  if (!monitor.joinable()) return;
  monitor.request_stop();
  // The thread never takes monitorMutex, so it ends while it is held here.
  monitor.join();
  monitor = std::jthread();
}

bool SoftBtManager::MonitorRunning() {
  keystone::MutexLock lock(monitorMutex);
  return monitor.joinable();
}

uint32_t SoftBtManager::RetryBudget() {
  keystone::MutexLock lock(retryMutex);
  return retryBudget;
}

std::string SoftBtManager::MonitoredAddress() {
  keystone::MutexLock lock(monitorMutex);
  return address;
}

void SoftBtManager::MonitorLoop(std::stop_token stop) {
  // The provider is set up again each time the monitor starts (it may have been torn down).
  SetupProvider();
  std::unique_lock wakeLock(wakeMutex);
  while (!stop.stop_requested()) {
    wake.wait_for(wakeLock, stop, options.passPause, [] { return false; });
    if (stop.stop_requested()) break;
    wakeLock.unlock();
    const platform::Ticks began = deps.clock.SteadyNow();
    try {
      MonitorDevice(stop);
    } catch (const std::exception& e) {
      KS_LOG(Log(), kLogError, kTag, "Monitor pass failed (%s)", e.what());
    }
    wakeLock.lock();
    if (device.GetState() == SoftBtDevice::kFound) {
      PauseUntil(wakeLock, stop,
                 deps.clock.SteadyNow() +
                     platform::ToTicks(options.device.second) *
                         static_cast<platform::Ticks>(config.periodicFoundInterval));
    } else {
      // Nothing for a pass that took as long as a real radio's; the rest of it for one that
      // failed sooner.
      PauseUntil(wakeLock, stop, began + platform::ToTicks(options.shortestMissedPass));
    }
  }
  KS_LOG(Log(), kLogInfo, kTag, "Monitor Exiting.");
}

void SoftBtManager::PauseUntil(std::unique_lock<std::mutex>& wakeLock, const std::stop_token& stop,
                               platform::Ticks until) {
  while (!stop.stop_requested() && deps.clock.SteadyNow() < until) {
    wake.wait_for(wakeLock, stop, options.pauseStep, [] { return false; });
  }
}

bool SoftBtManager::Inquire(const std::string& phone) {
  if (!deps.provider) return false;
  try {
    return deps.provider->InquiryDevice(phone);
  } catch (const std::exception& e) {
    KS_LOG(Log(), kLogWarning, kTag, "InquiryDevice failed (%s)", e.what());
    return false;
  }
}

void SoftBtManager::MonitorDevice(const std::stop_token& stop) {
  KS_LOG(Log(), kLogInfo, kTag, "Monitor Device");
  const std::string phone = device.Address();
  if (phone.empty()) return;
  uint32_t retries = 0;
  while (!stop.stop_requested()) {
    if (Inquire(phone)) {
      device.Found();
      return;
    }
    switch (device.GetState()) {
      case SoftBtDevice::kFound:
        KS_LOG(Log(), kLogInfo, kTag, "--- CurrentState - Found");
        device.Unknown();
        retries = 0;
        break;
      case SoftBtDevice::kInit:
        KS_LOG(Log(), kLogInfo, kTag, "--- CurrentState - Init");
        // A budget of 0 ends the pass at the first miss, as 1 does: a pass always ends.
        if (++retries >= config.noRetriesInit) {
          device.NotFound();
          return;
        }
        break;
      case SoftBtDevice::kUnknown:
        KS_LOG(Log(), kLogInfo, kTag, "--- CurrentState - Unknown");
        if (++retries >= RetryBudget()) {
          device.NotFound();
          return;
        }
        break;
      case SoftBtDevice::kNotFound:
        KS_LOG(Log(), kLogInfo, kTag, "--- CurrentState - Not Found ");
        device.NotFound();
        return;
    }
  }
}

}  // namespace mfab
