#include "bluetooth/classic_bluetooth.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>
#include <thread>

#include "bluetooth/bluetooth_address.h"
#include "bluetooth/classic_bt_exceptions.h"
#include "log/logger.h"

namespace ClassicBluetoothProvider {
namespace {

using platform::BluetoothErrc;
using platform::BluetoothError;

constexpr char kTag[] = "CLASSIC_BLUETOOTH";
constexpr uint32_t kAddressInUse = 10048;
constexpr uint32_t kTimedOut = 10060;
constexpr uint32_t kNotReady = 10022;
constexpr uint32_t kClosedCode = 10054;

mfab::AuthenticateLogger& Sink() { return mfab::AuthenticateLoggerMsftBt::Instance(); }

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// The Connect row of the failure table: what one failed lookup or connect becomes.
[[noreturn]] void ThrowConnectFailure(const BluetoothError& e) {
  const uint32_t code = ErrorCode(e);
  KS_LOG(Sink(), mfab::kLogError, kTag, "Connect: Failed to connect socket with error: %d",
         static_cast<int>(code));
  switch (code) {
    case kAddressInUse:
      throw MBProviderGeneralException(
          code,
          "Bluetooth Provider: Failed to connect to service since address is already being in use.");
    case kTimedOut:
      throw MBProviderGeneralException(
          code,
          "Bluetooth Provider: Operation failed since device information is no longer available. "
          "Usually it means that device is not in the trusted devices list and was not found in "
          "the latest scan.");
    case kNotReady:
      KS_LOG(Sink(), mfab::kLogError, kTag, "Connect: Failed to connect socket with PlugAndPlay error");
      throw MBPlugAndPlayErrorException();
    default:
      KS_LOG(Sink(), mfab::kLogError, kTag, "Connect: Failed to connect socket");
      throw MBProviderGeneralException(code, e.what());
  }
}

}  // namespace

uint32_t ErrorCode(const BluetoothError& error) {
  switch (error.Kind()) {
    case BluetoothErrc::kAddressInUse:
      return kAddressInUse;
    case BluetoothErrc::kTimedOut:
      return kTimedOut;
    case BluetoothErrc::kNotReady:
      return kNotReady;
    case BluetoothErrc::kNoRadio:
      return 10050;
    case BluetoothErrc::kConnectionClosed:
      return kClosedCode;
    case BluetoothErrc::kNotConnected:
      return 10057;
    case BluetoothErrc::kDeviceUnknown:
      return 1168;
    case BluetoothErrc::kFailed:
      break;
  }
  return error.SystemCode() > 0 ? static_cast<uint32_t>(error.SystemCode()) : 18;
}

bool IsPhoneService(const platform::BluetoothServiceRecord& record,
                    const std::string& serviceClassId) {
  return record.name == mfab::kPhoneServiceName ||
         (!record.classId.empty() && Lower(record.classId) == Lower(serviceClassId));
}

// ---- BluetoothRadioManager ----

BluetoothRadioManager::BluetoothRadioManager(platform::BluetoothStack& s,
                                             const ClassicProviderOptions& o)
    : stack(s), options(o) {}

std::vector<platform::BluetoothRadio> BluetoothRadioManager::GetBluetoothRadios() {
  std::vector<platform::BluetoothRadio> radios;
  try {
    radios = stack.Radios();
  } catch (const BluetoothError& e) {
    KS_LOG(Sink(), mfab::kLogError, kTag,
           "GetBluetoothRadios: BluetoothFindFirstRadio return with error: %d",
           static_cast<int>(ErrorCode(e)));
    return {};
  }
  KS_LOG(Sink(), mfab::kLogInfo, kTag, "GetBluetoothRadios: Radios.size=%d",
         static_cast<int>(radios.size()));
  return radios;
}

void BluetoothRadioManager::WaitForRadioAvailable() {
  for (int iteration = 1; iteration <= options.radioChecks; ++iteration) {
    KS_LOG(Sink(), mfab::kLogInfo, kTag, "Checking if radio is available (Iteration #%d)", iteration);
    if (IsRadioPresent()) return;
    if (iteration < options.radioChecks) std::this_thread::sleep_for(options.radioCheckInterval);
  }
  KS_LOG(Sink(), mfab::kLogError, kTag, "Connect: Radio not available. All retries exahusted");
  throw BluetoothProvider::RadioNotAvailableException();
}

// ---- BluetoothDevice ----

BluetoothDevice::BluetoothDevice(platform::BluetoothStack& s, uint64_t a) : stack(s), address(a) {
  info.address = a;
}

std::string BluetoothDevice::AddressText(bool parenthesised) const {
  return FormatBluetoothAddress(address, parenthesised);
}

void BluetoothDevice::Update() {
  try {
    info = stack.DeviceInfo(address);
  } catch (const BluetoothError& e) {
    if (e.Kind() == BluetoothErrc::kDeviceUnknown) throw MBRadioNotFoundErrorException();
    throw MBProviderGeneralException(ErrorCode(e), e.what());
  }
}

uint8_t BluetoothDevice::LookupPhoneService(const std::string& serviceClassId) {
  std::vector<platform::BluetoothServiceRecord> records;
  try {
    records = stack.LookupServices(address);
  } catch (const BluetoothError& e) {
    ThrowConnectFailure(e);
  }
  for (const platform::BluetoothServiceRecord& record : records) {
    if (IsPhoneService(record, serviceClassId) && record.channel != 0) return record.channel;
    KS_LOG(Sink(), mfab::kLogInfo, kTag, "LookupService: service not match SERVICE ID");
  }
  throw MBProviderServiceNotFoundException(
      10108, "Bluetooth Provider: the phone application's service was not found on " +
                 AddressText(true));
}

bool BluetoothDevice::LookupAnyService() {
  try {
    stack.LookupServices(address);
    return true;
  } catch (const BluetoothError& e) {
    KS_LOG(Sink(), mfab::kLogWarning, kTag, "LookupService: %s failed: %s",
           AddressText(true).c_str(), e.what());
    return false;
  }
}

// ---- BluetoothSocket ----

BluetoothSocket::BluetoothSocket(platform::BluetoothStack& s, const ClassicProviderOptions& o)
    : stack(s), options(o) {}

void BluetoothSocket::Connect(uint64_t address, const std::string& serviceClassId) {
  peer = address;
  BluetoothDevice device(stack, address);
  const uint8_t channel = device.LookupPhoneService(serviceClassId);
  try {
    connection = stack.Connect(address, channel, platform::DeadlineAfter(options.connectLimit));
  } catch (const BluetoothError& e) {
    ThrowConnectFailure(e);
  }
}

void BluetoothSocket::Send(const mfab::Bytes& message) {
  if (!connection) {
    KS_LOG(Sink(), mfab::kLogError, kTag, "Send: Failed to send - invalid socket");
    throw MBProviderInvalidParams("Send: Failed to send - invalid socket");
  }
  try {
    connection->Send(message, platform::DeadlineAfter(options.sendLimit));
  } catch (const BluetoothError& e) {
    KS_LOG(Sink(), mfab::kLogError, kTag, "Send: Failed to send with error: %d\n",
           static_cast<int>(ErrorCode(e)));
    KS_LOG(Sink(), mfab::kLogError, kTag, "Send: Failed to send.");
    throw MBProviderGeneralException(ErrorCode(e), "Send: Failed to send.");
  }
}

void BluetoothSocket::Receive(uint32_t timeoutMs, mfab::Bytes& reply) {
  if (!connection) throw MBProviderInvalidParams("Recv: invalid socket");
  bool readable = false;
  try {
    readable = connection->WaitReadable(std::chrono::milliseconds(timeoutMs));
  } catch (const BluetoothError&) {
    throw MBProviderServiceConnectionFailed();
  }
  if (!readable) throw MBProviderTimeoutPassed();
  mfab::Bytes buffer(kReceiveBufferSize, 0);
  size_t received = 0;
  try {
    received = connection->Receive(buffer);
  } catch (const BluetoothError& e) {
    KS_LOG(Sink(), mfab::kLogError, kTag, "Recv: Failed recv socket with error: %d",
           static_cast<int>(ErrorCode(e)));
    throw MBProviderGeneralException(ErrorCode(e), "Recv: Failed recv socket");
  }
  if (received == 0) {
    KS_LOG(Sink(), mfab::kLogError, kTag, "Recv: Connection closed");
    throw MBProviderGeneralException(kClosedCode, "Recv: Failed to received, connection was closed");
  }
  buffer.resize(received);
  reply = std::move(buffer);
}

void BluetoothSocket::Close() {
  if (!connection) return;
  try {
    connection->Close();
  } catch (const BluetoothError& e) {
    KS_LOG(Sink(), mfab::kLogError, kTag, "Close: Failed to close socket with error: %d\n",
           static_cast<int>(ErrorCode(e)));
    connection.reset();
    throw MBProviderGeneralException(ErrorCode(e), "Close: Failed to close socket");
  }
  connection.reset();
}

// ---- TransportManager ----

TransportManager::TransportManager(platform::BluetoothStack& s, const ClassicProviderOptions& o)
    : stack(s), options(o) {}

uint32_t TransportManager::CreateConnection(uint64_t address, const std::string& serviceClassId) {
  {
    keystone::MutexLock lock(mutex);
    if (auto it = handles.find(address); it != handles.end()) {
      KS_LOG(Sink(), mfab::kLogInfo, kTag, "Connection already available. handle is %d ",
             static_cast<int>(it->second));
      return it->second;
    }
  }
  KS_LOG(Sink(), mfab::kLogInfo, kTag, "Connection NOT available, trying to connect ");
  // The connect runs without the table's lock (it takes seconds); the provider's mutex already
  // keeps a second connect to the same address out.
  auto socket = std::make_shared<BluetoothSocket>(stack, options);
  socket->Connect(address, serviceClassId);
  uint32_t handle = 0;
  {
    keystone::MutexLock lock(mutex);
    if (auto it = handles.find(address); it != handles.end()) {
      handle = it->second;
    } else {
      do {
        handle = ++lastHandle;
      } while (handle == 0 || sockets.count(handle));
      handles[address] = handle;
      sockets[handle] = socket;
      socket.reset();
    }
  }
  if (socket) {
    // Someone else's connection won; ours is not needed.
    try {
      socket->Close();
    } catch (const BluetoothProvider::ProviderGeneralException&) {
      // Already logged; the connection in the table is the one in use.
    }
    return handle;
  }
  KS_LOG(Sink(), mfab::kLogInfo, kTag, "CreateConnection: done with hadle = %d",
         static_cast<int>(handle));
  return handle;
}

std::shared_ptr<BluetoothSocket> TransportManager::Socket(uint32_t handle) {
  keystone::MutexLock lock(mutex);
  const auto it = sockets.find(handle);
  if (it == sockets.end()) throw std::out_of_range("invalid unordered_map<K, T> key");
  return it->second;
}

void TransportManager::CloseConnection(uint32_t handle) {
  std::shared_ptr<BluetoothSocket> socket;
  {
    keystone::MutexLock lock(mutex);
    const auto it = sockets.find(handle);
    if (it == sockets.end()) return;
    socket = std::move(it->second);
    sockets.erase(it);
    std::erase_if(handles, [handle](const auto& entry) { return entry.second == handle; });
  }
  socket->Close();
}

// ---- BluetoothScanner ----

BluetoothScanner::BluetoothScanner(platform::BluetoothStack& s, const ClassicProviderOptions& o)
    : stack(s), options(o) {}

std::vector<platform::BluetoothDeviceInfo> BluetoothScanner::InquiryDevices() {
  KS_LOG(Sink(), mfab::kLogInfo, kTag, "InquiryDevices: Do the actual inquiry");
  std::vector<platform::BluetoothDeviceInfo> found;
  try {
    found = stack.Inquiry(options.inquiryLength);
  } catch (const BluetoothError& e) {
    KS_LOG(Sink(), mfab::kLogError, kTag, "InquiryDevices: inquiry failed with error: %d",
           static_cast<int>(ErrorCode(e)));
  }
  KS_LOG(Sink(), mfab::kLogInfo, kTag, "InquiryDevices: inquiry search return %d devices",
         static_cast<int>(found.size()));
  return found;
}

std::vector<platform::BluetoothDeviceInfo> BluetoothScanner::GetCachedDevices() {
  std::vector<platform::BluetoothDeviceInfo> found;
  try {
    found = stack.KnownDevices();
  } catch (const BluetoothError& e) {
    KS_LOG(Sink(), mfab::kLogError, kTag, "GetCachedDevices: cache search failed with error: %d",
           static_cast<int>(ErrorCode(e)));
  }
  KS_LOG(Sink(), mfab::kLogInfo, kTag, "GetCachedDevices: cache search return %d devices",
         static_cast<int>(found.size()));
  return found;
}

std::vector<mfab::BluetoothDevice> BluetoothScanner::Scan() {
  KS_LOG(Sink(), mfab::kLogInfo, kTag, "Start scanning.... ");
  std::map<uint64_t, platform::BluetoothDeviceInfo> merged;
  for (const auto& device : InquiryDevices()) merged[device.address] = device;
  for (const auto& device : GetCachedDevices()) {
    auto [it, added] = merged.emplace(device.address, device);
    if (!added) {
      // The stack's record knows the pairing; an inquiry answer may not carry a name.
      it->second.paired = it->second.paired || device.paired;
      if (it->second.name.empty()) it->second.name = device.name;
    }
  }
  std::vector<mfab::BluetoothDevice> devices;
  for (const auto& [address, info] : merged) {
    devices.push_back({info.name, FormatBluetoothAddress(address), info.paired, false});
  }
  return devices;
}

}  // namespace ClassicBluetoothProvider
