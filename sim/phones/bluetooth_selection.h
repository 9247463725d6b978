#pragma once

// Which Bluetooth facility the engine runs on: the phone simulator when the registry names its
// control socket, otherwise the operating system's stack. Called once by the composition root.

#include <memory>

#include "platform/bluetooth.h"
#include "platform/registry.h"

namespace phonesim {

// REG_SZ under Factors\SecureBT: the phone simulator's control socket path.
inline constexpr char kSimulatedPhonesValue[] = "SimulatedPhones";

// The simulated stack when SimulatedPhones is set (and its directory is one only this user or
// root can write), the system's stack when the kernel has Bluetooth; otherwise null, after one
// log line saying there is no Bluetooth factor. Never falls back from one to the other.
std::shared_ptr<platform::BluetoothStack> ChooseBluetoothStack(platform::Registry& registry);

}  // namespace phonesim
