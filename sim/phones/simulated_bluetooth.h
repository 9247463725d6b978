#pragma once

// The Bluetooth facility over the phone simulator (keystone-phone-sim): every stack call is one
// control request to the simulator's socket, and a connection is a stream to the phone's own
// socket. A simulator that cannot be reached is a host with no radio.
// The radio's state is the exception: it is asked on every send and receive, so the stack keeps
// one WATCH stream open and the simulator pushes each change down it before the change has any
// other effect; a check is then one non-blocking read. A closed watch stream is asked again at
// once, and a simulator that cannot be reached is no radio, as before.

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "common/mutex.h"
#include "platform/bluetooth.h"

namespace phonesim {

struct SimulatedBluetoothOptions {
  // How long one control request may take; an inquiry and a service lookup may take their
  // radio time (at the real time unit) on top.
  std::chrono::milliseconds callLimit{5000};
};

// Thread-safe: it keeps the socket's path, the radio watch and the link handles it handed out.
class SimulatedBluetoothStack : public platform::BluetoothStack {
 public:
  explicit SimulatedBluetoothStack(std::string controlPath, SimulatedBluetoothOptions options = {});

  std::vector<platform::BluetoothRadio> Radios() override;
  platform::BluetoothDeviceInfo DeviceInfo(platform::BluetoothAddress address) override;
  std::vector<platform::BluetoothDeviceInfo> KnownDevices() override;
  std::vector<platform::BluetoothDeviceInfo> Inquiry(uint8_t length) override;
  std::vector<platform::BluetoothServiceRecord> LookupServices(
      platform::BluetoothAddress address) override;
  std::unique_ptr<platform::BluetoothConnection> Connect(platform::BluetoothAddress address,
                                                         uint8_t channel,
                                                         platform::Deadline deadline) override;
  int8_t ConnectionRssi(platform::BluetoothAddress address) override;
  bool CanReadConnectionRssi() override;
  // A link handle per connected phone, stable while this object lives.
  uint16_t ConnectionHandle(platform::BluetoothAddress address) override;
  // The event a controller would send: the phone's next RSSI, or status 0x02 for a handle whose
  // link is gone.
  std::vector<uint8_t> ReadRssiAnswer(uint16_t handle, std::chrono::milliseconds limit) override;
  std::optional<int> DeviceNodeProblem(platform::BluetoothAddress address) override;
  void SetDeviceNodeEnabled(platform::BluetoothAddress address, bool enabled) override;

 private:
  // One request; the OK reply's words and lines, or the simulator's refusal as a BluetoothError.
  std::pair<std::vector<std::string>, std::vector<std::string>> Request(
      const std::string& line, std::chrono::milliseconds limit);
  std::vector<platform::BluetoothDeviceInfo> Devices(const std::string& line,
                                                     std::chrono::milliseconds limit);
  // The radio as the watch stream last said; empty when the simulator cannot be reached.
  std::optional<platform::BluetoothRadio> WatchedRadio();
  // Opens a watch stream and reads its first state (bytes past that line stay in pending).
  // Throws std::system_error or ProtocolError.
  platform::UnixStream OpenWatch(std::string& pending, std::optional<platform::BluetoothRadio>& radio);
  // Applies every complete state line in pending; throws ProtocolError.
  static void ApplyStateLines(std::string& pending, std::optional<platform::BluetoothRadio>& radio);

  const std::string controlPath;
  const SimulatedBluetoothOptions options;

  keystone::Mutex watchMutex;  // Guards the members below.
  platform::UnixStream watch GUARDED_BY(watchMutex);
  std::string watchPending GUARDED_BY(watchMutex);  // a state line not yet complete
  std::optional<platform::BluetoothRadio> watchedRadio GUARDED_BY(watchMutex);
  keystone::Mutex handlesMutex;  // Guards the member below.
  std::map<uint16_t, platform::BluetoothAddress> handles GUARDED_BY(handlesMutex);
};

}  // namespace phonesim
