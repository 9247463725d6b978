// A simulated BLE bridge: the bridge interface of bluetooth/ble_bridge_abi.h over devices that
// live in this library, for tests and the demo. The devices come from the environment when the
// factory runs (docs/ble-bridge.md):
//
//   KEYSTONE_SIM_BLE_DEVICES  "AA:BB:CC:DD:EE:FF=Name=RSSI[=noservice];..."
//   KEYSTONE_SIM_BLE_FACTORY  "null" makes the factory return no object
//
// A connected device answers each message with its bytes inverted, like the simulated phones.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "bluetooth/ble_bridge_abi.h"

namespace {

struct Device {
  std::string address;
  std::string name;
  int16_t rssi = -50;
  bool hasService = true;
};

struct Link {
  std::string address;
  std::deque<std::vector<uint8_t>> replies;
};

class SimBridge {
 public:
  explicit SimBridge(const KeystoneBleLogSink* logSink) : sink(*logSink) {
    if (const char* text = std::getenv("KEYSTONE_SIM_BLE_DEVICES")) Parse(text);
  }

  void Log(int32_t level, const std::string& text) const {
    if (sink.writeLog) sink.writeLog(sink.context, level, text.c_str());
  }

  int32_t Scan(KeystoneBleDeviceRecord* records, uint32_t* count) {
    std::lock_guard lock(mutex);
    uint32_t filled = 0;
    for (const Device& device : devices) {
      if (filled == *count) break;
      KeystoneBleDeviceRecord& record = records[filled++];
      std::memset(&record, 0, sizeof record);
      for (size_t i = 0; i < device.name.size() && i < KEYSTONE_BLE_NAME_CHARS - 1; ++i) {
        record.name[i] = static_cast<unsigned char>(device.name[i]);
      }
      for (size_t i = 0; i < device.address.size() && i < KEYSTONE_BLE_ADDRESS_CHARS - 1; ++i) {
        record.address[i] = static_cast<unsigned char>(device.address[i]);
      }
      record.authenticated = 1;
      record.isBle = 1;
    }
    *count = filled;
    Log(0, "scan found " + std::to_string(filled) + " devices");
    return 0;
  }

  int32_t Connect(const KeystoneBleDeviceRecord* record) {
    const std::string address = AddressOf(*record);
    std::lock_guard lock(mutex);
    const Device* device = Find(address);
    if (!device) return KEYSTONE_BLE_RESULT_CONNECTION_FAILED;
    if (!device->hasService) return KEYSTONE_BLE_RESULT_SERVICE_NOT_FOUND;
    for (const auto& [handle, link] : links) {
      if (link.address == address) return static_cast<int32_t>(handle);
    }
    const uint32_t handle = ++lastHandle;
    links[handle] = Link{address, {}};
    Log(0, "connected " + address + " as " + std::to_string(handle));
    return static_cast<int32_t>(handle);
  }

  int32_t Disconnect(uint32_t handle) {
    std::lock_guard lock(mutex);
    links.erase(handle);
    return 0;
  }

  int32_t Send(uint32_t handle, const uint8_t* data, uint32_t length) {
    std::lock_guard lock(mutex);
    auto it = links.find(handle);
    if (it == links.end()) return KEYSTONE_BLE_RESULT_CONNECTION_FAILED;
    std::vector<uint8_t> reply(data, data + length);
    for (uint8_t& byte : reply) byte = static_cast<uint8_t>(~byte);
    it->second.replies.push_back(std::move(reply));
    arrived.notify_all();
    return 0;
  }

  int32_t Receive(uint32_t handle, uint8_t* buffer, uint32_t size, uint32_t timeoutMs) {
    std::unique_lock lock(mutex);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    const bool ready = arrived.wait_until(lock, deadline, [&] {
      auto it = links.find(handle);
      return it == links.end() || !it->second.replies.empty();
    });
    auto it = links.find(handle);
    if (it == links.end()) return KEYSTONE_BLE_RESULT_CONNECTION_FAILED;
    if (!ready) return KEYSTONE_BLE_RESULT_TIMEOUT;
    std::vector<uint8_t> reply = std::move(it->second.replies.front());
    it->second.replies.pop_front();
    const uint32_t length = reply.size() < size ? static_cast<uint32_t>(reply.size()) : size;
    std::memcpy(buffer, reply.data(), length);
    return static_cast<int32_t>(length);
  }

  int16_t Rssi(const KeystoneBleDeviceRecord* record) {
    const std::string address = AddressOf(*record);
    std::lock_guard lock(mutex);
    for (const auto& [handle, link] : links) {
      if (link.address == address) return Find(address)->rssi;
    }
    return KEYSTONE_BLE_RSSI_NO_LINK;
  }

  void TearDown() {
    std::lock_guard lock(mutex);
    links.clear();
    arrived.notify_all();
  }

 private:
  static std::string AddressOf(const KeystoneBleDeviceRecord& record) {
    std::string address;
    for (size_t i = 0; i < KEYSTONE_BLE_ADDRESS_CHARS && record.address[i] != 0; ++i) {
      address += static_cast<char>(record.address[i] & 0x7F);
    }
    return address;
  }

  const Device* Find(const std::string& address) const {
    for (const Device& device : devices) {
      if (device.address == address) return &device;
    }
    return nullptr;
  }

  void Parse(const std::string& text) {
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find(';', start);
      if (end == std::string::npos) end = text.size();
      std::vector<std::string> fields;
      size_t from = start;
      while (from <= end) {
        size_t to = text.find('=', from);
        if (to == std::string::npos || to > end) to = end;
        fields.push_back(text.substr(from, to - from));
        from = to + 1;
      }
      if (fields.size() >= 3) {
        Device device{fields[0], fields[1],
                      static_cast<int16_t>(std::strtol(fields[2].c_str(), nullptr, 10)),
                      !(fields.size() > 3 && fields[3] == "noservice")};
        devices.push_back(device);
      }
      start = end + 1;
    }
  }

  const KeystoneBleLogSink sink;
  std::vector<Device> devices;  // fixed after construction
  std::mutex mutex;
  std::condition_variable arrived;
  std::map<uint32_t, Link> links;
  uint32_t lastHandle = 0;
};

SimBridge& Self(void* self) { return *static_cast<SimBridge*>(self); }

const KeystoneBleGattCalls kCalls = {
    [](void* self, uint32_t, KeystoneBleDeviceRecord* records, uint32_t* count) {
      return Self(self).Scan(records, count);
    },
    [](void* self, const KeystoneBleDeviceRecord* device) { return Self(self).Connect(device); },
    [](void* self, uint32_t handle) { return Self(self).Disconnect(handle); },
    [](void* self, uint32_t handle, const uint8_t* data, uint32_t length) {
      return Self(self).Send(handle, data, length);
    },
    [](void* self, uint32_t handle, uint8_t* buffer, uint32_t size, uint32_t timeoutMs) {
      return Self(self).Receive(handle, buffer, size, timeoutMs);
    },
    [](void* self, const KeystoneBleDeviceRecord* device) { return Self(self).Rssi(device); },
    [](void* self) { Self(self).Log(0, "setup"); },
    [](void* self) {
      Self(self).TearDown();
      Self(self).Log(0, "tear down");
    },
    [](void*) {},
    [](void*) {},
    [](void*) {},
    [](void*) {},
};

}  // namespace

extern "C" __attribute__((visibility("default"))) KeystoneBleGattInstance* CreateBleGattInstance(
    const KeystoneBleLogSink* sink) {
  const char* factory = std::getenv("KEYSTONE_SIM_BLE_FACTORY");
  if (!sink || (factory && std::strcmp(factory, "null") == 0)) return nullptr;
  // The engine never frees the object: it lives as long as the library stays loaded.
  static SimBridge* bridge = new SimBridge(sink);
  static KeystoneBleGattInstance instance{KEYSTONE_BLE_ABI_VERSION,
                                          sizeof(KeystoneBleGattInstance), &kCalls, bridge};
  bridge->Log(0, "simulated BLE bridge ready");
  return &instance;
}
