#include "sim/phones/bluetooth_selection.h"

#include <optional>
#include <string>

#include "common/config_keys.h"
#include "log/logger.h"
#include "platform/unix_socket.h"
#include "sim/phones/simulated_bluetooth.h"

namespace phonesim {

std::shared_ptr<platform::BluetoothStack> ChooseBluetoothStack(platform::Registry& registry) {
  std::optional<std::string> controlPath;
  try {
    if (auto key = registry.OpenKey(keystone::kSecureBtKey, platform::reg_access::kRead)) {
      if (auto value = key->QueryValue(kSimulatedPhonesValue)) controlPath = value->AsString();
    }
  } catch (const std::exception& e) {
    KS_LOG(mfab::AuthenticateLoggerMsftBt::Instance(), mfab::kLogError, "CLASSIC_BLUETOOTH",
           "Bluetooth: cannot read %s: %s; no Bluetooth factor", kSimulatedPhonesValue, e.what());
    return nullptr;
  }
  if (controlPath && !controlPath->empty()) {
    const std::string doubt =
        platform::UntrustedSocketDirectory(*controlPath, {platform::CurrentUserId(), 0});
    if (!doubt.empty()) {
      KS_LOG(mfab::AuthenticateLoggerMsftBt::Instance(), mfab::kLogError, "CLASSIC_BLUETOOTH",
             "Bluetooth: simulated phones at %s refused (%s); no Bluetooth factor",
             controlPath->c_str(), doubt.c_str());
      return nullptr;
    }
    KS_LOG(mfab::AuthenticateLoggerMsftBt::Instance(), mfab::kLogInfo, "CLASSIC_BLUETOOTH",
           "Bluetooth: simulated phones at %s", controlPath->c_str());
    return std::make_shared<SimulatedBluetoothStack>(*controlPath);
  }
  if (!platform::KernelHasBluetooth()) {
    KS_LOG(mfab::AuthenticateLoggerMsftBt::Instance(), mfab::kLogWarning, "CLASSIC_BLUETOOTH",
           "Bluetooth: no Bluetooth in this system and no simulated phones configured; no "
           "Bluetooth factor");
    return nullptr;
  }
  KS_LOG(mfab::AuthenticateLoggerMsftBt::Instance(), mfab::kLogInfo, "CLASSIC_BLUETOOTH",
         "Bluetooth: system stack");
  return platform::SystemBluetoothStack();
}

}  // namespace phonesim
