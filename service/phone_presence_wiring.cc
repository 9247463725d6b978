#include "service/phone_presence_wiring.h"

#include <exception>
#include <string>
#include <utility>

#include "engine/resource_manager.h"
#include "log/logger.h"
#include "service/owned_resource_manager.h"

namespace mfab {
namespace {

constexpr const char* kComponent = "phone_presence";

}  // namespace

PhonePresenceWiring MakePhonePresenceMonitor(PhonePresenceEnvironment environment) {
  if (!environment.factory) {
    return {nullptr, {kComponent, false, "no Bluetooth stack and no simulated phones"}};
  }
  SoftBtManagerDependencies dependencies{
      std::make_shared<ClassicSoftBtProvider>(std::move(environment.factory)),
      environment.clock,
      environment.registry,
      environment.mirroring,
      GoingToSleepProbe(environment.resources)};
  try {
    return {std::make_shared<SoftBtManager>(std::move(dependencies), environment.options),
            {kComponent, true, ""}};
  } catch (const std::exception& e) {
    KS_LOG(AuthenticateLoggerService::Instance(), kLogError, "SOFT-BT",
           "The phone-presence monitor could not be created (%s)", e.what());
    return {nullptr, {kComponent, false, std::string("configuration unreadable: ") + e.what()}};
  }
}

}  // namespace mfab
