#include "bluetooth/soft_bt_device.h"

#include "bluetooth/bt_device_id.h"
#include "log/logger.h"

namespace mfab {
namespace {

AuthenticateLogger& Log() { return AuthenticateLoggerService::Instance(); }

constexpr const char* kTag = "SOFT-BT";

const char* StateLine(SoftBtDevice::State state) {
  switch (state) {
    case SoftBtDevice::kInit: return ">>>> INIT ";
    case SoftBtDevice::kFound: return ">>>> FOUND ";
    case SoftBtDevice::kNotFound: return ">>>> NOT FOUND ";
    case SoftBtDevice::kUnknown: return ">>> UNKNOWN ";
  }
  return "";
}

}  // namespace

SoftBtDevice::SoftBtDevice(platform::Clock& deviceClock, Options deviceOptions)
    : clock(deviceClock), options(deviceOptions) {
  keystone::MutexLock lock(mutex);
  stateTime = clock.SteadyNow();
  stateCount = 1;
}

void SoftBtDevice::Init() { SetState(kInit); }
void SoftBtDevice::Found() { SetState(kFound); }
void SoftBtDevice::NotFound() { SetState(kNotFound); }
void SoftBtDevice::Unknown() { SetState(kUnknown); }

void SoftBtDevice::SetState(State next) {
  {
    keystone::MutexLock lock(mutex);
    SetStateLocked(next);
  }
  changed.notify_all();
}

void SoftBtDevice::SetStateLocked(State next) {
  KS_LOG(Log(), kLogInfo, kTag, "%s", StateLine(next));
  if (state != next) {
    state = next;
    stateTime = clock.SteadyNow();
    stateCount = 1;
  } else {
    ++stateCount;
  }
}

void SoftBtDevice::Reset(const std::string& newAddress) {
  {
    keystone::MutexLock lock(mutex);
    address = newAddress;
    SetStateLocked(kInit);
  }
  changed.notify_all();
}

template <typename Done>
SoftBtDevice::State SoftBtDevice::WaitFor(uint32_t seconds, Done done) {
  const platform::Ticks deadline =
      clock.SteadyNow() + platform::ToTicks(options.second) * static_cast<platform::Ticks>(seconds);
  keystone::MutexLock lock(mutex);
  while (true) {
    if (done(state)) {
      KS_LOG(Log(), kLogInfo, kTag, "Device state updated ");
      break;
    }
    if (clock.SteadyNow() >= deadline) break;
    // A change wakes the wait early; the step bounds how late a passed deadline is noticed.
    changed.wait_for(lock.Native(), options.pollStep);
  }
  return state;
}

bool SoftBtDevice::IsFound(uint32_t seconds) {
  KS_LOG(Log(), kLogInfo, kTag, "IsFound with timeout of %u", seconds);
  switch (GetState()) {
    case kFound:
    case kUnknown:
      KS_LOG(Log(), kLogInfo, kTag, "Device Found");
      return true;
    case kNotFound:
      return WaitForStatusFound(seconds);
    case kInit:
      break;
  }
  return WaitForStatusChange(seconds);
}

bool SoftBtDevice::WaitForStatusChange(uint32_t seconds) {
  const State reached =
      WaitFor(seconds, [](State s) { return s == kFound || s == kNotFound; });
  switch (reached) {
    case kNotFound:
      KS_LOG(Log(), kLogInfo, kTag, "Device NOT_FOUND");
      return false;
    case kInit:
      KS_LOG(Log(), kLogInfo, kTag, "Device at INIT state");
      return false;
    case kFound:
    case kUnknown:
      break;
  }
  KS_LOG(Log(), kLogInfo, kTag, "Device FOUND");
  return true;
}

bool SoftBtDevice::WaitForStatusFound(uint32_t seconds) {
  if (WaitFor(seconds, [](State s) { return s == kFound; }) == kFound) {
    KS_LOG(Log(), kLogInfo, kTag, "Device Found");
    return true;
  }
  KS_LOG(Log(), kLogInfo, kTag, "Device not Found");
  return false;
}

SoftBtDevice::State SoftBtDevice::GetState() {
  keystone::MutexLock lock(mutex);
  return state;
}

uint32_t SoftBtDevice::StateCount() {
  keystone::MutexLock lock(mutex);
  return stateCount;
}

platform::Ticks SoftBtDevice::StateTime() {
  keystone::MutexLock lock(mutex);
  return stateTime;
}

std::string SoftBtDevice::Address() {
  keystone::MutexLock lock(mutex);
  return address;
}

void SoftBtDevice::SetAddress(const std::string& newAddress) {
  keystone::MutexLock lock(mutex);
  address = newAddress;
}

void SoftBtDevice::ValidateDeviceId(const Bytes& deviceId) {
  KS_LOG(Log(), kLogInfo, kTag, "Device ID size is %zu", deviceId.size());
  mfab::ValidateDeviceId(deviceId);
}

std::string SoftBtDevice::ExtractMacAddressFromDeviceId(const Bytes& deviceId) {
  return DeviceIdAddress(deviceId);
}

}  // namespace mfab
