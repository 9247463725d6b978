#include "engine/service_components.h"

#include <exception>

#include "log/logger.h"
#include "storage/data_controller.h"

namespace mfab {
namespace {

AuthenticateLogger& Log() { return AuthenticateLoggerService::Instance(); }

void NotPresentYet(const char* what) {
  KS_LOG(Log(), kLogInfo, "FLOW", "%s: component not present yet", what);
}

}  // namespace

FoundationComponents::FoundationComponents(platform::Clock& clockSource,
                                           SystemPowerStateManager::Options options)
    : clock(clockSource), powerOptions(options) {}

FoundationComponents::~FoundationComponents() { DestroyResourceManager(); }

bool FoundationComponents::StartRpcServer() {
  NotPresentYet("RPC server");
  keystone::MutexLock lock(mutex);
  if (!manager) manager = std::make_shared<SystemPowerStateManager>(clock, powerOptions);
  // Without clients to serve the service still runs and handles power and session events.
  return true;
}

void FoundationComponents::StopRpcServer() { NotPresentYet("RPC server"); }

void FoundationComponents::MirrorDataIfEmpty() { NotPresentYet("Registry mirroring"); }

bool FoundationComponents::FirmwareChanged() {
  NotPresentYet("Applet adapter");
  return false;
}

void FoundationComponents::PolicyUpdated() { NotPresentYet("Registry mirroring"); }

std::future<bool> FoundationComponents::StartTraceLogCleanup() {
  return std::async(std::launch::async, [] {
    try {
      return DataController::Default().DeleteEtlLogs();
    } catch (const std::exception& e) {
      // Default() opens the registry; a failure there ends only the clean-up.
      KS_LOG(Log(), kLogError, "FLOW", "Trace-log clean-up failed (%s)", e.what());
      return false;
    }
  });
}

void FoundationComponents::HandleOsUpgrade() { NotPresentYet("Resource manager OS upgrade"); }

void FoundationComponents::StartUserRecordTask() { NotPresentYet("User records"); }

void FoundationComponents::DestroyResourceManager() {
  std::shared_ptr<SystemPowerStateManager> destroyed;
  {
    keystone::MutexLock lock(mutex);
    destroyed = std::move(manager);
    manager.reset();
  }
  // Destroyed here, outside the lock, unless an event task still holds it; the last holder
  // then destroys it when its forward returns.
  destroyed.reset();
}

std::shared_ptr<SystemPowerStateManager> FoundationComponents::PowerStateManager() {
  keystone::MutexLock lock(mutex);
  return manager;
}

std::shared_ptr<SystemPowerStateManager> FoundationComponents::ManagerForEvent(const char* event) {
  std::shared_ptr<SystemPowerStateManager> current = PowerStateManager();
  if (!current) {
    KS_LOG(Log(), kLogWarning, "FLOW", "%s dropped: the resource manager is not running", event);
  }
  return current;
}

void FoundationComponents::HandlePowerSleepEvent() {
  if (auto m = ManagerForEvent("Sleep event")) m->Sleep();
}
void FoundationComponents::HandlePowerResumeEvent() {
  if (auto m = ManagerForEvent("Resume event")) m->Resume();
}
void FoundationComponents::HandleConnectedStandbyEnterEvent() {
  if (auto m = ManagerForEvent("Enter connected standby event")) m->EnterConnectedStandby();
}
void FoundationComponents::HandleConnectedStandbyExitEvent() {
  if (auto m = ManagerForEvent("Exit connected standby event")) m->ExitConnectedStandby();
}
void FoundationComponents::HandleLogoffEvent() {
  if (auto m = ManagerForEvent("Logoff event")) m->Logoff();
}
void FoundationComponents::HandleSessionLockEvent() {
  if (auto m = ManagerForEvent("Session lock event")) m->SessionLock();
}
void FoundationComponents::HandleSessionUnlockEvent() {
  if (auto m = ManagerForEvent("Session unlock event")) m->SessionUnlock();
}

}  // namespace mfab
