// The BLE bridge over BlueZ: the bridge interface of bluetooth/ble_bridge_abi.h on BlueZ's GATT
// objects on the system bus (docs/ble-bridge.md). The phone application offers one GATT service
// with a request characteristic (written) and a reply characteristic (notified); a message is one
// write, its reply one notification.
//
// One bus connection, one mutex: every call holds it, and receive holds it while it waits, so a
// receive on one link delays calls on the others for at most its time-out.

#include <systemd/sd-bus.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bluetooth/ble_bridge_abi.h"

namespace {

constexpr char kServiceUuid[] = "6a1e5c43-8f0b-4d8e-9b6e-4f5f3b2a7c19";
constexpr char kRequestUuid[] = "6a1e5c44-8f0b-4d8e-9b6e-4f5f3b2a7c19";
constexpr char kReplyUuid[] = "6a1e5c45-8f0b-4d8e-9b6e-4f5f3b2a7c19";
// What one write may carry (the largest attribute value).
constexpr size_t kMaxWrite = 512;
// Replies waiting per link before the oldest is dropped.
constexpr size_t kMaxQueuedReplies = 16;
constexpr uint64_t kConnectCallUsec = 20'000'000;
constexpr auto kServicesResolvedLimit = std::chrono::seconds(10);
constexpr auto kResolvePoll = std::chrono::milliseconds(100);
constexpr uint32_t kMaxDiscoverySeconds = 30;
// Failures of this library's own (beside the interface's result codes).
constexpr int32_t kResultInvalid = -22;
constexpr int32_t kResultNoBus = -5;        // no system bus, or no BlueZ on it
constexpr int32_t kResultNoAdapter = -19;    // BlueZ runs, but without an adapter

struct BusUnref {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct MessageUnref {
  void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
struct SlotUnref {
  void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};
using BusPtr = std::unique_ptr<sd_bus, BusUnref>;
using MessagePtr = std::unique_ptr<sd_bus_message, MessageUnref>;
using SlotPtr = std::unique_ptr<sd_bus_slot, SlotUnref>;

struct BusError {
  sd_bus_error error = {nullptr, nullptr, 0};
  ~BusError() { sd_bus_error_free(&error); }
  std::string Text() const {
    return error.message ? error.message : (error.name ? error.name : "D-Bus call failed");
  }
};

// The properties of one BlueZ object this bridge reads.
struct Properties {
  std::string address, alias, uuid, device;
  std::vector<std::string> uuids;
  bool paired = false, connected = false, servicesResolved = false;
  std::optional<int16_t> rssi;
};

struct Object {
  std::string path;
  std::map<std::string, Properties> interfaces;
};

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Reads one {sv} entry into properties; others are skipped.
int ReadProperty(sd_bus_message* m, Properties& p) {
  const char* name = nullptr;
  int r = sd_bus_message_read(m, "s", &name);
  if (r < 0) return r;
  const std::string key = name;
  auto text = [&](std::string& out) {
    const char* value = nullptr;
    const char* type = key == "Device" ? "o" : "s";
    int rr = sd_bus_message_read(m, "v", type, &value);
    if (rr >= 0 && value) out = value;
    return rr;
  };
  auto flag = [&](bool& out) {
    int value = 0;
    int rr = sd_bus_message_read(m, "v", "b", &value);
    out = value != 0;
    return rr;
  };
  if (key == "Address") return text(p.address);
  if (key == "Alias") return text(p.alias);
  if (key == "UUID") return text(p.uuid);
  if (key == "Device") return text(p.device);
  if (key == "Paired") return flag(p.paired);
  if (key == "Connected") return flag(p.connected);
  if (key == "ServicesResolved") return flag(p.servicesResolved);
  if (key == "RSSI") {
    int16_t value = 0;
    int rr = sd_bus_message_read(m, "v", "n", &value);
    if (rr >= 0) p.rssi = value;
    return rr;
  }
  if (key == "UUIDs") {
    int rr = sd_bus_message_enter_container(m, 'v', "as");
    if (rr < 0) return rr;
    char** list = nullptr;
    rr = sd_bus_message_read_strv(m, &list);
    if (rr < 0) return rr;
    for (char** item = list; item && *item; ++item) {
      p.uuids.push_back(Lower(*item));
      free(*item);
    }
    free(list);
    return sd_bus_message_exit_container(m);
  }
  return sd_bus_message_skip(m, "v");
}

int ReadProperties(sd_bus_message* m, Properties& p) {
  int r = sd_bus_message_enter_container(m, 'a', "{sv}");
  if (r < 0) return r;
  while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
    if ((r = ReadProperty(m, p)) < 0) return r;
    if ((r = sd_bus_message_exit_container(m)) < 0) return r;
  }
  if (r < 0) return r;
  return sd_bus_message_exit_container(m);
}

struct Link {
  std::string address;
  std::string devicePath;
  std::string requestPath;
  std::string replyPath;
  std::deque<std::vector<uint8_t>> replies;
  SlotPtr match;
  bool lost = false;
};

class BluezGattBridge {
 public:
  explicit BluezGattBridge(const KeystoneBleLogSink& logSink) : sink(logSink) {}

  void Log(int32_t level, const std::string& text) const {
    if (sink.writeLog) sink.writeLog(sink.context, level, text.c_str());
  }

  int32_t Scan(uint32_t seconds, KeystoneBleDeviceRecord* records, uint32_t* count) {
    std::lock_guard lock(mutex);
    if (!OpenLocked()) return kResultNoBus;
    std::vector<Object> objects;
    if (!ObjectsLocked(objects)) return kResultNoBus;
    if (AdapterOf(objects).empty()) {
      Log(2, "no Bluetooth adapter: BlueZ lists no org.bluez.Adapter1");
      return kResultNoAdapter;
    }
    if (seconds > 0) {
      DiscoverLocked(std::min(seconds, kMaxDiscoverySeconds));
      if (!ObjectsLocked(objects)) return kResultNoBus;
    }
    uint32_t filled = 0;
    for (const Object& object : objects) {
      auto it = object.interfaces.find("org.bluez.Device1");
      if (it == object.interfaces.end() || filled == *count) continue;
      const Properties& device = it->second;
      if (std::find(device.uuids.begin(), device.uuids.end(), kServiceUuid) == device.uuids.end())
        continue;
      KeystoneBleDeviceRecord& record = records[filled++];
      std::memset(&record, 0, sizeof record);
      // Names are copied as bytes below 0x80 only; others become '?' (the engine reads UTF-16).
      for (size_t i = 0; i < device.alias.size() && i < KEYSTONE_BLE_NAME_CHARS - 1; ++i) {
        const auto c = static_cast<unsigned char>(device.alias[i]);
        record.name[i] = c < 0x80 ? c : '?';
      }
      for (size_t i = 0; i < device.address.size() && i < KEYSTONE_BLE_ADDRESS_CHARS - 1; ++i) {
        record.address[i] = static_cast<unsigned char>(device.address[i]);
      }
      record.authenticated = device.paired ? 1 : 0;
      record.isBle = 1;
    }
    *count = filled;
    return 0;
  }

  int32_t Connect(const KeystoneBleDeviceRecord& record) {
    const std::string address = AddressOf(record);
    std::lock_guard lock(mutex);
    if (!OpenLocked()) return kResultNoBus;
    for (const auto& [handle, link] : links) {
      if (link->address == address && !link->lost) return static_cast<int32_t>(handle);
    }
    std::vector<Object> objects;
    if (!ObjectsLocked(objects)) return kResultNoBus;
    if (AdapterOf(objects).empty()) {
      Log(2, "no Bluetooth adapter: BlueZ lists no org.bluez.Adapter1");
      return kResultNoAdapter;
    }
    std::string devicePath;
    bool connected = false;
    for (const Object& object : objects) {
      auto it = object.interfaces.find("org.bluez.Device1");
      if (it != object.interfaces.end() && it->second.address == address) {
        devicePath = object.path;
        connected = it->second.connected;
      }
    }
    if (devicePath.empty()) return KEYSTONE_BLE_RESULT_CONNECTION_FAILED;
    if (!connected && !CallLocked(devicePath, "org.bluez.Device1", "Connect", kConnectCallUsec)) {
      return KEYSTONE_BLE_RESULT_CONNECTION_FAILED;
    }
    auto link = std::make_unique<Link>();
    link->address = address;
    link->devicePath = devicePath;
    // Characteristics appear once BlueZ has resolved the services.
    const auto deadline = std::chrono::steady_clock::now() + kServicesResolvedLimit;
    while (link->requestPath.empty() || link->replyPath.empty()) {
      if (!ObjectsLocked(objects)) return kResultNoBus;
      FindCharacteristics(objects, *link);
      if (!link->requestPath.empty() && !link->replyPath.empty()) break;
      if (std::chrono::steady_clock::now() >= deadline) {
        Log(1, "no keystone service on " + address);
        return KEYSTONE_BLE_RESULT_SERVICE_NOT_FOUND;
      }
      std::this_thread::sleep_for(kResolvePoll);
    }
    Link* target = link.get();
    sd_bus_slot* slot = nullptr;
    int r = sd_bus_match_signal(bus.get(), &slot, "org.bluez", link->replyPath.c_str(),
                                "org.freedesktop.DBus.Properties", "PropertiesChanged",
                                &BluezGattBridge::OnReply, target);
    if (r < 0) return KEYSTONE_BLE_RESULT_CONNECTION_FAILED;
    link->match.reset(slot);
    if (!CallLocked(link->replyPath, "org.bluez.GattCharacteristic1", "StartNotify", 0)) {
      return KEYSTONE_BLE_RESULT_SERVICE_NOT_FOUND;
    }
    const uint32_t handle = ++lastHandle;
    links[handle] = std::move(link);
    Log(0, "connected " + address);
    return static_cast<int32_t>(handle);
  }

  int32_t Disconnect(uint32_t handle) {
    std::lock_guard lock(mutex);
    auto it = links.find(handle);
    if (it == links.end()) return 0;
    CallLocked(it->second->replyPath, "org.bluez.GattCharacteristic1", "StopNotify", 0);
    CallLocked(it->second->devicePath, "org.bluez.Device1", "Disconnect", 0);
    links.erase(it);
    return 0;
  }

  int32_t Send(uint32_t handle, const uint8_t* data, uint32_t length) {
    if (length > kMaxWrite || (length > 0 && !data)) return kResultInvalid;
    std::lock_guard lock(mutex);
    auto it = links.find(handle);
    if (it == links.end() || !bus) return KEYSTONE_BLE_RESULT_CONNECTION_FAILED;
    sd_bus_message* raw = nullptr;
    int r = sd_bus_message_new_method_call(bus.get(), &raw, "org.bluez",
                                           it->second->requestPath.c_str(),
                                           "org.bluez.GattCharacteristic1", "WriteValue");
    MessagePtr call(raw);
    if (r >= 0) r = sd_bus_message_append_array(call.get(), 'y', data, length);
    if (r >= 0) r = sd_bus_message_append(call.get(), "a{sv}", 1, "type", "s", "request");
    BusError error;
    sd_bus_message* reply = nullptr;
    if (r >= 0) r = sd_bus_call(bus.get(), call.get(), 0, &error.error, &reply);
    MessagePtr replyOwner(reply);
    if (r < 0) {
      Log(2, "WriteValue failed: " + error.Text());
      return KEYSTONE_BLE_RESULT_CONNECTION_FAILED;
    }
    return 0;
  }

  int32_t Receive(uint32_t handle, uint8_t* buffer, uint32_t size, uint32_t timeoutMs) {
    if (!buffer) return kResultInvalid;
    std::lock_guard lock(mutex);
    auto it = links.find(handle);
    if (it == links.end() || !bus) return KEYSTONE_BLE_RESULT_CONNECTION_FAILED;
    Link& link = *it->second;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (link.replies.empty()) {
      int r;
      while ((r = sd_bus_process(bus.get(), nullptr)) > 0) {
      }
      if (r < 0) return KEYSTONE_BLE_RESULT_CONNECTION_FAILED;
      if (!link.replies.empty()) break;
      const auto now = std::chrono::steady_clock::now();
      if (now >= deadline) return KEYSTONE_BLE_RESULT_TIMEOUT;
      const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - now);
      if (sd_bus_wait(bus.get(), static_cast<uint64_t>(left.count())) < 0) {
        return KEYSTONE_BLE_RESULT_CONNECTION_FAILED;
      }
    }
    std::vector<uint8_t> reply = std::move(link.replies.front());
    link.replies.pop_front();
    const uint32_t length = std::min<uint32_t>(static_cast<uint32_t>(reply.size()), size);
    std::memcpy(buffer, reply.data(), length);
    return static_cast<int32_t>(length);
  }

  int16_t Rssi(const KeystoneBleDeviceRecord& record) {
    const std::string address = AddressOf(record);
    std::lock_guard lock(mutex);
    bool linked = false;
    for (const auto& [handle, link] : links) linked = linked || link->address == address;
    std::vector<Object> objects;
    if (!linked || !OpenLocked() || !ObjectsLocked(objects)) return KEYSTONE_BLE_RSSI_NO_LINK;
    for (const Object& object : objects) {
      auto it = object.interfaces.find("org.bluez.Device1");
      if (it != object.interfaces.end() && it->second.address == address && it->second.rssi &&
          it->second.connected) {
        return *it->second.rssi;
      }
    }
    return KEYSTONE_BLE_RSSI_NO_LINK;
  }

  // Says what it found; a missing bus, BlueZ or adapter is logged, and every later call tries
  // again (an adapter may be plugged in later).
  void Setup() {
    std::lock_guard lock(mutex);
    std::vector<Object> objects;
    if (!OpenLocked() || !ObjectsLocked(objects)) return;
    const std::string adapter = AdapterOf(objects);
    if (adapter.empty()) {
      Log(1, "BlueZ GATT bridge set up without a Bluetooth adapter (no org.bluez.Adapter1)");
    } else {
      Log(0, "BlueZ GATT bridge set up on " + adapter);
    }
  }

  void TearDown() {
    std::lock_guard lock(mutex);
    for (auto& [handle, link] : links) {
      CallLocked(link->replyPath, "org.bluez.GattCharacteristic1", "StopNotify", 0);
    }
    links.clear();
    bus.reset();
  }

 private:
  static std::string AddressOf(const KeystoneBleDeviceRecord& record) {
    std::string address;
    for (size_t i = 0; i < KEYSTONE_BLE_ADDRESS_CHARS && record.address[i] != 0; ++i) {
      address += static_cast<char>(std::toupper(record.address[i] & 0x7F));
    }
    return address;
  }

  // A reply notification: the characteristic's new Value.
  static int OnReply(sd_bus_message* m, void* userdata, sd_bus_error*) {
    Link& link = *static_cast<Link*>(userdata);
    const char* interface = nullptr;
    if (sd_bus_message_read(m, "s", &interface) < 0) return 0;
    if (sd_bus_message_enter_container(m, 'a', "{sv}") < 0) return 0;
    while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
      const char* name = nullptr;
      if (sd_bus_message_read(m, "s", &name) < 0) return 0;
      if (std::strcmp(name, "Value") == 0 && sd_bus_message_enter_container(m, 'v', "ay") >= 0) {
        const void* bytes = nullptr;
        size_t size = 0;
        if (sd_bus_message_read_array(m, 'y', &bytes, &size) >= 0) {
          const auto* first = static_cast<const uint8_t*>(bytes);
          if (link.replies.size() == kMaxQueuedReplies) link.replies.pop_front();
          link.replies.emplace_back(first, first + size);
        }
        return 0;
      }
      if (sd_bus_message_skip(m, "v") < 0 || sd_bus_message_exit_container(m) < 0) return 0;
    }
    return 0;
  }

  bool OpenLocked() {
    if (bus) return true;
    sd_bus* opened = nullptr;
    const int r = sd_bus_open_system(&opened);
    if (r < 0) {
      Log(2, std::string("system bus: ") + std::strerror(-r));
      return false;
    }
    bus.reset(opened);
    return true;
  }

  bool CallLocked(const std::string& path, const char* interface, const char* method,
                  uint64_t timeoutUsec) {
    if (!bus) return false;
    sd_bus_message* raw = nullptr;
    int r = sd_bus_message_new_method_call(bus.get(), &raw, "org.bluez", path.c_str(), interface,
                                           method);
    MessagePtr call(raw);
    BusError error;
    sd_bus_message* reply = nullptr;
    if (r >= 0) r = sd_bus_call(bus.get(), call.get(), timeoutUsec, &error.error, &reply);
    MessagePtr replyOwner(reply);
    if (r < 0) Log(1, std::string(method) + " on " + path + ": " + error.Text());
    return r >= 0;
  }

  // The first adapter's object path; empty when BlueZ has none.
  static std::string AdapterOf(const std::vector<Object>& objects) {
    for (const Object& object : objects) {
      if (object.interfaces.count("org.bluez.Adapter1")) return object.path;
    }
    return "";
  }

  void DiscoverLocked(uint32_t seconds) {
    std::vector<Object> objects;
    if (!ObjectsLocked(objects)) return;
    const std::string adapter = AdapterOf(objects);
    if (adapter.empty() || !CallLocked(adapter, "org.bluez.Adapter1", "StartDiscovery", 0)) return;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
      while (sd_bus_process(bus.get(), nullptr) > 0) {
      }
      const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || sd_bus_wait(bus.get(), static_cast<uint64_t>(left.count())) < 0)
        break;
    }
    CallLocked(adapter, "org.bluez.Adapter1", "StopDiscovery", 0);
  }

  void FindCharacteristics(const std::vector<Object>& objects, Link& link) {
    const std::string prefix = link.devicePath + "/";
    for (const Object& object : objects) {
      if (object.path.compare(0, prefix.size(), prefix) != 0) continue;
      auto it = object.interfaces.find("org.bluez.GattCharacteristic1");
      if (it == object.interfaces.end()) continue;
      const std::string uuid = Lower(it->second.uuid);
      if (uuid == kRequestUuid) link.requestPath = object.path;
      if (uuid == kReplyUuid) link.replyPath = object.path;
    }
  }

  bool ObjectsLocked(std::vector<Object>& objects) {
    objects.clear();
    BusError error;
    sd_bus_message* raw = nullptr;
    int r = sd_bus_call_method(bus.get(), "org.bluez", "/", "org.freedesktop.DBus.ObjectManager",
                               "GetManagedObjects", &error.error, &raw, "");
    MessagePtr reply(raw);
    if (r < 0) {
      Log(2, "GetManagedObjects: " + error.Text());
      return false;
    }
    sd_bus_message* m = reply.get();
    auto ok = [&](int rr) {
      r = rr;
      return rr >= 0;
    };
    if (!ok(sd_bus_message_enter_container(m, 'a', "{oa{sa{sv}}}"))) return false;
    while (ok(sd_bus_message_enter_container(m, 'e', "oa{sa{sv}}")) && r > 0) {
      Object object;
      const char* path = nullptr;
      if (!ok(sd_bus_message_read(m, "o", &path))) return false;
      object.path = path;
      if (!ok(sd_bus_message_enter_container(m, 'a', "{sa{sv}}"))) return false;
      while (ok(sd_bus_message_enter_container(m, 'e', "sa{sv}")) && r > 0) {
        const char* interface = nullptr;
        if (!ok(sd_bus_message_read(m, "s", &interface))) return false;
        if (!ok(ReadProperties(m, object.interfaces[interface]))) return false;
        if (!ok(sd_bus_message_exit_container(m))) return false;
      }
      if (r < 0 || !ok(sd_bus_message_exit_container(m)) ||
          !ok(sd_bus_message_exit_container(m))) {
        return false;
      }
      objects.push_back(std::move(object));
    }
    return r >= 0;
  }

  const KeystoneBleLogSink sink;
  std::mutex mutex;  // Guards the members below; held by every call.
  BusPtr bus;
  std::map<uint32_t, std::unique_ptr<Link>> links;
  uint32_t lastHandle = 0;
};

BluezGattBridge& Self(void* self) { return *static_cast<BluezGattBridge*>(self); }

const KeystoneBleGattCalls kCalls = {
    [](void* self, uint32_t seconds, KeystoneBleDeviceRecord* records, uint32_t* count) {
      if (!records || !count) return kResultInvalid;
      return Self(self).Scan(seconds, records, count);
    },
    [](void* self, const KeystoneBleDeviceRecord* device) {
      return device ? Self(self).Connect(*device) : kResultInvalid;
    },
    [](void* self, uint32_t handle) { return Self(self).Disconnect(handle); },
    [](void* self, uint32_t handle, const uint8_t* data, uint32_t length) {
      return Self(self).Send(handle, data, length);
    },
    [](void* self, uint32_t handle, uint8_t* buffer, uint32_t size, uint32_t timeoutMs) {
      return Self(self).Receive(handle, buffer, size, timeoutMs);
    },
    [](void* self, const KeystoneBleDeviceRecord* device) -> int16_t {
      return device ? Self(self).Rssi(*device) : int16_t{KEYSTONE_BLE_RSSI_NO_LINK};
    },
    [](void* self) { Self(self).Setup(); },
    [](void* self) { Self(self).TearDown(); },
    [](void*) {},
    [](void*) {},
    [](void*) {},
    [](void*) {},
};

}  // namespace

extern "C" __attribute__((visibility("default"))) KeystoneBleGattInstance* CreateBleGattInstance(
    const KeystoneBleLogSink* sink) {
  if (!sink) return nullptr;
  // The engine never frees the object: it lives as long as the library stays loaded.
  static BluezGattBridge* bridge = new BluezGattBridge(*sink);
  static KeystoneBleGattInstance instance{KEYSTONE_BLE_ABI_VERSION,
                                          sizeof(KeystoneBleGattInstance), &kCalls, bridge};
  return &instance;
}
