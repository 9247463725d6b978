#include "bluetooth/gatt10_bridge.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "bluetooth/ble_device_record.h"
#include "log/logger.h"
#include "platform/shared_library.h"

namespace mfab {
namespace {

constexpr char kComponent[] = "GattW10";
constexpr char kTag[] = "GattW10";

AuthenticateLogger& Sink() { return AuthenticateLoggerBt::Instance(); }

void WriteLogFromLibrary(void* /*context*/, int32_t level, const char* text) {
  Gatt10Bridge::WriteLog(level, text);
}

// Lives as long as the process: the library may keep the pointer and call from its threads.
constexpr KeystoneBleLogSink kLogSink{nullptr, &WriteLogFromLibrary};

// A record that names a device by its address alone, as the calls take it.
KeystoneBleDeviceRecord AddressRecord(const std::string& address) {
  BluetoothDevice named;
  named.address = address;
  try {
    return ToDeviceRecord(named);
  } catch (const BleRecordError&) {
    throw std::invalid_argument("Invalid address");
  }
}

bool Complete(const KeystoneBleGattCalls& c) {
  return c.scan && c.connect && c.disconnect && c.send && c.receive && c.rssi && c.setup &&
         c.tearDown && c.sessionUnlocked && c.sessionLocked && c.userDataUpdated &&
         c.userDataCleared;
}

}  // namespace

Gatt10Bridge::Gatt10Bridge(std::shared_ptr<platform::SharedLibrary> loaded, bool legacyBridge)
    : library(std::move(loaded)), legacy(legacyBridge) {
  if (!library) throw BluetoothProvider::LoadDllFailed();
  KeystoneBleFactory factory = nullptr;
  try {
    factory = reinterpret_cast<KeystoneBleFactory>(library->Symbol(KEYSTONE_BLE_FACTORY_SYMBOL));
  } catch (const std::exception& e) {
    KS_LOG(Sink(), kLogError, kTag, "The bridge has no factory: %s", e.what());
    throw BluetoothProvider::LoadDllFailed();
  }
  instance = factory(&kLogSink);
  if (!instance) {
    KS_LOG(Sink(), kLogError, kTag, "The bridge's factory returned no object (%s)",
           library->Path().c_str());
    throw BluetoothProvider::LoadDllFailed();
  }
  if (instance->abiVersion != KEYSTONE_BLE_ABI_VERSION ||
      instance->size < sizeof(KeystoneBleGattInstance) || !instance->calls) {
    KS_LOG(Sink(), kLogError, kTag, "The bridge's object has interface version %u, not %u",
           instance->abiVersion, KEYSTONE_BLE_ABI_VERSION);
    throw BluetoothProvider::LoadDllFailed();
  }
  calls = *instance->calls;
  if (!Complete(calls)) {
    KS_LOG(Sink(), kLogError, kTag, "The bridge's call table is incomplete");
    throw BluetoothProvider::LoadDllFailed();
  }
  KS_LOG(Sink(), kLogInfo, kTag, "BLE bridge loaded from %s", library->Path().c_str());
}

const std::string& Gatt10Bridge::LibraryPath() const { return library->Path(); }

void Gatt10Bridge::WriteLog(int32_t level, const char* text) {
  const uint8_t sinkLevel =
      level >= kLogInfo && level <= kLogCritical ? static_cast<uint8_t>(level) : kLogError;
  AuthenticateLogger& sink = Sink();
  if (!sink.IsEnabled(sinkLevel)) return;
  try {
    // The library's text is untrusted: read no further than one record holds.
    const size_t length = text ? strnlen(text, kMaxLogMessage) : 0;
    mfab::WriteLog(sink, sinkLevel, kComponent, "Gatt10Bridge::WriteLog", __FILE__, __LINE__,
                   std::string(text ? text : "", length));
  } catch (...) {
    CountLostLogRecord();
  }
}

int32_t Gatt10Bridge::Check(int32_t result, const char* call) const {
  switch (result) {
    case KEYSTONE_BLE_RESULT_CONNECTION_FAILED:
      throw BluetoothProvider::ConnectionFailedException();
    case KEYSTONE_BLE_RESULT_SERVICE_NOT_FOUND:
      throw BluetoothProvider::ProviderServiceNotFoundException();
    case KEYSTONE_BLE_RESULT_TIMEOUT:
      throw BluetoothProvider::ProviderTimeoutPassed();
    default:
      if (result < 0) {
        throw BluetoothProvider::ProviderGeneralException(
            static_cast<uint32_t>(result), std::string("BLE bridge ") + call + " failed");
      }
      return result;
  }
}

std::vector<BluetoothDevice> Gatt10Bridge::ScanDevices(uint32_t value) {
  KeystoneBleDeviceRecord records[KEYSTONE_BLE_SCAN_RECORDS] = {};
  uint32_t count = KEYSTONE_BLE_SCAN_RECORDS;
  Check(calls.scan(instance->self, value, records, &count), "scan");
  std::vector<BluetoothDevice> devices;
  for (uint32_t i = 0; i < std::min<uint32_t>(count, KEYSTONE_BLE_SCAN_RECORDS); ++i) {
    try {
      devices.push_back(FromDeviceRecord(records[i]));
    } catch (const BleRecordError& e) {
      KS_LOG(Sink(), kLogWarning, kTag, "Scan record %u left out: %s", i, e.what());
    }
  }
  return devices;
}

uint32_t Gatt10Bridge::Connect(const BluetoothDevice& device, const std::string&) {
  const KeystoneBleDeviceRecord record = AddressRecord(device.address);
  return static_cast<uint32_t>(Check(calls.connect(instance->self, &record), "connect"));
}

void Gatt10Bridge::Disconnect(uint32_t handle) {
  Check(calls.disconnect(instance->self, handle), "disconnect");
}

void Gatt10Bridge::Send(uint32_t handle, const Bytes& message) {
  Check(calls.send(instance->self, handle, message.data(), static_cast<uint32_t>(message.size())),
        "send");
}

void Gatt10Bridge::Receive(uint32_t handle, uint32_t timeoutMs, Bytes& reply) {
  Bytes buffer(KEYSTONE_BLE_RECEIVE_BUFFER);
  const int32_t length = Check(calls.receive(instance->self, handle, buffer.data(),
                                             static_cast<uint32_t>(buffer.size()), timeoutMs),
                               "receive");
  buffer.resize(std::min<size_t>(static_cast<size_t>(length), buffer.size()));
  reply = std::move(buffer);
}

int16_t Gatt10Bridge::GetDeviceRssi(const BluetoothDevice& device, bool) {
  const KeystoneBleDeviceRecord record = AddressRecord(device.address);
  const int16_t rssi = calls.rssi(instance->self, &record);
  if (rssi == KEYSTONE_BLE_RSSI_NO_LINK) throw BluetoothProvider::ConnectionFailedException();
  return rssi;
}

void Gatt10Bridge::Setup() { calls.setup(instance->self); }
void Gatt10Bridge::TearDown() { calls.tearDown(instance->self); }
void Gatt10Bridge::Reset() {
  TearDown();
  Setup();
}
void Gatt10Bridge::OnSessionUnlock() { calls.sessionUnlocked(instance->self); }
void Gatt10Bridge::OnSessionLock() { calls.sessionLocked(instance->self); }
void Gatt10Bridge::OnUserDataUpdated() { calls.userDataUpdated(instance->self); }
void Gatt10Bridge::OnUserDataCleared() { calls.userDataCleared(instance->self); }

}  // namespace mfab
