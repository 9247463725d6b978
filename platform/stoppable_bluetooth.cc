#include <mutex>
#include <set>
#include <utility>

#include "platform/bluetooth.h"

namespace platform {
namespace {

class Link;

// The links a stack opened and not yet closed, and whether the stack has stopped.
struct Links {
  std::mutex mutex;
  bool stopped = false;
  std::set<Link*> open;
};

BluetoothError Stopped() {
  return BluetoothError(BluetoothErrc::kNoRadio, 0, "the Bluetooth stack has stopped");
}

class Link final : public BluetoothConnection {
 public:
  Link(std::unique_ptr<BluetoothConnection> link, std::shared_ptr<Links> all)
      : inner(std::move(link)), links(std::move(all)) {}
  // A link leaves the set before it closes, so Stop never aborts a closed descriptor.
  ~Link() override { Forget(); }

  void Send(std::span<const uint8_t> data, Deadline deadline) override {
    inner->Send(data, deadline);
  }
  bool WaitReadable(std::chrono::milliseconds limit) override {
    return inner->WaitReadable(limit);
  }
  size_t Receive(std::span<uint8_t> buffer) override { return inner->Receive(buffer); }
  void Close() override {
    Forget();
    inner->Close();
  }
  void Abort() noexcept override { inner->Abort(); }

 private:
  void Forget() {
    std::lock_guard<std::mutex> lock(links->mutex);
    links->open.erase(this);
  }

  std::unique_ptr<BluetoothConnection> inner;
  std::shared_ptr<Links> links;
};

class Stoppable final : public StoppableBluetoothStack {
 public:
  explicit Stoppable(std::shared_ptr<BluetoothStack> stack) : inner(std::move(stack)) {}

  void Stop() noexcept override {
    std::lock_guard<std::mutex> lock(links->mutex);
    links->stopped = true;
    for (Link* link : links->open) link->Abort();
  }

  std::vector<BluetoothRadio> Radios() override {
    if (IsStopped()) return {};
    return inner->Radios();
  }
  BluetoothDeviceInfo DeviceInfo(BluetoothAddress address) override {
    ThrowIfStopped();
    return inner->DeviceInfo(address);
  }
  std::vector<BluetoothDeviceInfo> KnownDevices() override {
    ThrowIfStopped();
    return inner->KnownDevices();
  }
  std::vector<BluetoothDeviceInfo> Inquiry(uint8_t length) override {
    ThrowIfStopped();
    return inner->Inquiry(length);
  }
  std::vector<BluetoothServiceRecord> LookupServices(BluetoothAddress address) override {
    ThrowIfStopped();
    return inner->LookupServices(address);
  }
  std::unique_ptr<BluetoothConnection> Connect(BluetoothAddress address, uint8_t channel,
                                               Deadline deadline) override {
    ThrowIfStopped();
    auto link = std::make_unique<Link>(inner->Connect(address, channel, deadline), links);
    std::lock_guard<std::mutex> lock(links->mutex);
    // A stop during the connect ends the new link as it would have ended an older one.
    if (links->stopped) link->Abort();
    links->open.insert(link.get());
    return link;
  }
  int8_t ConnectionRssi(BluetoothAddress address) override {
    ThrowIfStopped();
    return inner->ConnectionRssi(address);
  }
  bool CanReadConnectionRssi() override {
    if (IsStopped()) return false;
    return inner->CanReadConnectionRssi();
  }
  uint16_t ConnectionHandle(BluetoothAddress address) override {
    ThrowIfStopped();
    return inner->ConnectionHandle(address);
  }
  std::vector<uint8_t> ReadRssiAnswer(uint16_t handle, std::chrono::milliseconds limit) override {
    ThrowIfStopped();
    return inner->ReadRssiAnswer(handle, limit);
  }
  std::optional<int> DeviceNodeProblem(BluetoothAddress address) override {
    ThrowIfStopped();
    return inner->DeviceNodeProblem(address);
  }
  void SetDeviceNodeEnabled(BluetoothAddress address, bool enabled) override {
    ThrowIfStopped();
    inner->SetDeviceNodeEnabled(address, enabled);
  }

 private:
  bool IsStopped() {
    std::lock_guard<std::mutex> lock(links->mutex);
    return links->stopped;
  }
  void ThrowIfStopped() {
    if (IsStopped()) throw Stopped();
  }

  std::shared_ptr<BluetoothStack> inner;
  std::shared_ptr<Links> links = std::make_shared<Links>();
};

}  // namespace

std::shared_ptr<StoppableBluetoothStack> MakeStoppable(std::shared_ptr<BluetoothStack> stack) {
  return std::make_shared<Stoppable>(std::move(stack));
}

}  // namespace platform
