// The Bluetooth facility on BlueZ: HCI sockets for the radios, inquiry and a link's RSSI; SDP for
// service records; RFCOMM stream sockets for the links; BlueZ's D-Bus objects (org.bluez.Device1,
// org.bluez.Adapter1) for names, pairing state and the adapter's power. A kernel without
// Bluetooth refuses every socket with EAFNOSUPPORT: that is a stack with no radio.

#include <bluetooth/bluetooth.h>
#include <bluetooth/hci.h>
#include <bluetooth/hci_lib.h>
#include <bluetooth/rfcomm.h>
#include <bluetooth/sdp.h>
#include <bluetooth/sdp_lib.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/bluetooth.h"
#include "platform/posix/poll_timeout.h"
#include "platform/posix/unique_fd.h"

namespace platform {
namespace {

using posix::UniqueFd;

constexpr int kMaxRadios = 16;
constexpr int kMaxInquiryAnswers = 255;
constexpr int kRemoteNameLimitMs = 2000;
constexpr int kRssiCommandLimitMs = 1000;
constexpr int kReadSettleMs = 1000;

BluetoothErrc KindOf(int code) {
  switch (code) {
    case EAFNOSUPPORT:
      return BluetoothErrc::kNoRadio;
    case EADDRINUSE:
      return BluetoothErrc::kAddressInUse;
    case ETIMEDOUT:
    case EHOSTDOWN:
    case EHOSTUNREACH:
      return BluetoothErrc::kTimedOut;
    case ENETDOWN:
    case ENODEV:
    case EBUSY:
      return BluetoothErrc::kNotReady;
    case EPIPE:
    case ECONNRESET:
    case ECONNABORTED:
      return BluetoothErrc::kConnectionClosed;
    case ENOTCONN:
      return BluetoothErrc::kNotConnected;
    default:
      return BluetoothErrc::kFailed;
  }
}

[[noreturn]] void ThrowCode(int code, const std::string& what) {
  if (code == EPERM || code == EACCES) {
    throw BluetoothPermissionError(code, what + ": " + std::strerror(code));
  }
  throw BluetoothError(KindOf(code), code, what + ": " + std::strerror(code));
}

[[noreturn]] void ThrowErrnoBt(const std::string& what) { ThrowCode(errno, what); }

bdaddr_t ToBdaddr(BluetoothAddress address) {
  bdaddr_t b{};
  for (int i = 0; i < 6; ++i) b.b[i] = static_cast<uint8_t>(address >> (8 * i));
  return b;
}

BluetoothAddress FromBdaddr(const bdaddr_t& b) {
  BluetoothAddress address = 0;
  for (int i = 0; i < 6; ++i) address |= static_cast<BluetoothAddress>(b.b[i]) << (8 * i);
  return address;
}

// An HCI control socket, or none when the kernel has no Bluetooth.
UniqueFd HciControlSocket() {
  return UniqueFd(::socket(AF_BLUETOOTH, SOCK_RAW | SOCK_CLOEXEC, BTPROTO_HCI));
}

struct HciRadio {
  int devId = -1;
  std::string interface;  // "hci0"
  BluetoothAddress address = 0;
  bool up = false;
};

std::vector<HciRadio> ListHciRadios() {
  UniqueFd control = HciControlSocket();
  if (control.get() < 0) {
    if (errno == EAFNOSUPPORT) return {};
    ThrowErrnoBt("HCI socket");
  }
  // hci_dev_list_req ends in a flexible array: room for kMaxRadios entries after it.
  alignas(hci_dev_list_req) unsigned char buffer[sizeof(hci_dev_list_req) +
                                                 kMaxRadios * sizeof(hci_dev_req)] = {};
  auto* request = reinterpret_cast<hci_dev_list_req*>(buffer);
  request->dev_num = kMaxRadios;
  if (::ioctl(control.get(), HCIGETDEVLIST, request) < 0) ThrowErrnoBt("HCIGETDEVLIST");
  std::vector<HciRadio> radios;
  const int count = std::min<int>(request->dev_num, kMaxRadios);
  for (int i = 0; i < count; ++i) {
    hci_dev_info info{};
    info.dev_id = request->dev_req[i].dev_id;
    if (::ioctl(control.get(), HCIGETDEVINFO, &info) < 0) continue;  // went away meanwhile
    HciRadio radio;
    radio.devId = info.dev_id;
    radio.interface.assign(info.name, strnlen(info.name, sizeof info.name));
    radio.address = FromBdaddr(info.bdaddr);
    radio.up = hci_test_bit(HCI_UP, &info.flags) != 0;
    radios.push_back(radio);
  }
  return radios;
}

// The radio calls go to: the first one that is up.
HciRadio FirstUpRadio() {
  for (const HciRadio& radio : ListHciRadios()) {
    if (radio.up) return radio;
  }
  throw BluetoothError(BluetoothErrc::kNoRadio, 0, "no Bluetooth radio is up");
}

// ---- D-Bus (org.bluez) ----

struct BusCloser {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
using BusPtr = std::unique_ptr<sd_bus, BusCloser>;

struct MessageUnref {
  void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
using MessagePtr = std::unique_ptr<sd_bus_message, MessageUnref>;

// sd_bus_error freed on every path.
struct BusError {
  sd_bus_error error = {nullptr, nullptr, 0};  // SD_BUS_ERROR_NULL, without its C99 literal
  ~BusError() { sd_bus_error_free(&error); }
  bool UnknownObject() const {
    return sd_bus_error_has_name(&error, "org.freedesktop.DBus.Error.UnknownObject") ||
           sd_bus_error_has_name(&error, "org.freedesktop.DBus.Error.UnknownMethod") ||
           sd_bus_error_has_name(&error, "org.freedesktop.DBus.Error.InvalidArgs");
  }
  std::string Text() const {
    return error.message ? error.message : (error.name ? error.name : "D-Bus call failed");
  }
};

BusPtr OpenSystemBus() {
  sd_bus* bus = nullptr;
  const int r = sd_bus_open_system(&bus);
  if (r < 0) ThrowCode(-r, "system bus");
  return BusPtr(bus);
}

std::string AdapterPath(const HciRadio& radio) { return "/org/bluez/" + radio.interface; }

std::string DevicePath(const HciRadio& radio, BluetoothAddress address) {
  return AdapterPath(radio) + "/dev_" + BluetoothAddressText(address, '_');
}

// One org.bluez.Device1 object's properties, as far as they are present.
struct DeviceProperties {
  std::string address;
  std::string name;
  uint32_t classOfDevice = 0;
  bool paired = false;
  bool trusted = false;
  bool connected = false;
};

// Reads one {sv} entry of an a{sv} the message stands in; unknown names are skipped.
int ReadDeviceProperty(sd_bus_message* m, DeviceProperties& device) {
  const char* name = nullptr;
  int r = sd_bus_message_read(m, "s", &name);
  if (r < 0) return r;
  const std::string key = name;
  auto readString = [&](std::string& out) {
    const char* value = nullptr;
    int rr = sd_bus_message_read(m, "v", "s", &value);
    if (rr >= 0 && value) out = value;
    return rr;
  };
  auto readBool = [&](bool& out) {
    int value = 0;
    int rr = sd_bus_message_read(m, "v", "b", &value);
    out = value != 0;
    return rr;
  };
  if (key == "Address") return readString(device.address);
  if (key == "Alias") return readString(device.name);
  if (key == "Class") return sd_bus_message_read(m, "v", "u", &device.classOfDevice);
  if (key == "Paired") return readBool(device.paired);
  if (key == "Trusted") return readBool(device.trusted);
  if (key == "Connected") return readBool(device.connected);
  return sd_bus_message_skip(m, "v");
}

int ReadPropertyArray(sd_bus_message* m, DeviceProperties& device) {
  int r = sd_bus_message_enter_container(m, 'a', "{sv}");
  if (r < 0) return r;
  while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
    if ((r = ReadDeviceProperty(m, device)) < 0) return r;
    if ((r = sd_bus_message_exit_container(m)) < 0) return r;
  }
  if (r < 0) return r;
  return sd_bus_message_exit_container(m);
}

// Every org.bluez.Device1 object BlueZ holds (under any adapter).
std::vector<DeviceProperties> ManagedDevices(sd_bus* bus) {
  BusError error;
  sd_bus_message* raw = nullptr;
  int r = sd_bus_call_method(bus, "org.bluez", "/", "org.freedesktop.DBus.ObjectManager",
                             "GetManagedObjects", &error.error, &raw, "");
  MessagePtr reply(raw);
  if (r < 0) {
    throw BluetoothError(BluetoothErrc::kFailed, -r, "GetManagedObjects: " + error.Text());
  }
  std::vector<DeviceProperties> devices;
  sd_bus_message* m = reply.get();
  auto check = [](int rr) {
    if (rr < 0) ThrowCode(-rr, "GetManagedObjects answer");
    return rr;
  };
  check(sd_bus_message_enter_container(m, 'a', "{oa{sa{sv}}}"));
  while (check(sd_bus_message_enter_container(m, 'e', "oa{sa{sv}}")) > 0) {
    const char* path = nullptr;
    check(sd_bus_message_read(m, "o", &path));
    check(sd_bus_message_enter_container(m, 'a', "{sa{sv}}"));
    while (check(sd_bus_message_enter_container(m, 'e', "sa{sv}")) > 0) {
      const char* interface = nullptr;
      check(sd_bus_message_read(m, "s", &interface));
      if (std::strcmp(interface, "org.bluez.Device1") == 0) {
        DeviceProperties device;
        check(ReadPropertyArray(m, device));
        devices.push_back(device);
      } else {
        check(sd_bus_message_skip(m, "a{sv}"));
      }
      check(sd_bus_message_exit_container(m));
    }
    check(sd_bus_message_exit_container(m));
    check(sd_bus_message_exit_container(m));
  }
  check(sd_bus_message_exit_container(m));
  return devices;
}

BluetoothDeviceInfo ToInfo(const DeviceProperties& device, BluetoothAddress address) {
  BluetoothDeviceInfo info;
  info.address = address;
  info.name = device.name;
  info.classOfDevice = device.classOfDevice;
  info.paired = device.paired;
  info.remembered = device.paired || device.trusted;
  info.connected = device.connected;
  return info;
}

// The device's D-Bus properties; empty when BlueZ has no object for it.
std::optional<DeviceProperties> ReadDevice(sd_bus* bus, const HciRadio& radio,
                                           BluetoothAddress address) {
  const std::string path = DevicePath(radio, address);
  BusError error;
  sd_bus_message* raw = nullptr;
  int r = sd_bus_call_method(bus, "org.bluez", path.c_str(), "org.freedesktop.DBus.Properties",
                             "GetAll", &error.error, &raw, "s", "org.bluez.Device1");
  MessagePtr reply(raw);
  if (r < 0) {
    if (error.UnknownObject()) return std::nullopt;
    throw BluetoothError(BluetoothErrc::kFailed, -r, "Device1.GetAll: " + error.Text());
  }
  DeviceProperties device;
  r = ReadPropertyArray(reply.get(), device);
  if (r < 0) ThrowCode(-r, "Device1 properties");
  return device;
}

// ---- RFCOMM link ----

class BluezConnection : public BluetoothConnection {
 public:
  explicit BluezConnection(UniqueFd socket) : fd(std::move(socket)) {}

  void Send(std::span<const uint8_t> data, Deadline deadline) override {
    size_t sent = 0;
    while (sent < data.size()) {
      const ssize_t n =
          ::send(fd.get(), data.data() + sent, data.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n >= 0) {
        sent += static_cast<size_t>(n);
        continue;
      }
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) ThrowErrnoBt("RFCOMM send");
      if (!Poll(POLLOUT, posix::PollTimeoutMs(deadline))) {
        throw BluetoothError(BluetoothErrc::kTimedOut, ETIMEDOUT, "RFCOMM send: deadline passed");
      }
    }
  }

  bool WaitReadable(std::chrono::milliseconds limit) override {
    const auto ms = std::max<int64_t>(0, std::min<int64_t>(limit.count(), 0x7FFFFFFF));
    return Poll(POLLIN, static_cast<int>(ms));
  }

  size_t Receive(std::span<uint8_t> buffer) override {
    for (;;) {
      const ssize_t n = ::recv(fd.get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
      if (n >= 0) return static_cast<size_t>(n);
      if (errno == EINTR) continue;
      if (errno == ECONNRESET) return 0;
      if (errno != EAGAIN && errno != EWOULDBLOCK) ThrowErrnoBt("RFCOMM recv");
      // Called after WaitReadable said data is there; a short wait covers a spurious wake-up.
      if (!Poll(POLLIN, kReadSettleMs)) {
        throw BluetoothError(BluetoothErrc::kTimedOut, ETIMEDOUT, "RFCOMM recv: nothing to read");
      }
    }
  }

  void Close() override {
    if (fd.Close() != 0) ThrowErrnoBt("RFCOMM close");
  }

  void Abort() noexcept override {
    if (fd.get() >= 0) ::shutdown(fd.get(), SHUT_RDWR);
  }

 private:
  // True when the socket is ready (or broken: the next call says how); false at the limit.
  bool Poll(short events, int timeoutMs) {
    pollfd p{fd.get(), events, 0};
    for (;;) {
      const int r = ::poll(&p, 1, timeoutMs);
      if (r > 0) return true;
      if (r == 0) return false;
      if (errno != EINTR) ThrowErrnoBt("RFCOMM poll");
    }
  }

  UniqueFd fd;
};

std::string UuidText(const uint8_t* bytes) {
  char text[37];
  std::snprintf(text, sizeof text,
                "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", bytes[0],
                bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8],
                bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
  return text;
}

BluetoothServiceRecord RecordOf(sdp_record_t* record) {
  BluetoothServiceRecord out;
  char name[256] = {};
  if (sdp_get_service_name(record, name, sizeof name - 1) == 0) {
    out.name.assign(name, strnlen(name, sizeof name));
  }
  sdp_list_t* classes = nullptr;
  if (sdp_get_service_classes(record, &classes) == 0) {
    for (sdp_list_t* c = classes; c; c = c->next) {
      const auto* uuid = static_cast<const uuid_t*>(c->data);
      if (uuid->type == SDP_UUID128) {
        out.classId = UuidText(reinterpret_cast<const uint8_t*>(&uuid->value.uuid128));
        break;
      }
    }
    sdp_list_free(classes, free);
  }
  sdp_list_t* protocols = nullptr;
  if (sdp_get_access_protos(record, &protocols) == 0) {
    const int channel = sdp_get_proto_port(protocols, RFCOMM_UUID);
    if (channel > 0 && channel <= 30) out.channel = static_cast<uint8_t>(channel);
    for (sdp_list_t* p = protocols; p; p = p->next) {
      sdp_list_free(static_cast<sdp_list_t*>(p->data), nullptr);
    }
    sdp_list_free(protocols, nullptr);
  }
  return out;
}

class BluezStack : public BluetoothStack {
 public:
  std::vector<BluetoothRadio> Radios() override {
    std::vector<BluetoothRadio> radios;
    for (const HciRadio& radio : ListHciRadios()) {
      if (radio.up) radios.push_back({radio.address, radio.interface});
    }
    return radios;
  }

  BluetoothDeviceInfo DeviceInfo(BluetoothAddress address) override {
    const HciRadio radio = FirstUpRadio();
    BusPtr bus = OpenSystemBus();
    const std::optional<DeviceProperties> device = ReadDevice(bus.get(), radio, address);
    if (!device) {
      throw BluetoothError(BluetoothErrc::kDeviceUnknown, 0,
                           "BlueZ has no device " + BluetoothAddressText(address));
    }
    return ToInfo(*device, address);
  }

  std::vector<BluetoothDeviceInfo> KnownDevices() override {
    FirstUpRadio();
    BusPtr bus = OpenSystemBus();
    std::vector<BluetoothDeviceInfo> known;
    for (const DeviceProperties& device : ManagedDevices(bus.get())) {
      const std::optional<BluetoothAddress> address = ParseBluetoothAddressText(device.address);
      if (!address) continue;
      if (!device.paired && !device.trusted && !device.connected) continue;
      known.push_back(ToInfo(device, *address));
    }
    return known;
  }

  std::vector<BluetoothDeviceInfo> Inquiry(uint8_t length) override {
    const HciRadio radio = FirstUpRadio();
    inquiry_info* answers = nullptr;
    const int count =
        hci_inquiry(radio.devId, length, kMaxInquiryAnswers, nullptr, &answers, IREQ_CACHE_FLUSH);
    std::unique_ptr<inquiry_info, decltype(&free)> owned(answers, &free);
    if (count < 0) ThrowErrnoBt("hci_inquiry");
    // Names and pairing come from BlueZ where it knows the device, else from the device itself.
    std::map<BluetoothAddress, DeviceProperties> known;
    try {
      BusPtr bus = OpenSystemBus();
      for (const DeviceProperties& device : ManagedDevices(bus.get())) {
        if (auto address = ParseBluetoothAddressText(device.address)) known[*address] = device;
      }
    } catch (const BluetoothError&) {
      // Without BlueZ's daemon the inquiry still answers, only without pairing state.
    }
    UniqueFd hci(hci_open_dev(radio.devId));
    std::vector<BluetoothDeviceInfo> found;
    for (int i = 0; i < count; ++i) {
      const inquiry_info& answer = answers[i];
      BluetoothDeviceInfo info;
      info.address = FromBdaddr(answer.bdaddr);
      info.classOfDevice = static_cast<uint32_t>(answer.dev_class[0]) |
                           static_cast<uint32_t>(answer.dev_class[1]) << 8 |
                           static_cast<uint32_t>(answer.dev_class[2]) << 16;
      if (auto it = known.find(info.address); it != known.end()) {
        info.name = it->second.name;
        info.paired = it->second.paired;
        info.remembered = it->second.paired || it->second.trusted;
        info.connected = it->second.connected;
      } else if (hci.get() >= 0) {
        char name[249] = {};
        if (hci_read_remote_name(hci.get(), &answer.bdaddr, sizeof name - 1, name,
                                 kRemoteNameLimitMs) == 0) {
          info.name.assign(name, strnlen(name, sizeof name));
        }
      }
      found.push_back(info);
    }
    return found;
  }

  std::vector<BluetoothServiceRecord> LookupServices(BluetoothAddress address) override {
    FirstUpRadio();
    const bdaddr_t any{};
    const bdaddr_t target = ToBdaddr(address);
    sdp_session_t* session = sdp_connect(&any, &target, SDP_RETRY_IF_BUSY);
    if (!session) ThrowErrnoBt("SDP connect to " + BluetoothAddressText(address));
    std::unique_ptr<sdp_session_t, decltype(&sdp_close)> owned(session, &sdp_close);
    // Every record that runs over L2CAP, which is every record.
    uuid_t l2cap;
    sdp_uuid16_create(&l2cap, L2CAP_UUID);
    sdp_list_t* search = sdp_list_append(nullptr, &l2cap);
    uint32_t range = 0x0000FFFF;
    sdp_list_t* attributes = sdp_list_append(nullptr, &range);
    sdp_list_t* records = nullptr;
    const int r = sdp_service_search_attr_req(session, search, SDP_ATTR_REQ_RANGE, attributes,
                                              &records);
    const int code = errno;
    sdp_list_free(search, nullptr);
    sdp_list_free(attributes, nullptr);
    if (r < 0) ThrowCode(code ? code : EIO, "SDP search on " + BluetoothAddressText(address));
    std::vector<BluetoothServiceRecord> out;
    for (sdp_list_t* it = records; it; it = it->next) {
      auto* record = static_cast<sdp_record_t*>(it->data);
      out.push_back(RecordOf(record));
      sdp_record_free(record);
    }
    sdp_list_free(records, nullptr);
    return out;
  }

  std::unique_ptr<BluetoothConnection> Connect(BluetoothAddress address, uint8_t channel,
                                               Deadline deadline) override {
    UniqueFd fd(::socket(AF_BLUETOOTH, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, BTPROTO_RFCOMM));
    if (fd.get() < 0) ThrowErrnoBt("RFCOMM socket");
    sockaddr_rc target{};
    target.rc_family = AF_BLUETOOTH;
    target.rc_bdaddr = ToBdaddr(address);
    target.rc_channel = channel;
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&target), sizeof target) < 0) {
      if (errno != EINPROGRESS) ThrowErrnoBt("RFCOMM connect");
      pollfd p{fd.get(), POLLOUT, 0};
      int r;
      do {
        r = ::poll(&p, 1, posix::PollTimeoutMs(deadline));
      } while (r < 0 && errno == EINTR);
      if (r < 0) ThrowErrnoBt("RFCOMM connect wait");
      if (r == 0) ThrowCode(ETIMEDOUT, "RFCOMM connect");
      int error = 0;
      socklen_t size = sizeof error;
      if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &size) < 0) {
        ThrowErrnoBt("RFCOMM connect result");
      }
      if (error != 0) ThrowCode(error, "RFCOMM connect");
    }
    return std::make_unique<BluezConnection>(std::move(fd));
  }

  int8_t ConnectionRssi(BluetoothAddress address) override {
    const uint16_t handle = ConnectionHandle(address);
    const HciRadio radio = FirstUpRadio();
    UniqueFd hci(hci_open_dev(radio.devId));
    if (hci.get() < 0) ThrowErrnoBt("hci_open_dev");
    int8_t rssi = 0;
    if (hci_read_rssi(hci.get(), htobs(handle), &rssi, kRssiCommandLimitMs) < 0) {
      ThrowErrnoBt("HCI Read RSSI");
    }
    return rssi;
  }

  bool CanReadConnectionRssi() override { return !Radios().empty(); }

  uint16_t ConnectionHandle(BluetoothAddress address) override {
    const HciRadio radio = FirstUpRadio();
    UniqueFd hci(hci_open_dev(radio.devId));
    if (hci.get() < 0) ThrowErrnoBt("hci_open_dev");
    // hci_conn_info_req ends in a flexible array that the kernel fills with one entry.
    alignas(hci_conn_info_req) unsigned char buffer[sizeof(hci_conn_info_req) +
                                                    sizeof(hci_conn_info)] = {};
    auto* query = reinterpret_cast<hci_conn_info_req*>(buffer);
    query->bdaddr = ToBdaddr(address);
    query->type = ACL_LINK;
    if (::ioctl(hci.get(), HCIGETCONNINFO, query) < 0) {
      if (errno == ENOENT) {
        throw BluetoothError(BluetoothErrc::kNotConnected, ENOENT,
                             "no link to " + BluetoothAddressText(address));
      }
      ThrowErrnoBt("HCIGETCONNINFO");
    }
    return query->conn_info->handle;
  }

  std::vector<uint8_t> ReadRssiAnswer(uint16_t handle, std::chrono::milliseconds limit) override {
    const HciRadio radio = FirstUpRadio();
    UniqueFd hci(hci_open_dev(radio.devId));
    if (hci.get() < 0) ThrowErrnoBt("hci_open_dev");
    // Only the events that can answer this command reach the socket.
    hci_filter filter;
    hci_filter_clear(&filter);
    hci_filter_set_ptype(HCI_EVENT_PKT, &filter);
    hci_filter_set_event(EVT_CMD_COMPLETE, &filter);
    hci_filter_set_event(EVT_CMD_STATUS, &filter);
    hci_filter_set_opcode(kHciReadRssiOpcode, &filter);
    if (::setsockopt(hci.get(), SOL_HCI, HCI_FILTER, &filter, sizeof filter) < 0) {
      ThrowErrnoBt("HCI filter");
    }
    const uint8_t parameters[2] = {static_cast<uint8_t>(handle & 0xFF),
                                   static_cast<uint8_t>(handle >> 8)};
    if (hci_send_cmd(hci.get(), OGF_STATUS_PARAM, OCF_READ_RSSI, sizeof parameters,
                     const_cast<uint8_t*>(parameters)) < 0) {
      ThrowErrnoBt("HCI Read RSSI");
    }
    const Deadline deadline = std::chrono::steady_clock::now() + limit;
    pollfd p{hci.get(), POLLIN, 0};
    int r;
    do {
      r = ::poll(&p, 1, posix::PollTimeoutMs(deadline));
    } while (r < 0 && errno == EINTR);
    if (r < 0) ThrowErrnoBt("HCI Read RSSI wait");
    if (r == 0) ThrowCode(ETIMEDOUT, "HCI Read RSSI");
    // One packet: the indicator byte, then the event.
    uint8_t packet[1 + kHciMaxEventSize];
    ssize_t got;
    do {
      got = ::read(hci.get(), packet, sizeof packet);
    } while (got < 0 && errno == EINTR);
    if (got < 0) ThrowErrnoBt("HCI Read RSSI answer");
    if (got == 0) return {};
    return std::vector<uint8_t>(packet + 1, packet + got);
  }

  std::optional<int> DeviceNodeProblem(BluetoothAddress address) override {
    const std::vector<HciRadio> radios = ListHciRadios();
    if (radios.empty()) return std::nullopt;
    BusPtr bus = OpenSystemBus();
    if (!ReadDevice(bus.get(), radios.front(), address)) return std::nullopt;
    int powered = 0;
    BusError error;
    const int r = sd_bus_get_property_trivial(bus.get(), "org.bluez",
                                              AdapterPath(radios.front()).c_str(),
                                              "org.bluez.Adapter1", "Powered", &error.error, 'b',
                                              &powered);
    if (r < 0) throw BluetoothError(BluetoothErrc::kFailed, -r, "Adapter1.Powered: " + error.Text());
    // An adapter that is not up, or that BlueZ reports unpowered, is the problem we can repair.
    constexpr int kAdapterOff = 22;
    return powered && radios.front().up ? 0 : kAdapterOff;
  }

  void SetDeviceNodeEnabled(BluetoothAddress, bool enabled) override {
    const std::vector<HciRadio> radios = ListHciRadios();
    if (radios.empty()) throw BluetoothError(BluetoothErrc::kNoRadio, 0, "no Bluetooth radio");
    BusPtr bus = OpenSystemBus();
    BusError error;
    const int r = sd_bus_set_property(bus.get(), "org.bluez", AdapterPath(radios.front()).c_str(),
                                      "org.bluez.Adapter1", "Powered", &error.error, "b",
                                      static_cast<int>(enabled));
    if (r < 0) throw BluetoothError(BluetoothErrc::kFailed, -r, "Adapter1.Powered: " + error.Text());
  }
};

}  // namespace

std::shared_ptr<BluetoothStack> SystemBluetoothStack() { return std::make_shared<BluezStack>(); }

bool KernelHasBluetooth() {
  UniqueFd control = HciControlSocket();
  return control.get() >= 0 || errno != EAFNOSUPPORT;
}

}  // namespace platform
