#include "bluetooth/classic_bt_provider.h"

#include <thread>
#include <utility>

#include "bluetooth/bluetooth_address.h"
#include "bluetooth/classic_bt_exceptions.h"
#include "log/logger.h"

namespace mfab {
namespace {

using namespace ClassicBluetoothProvider;

constexpr char kTag[] = "CLASSIC_BLUETOOTH";

AuthenticateLogger& Sink() { return AuthenticateLoggerMsftBt::Instance(); }

}  // namespace

ClassicBTProvider::ClassicBTProvider(std::shared_ptr<platform::BluetoothStack> s, Options o)
    : stack(std::move(s)),
      options(o),
      radios(*stack, options),
      scanner(*stack, options),
      transport(std::make_shared<TransportManager>(*stack, options)),
      rssiFinder(std::make_shared<HostRssiFinder>(stack)) {
  // Linux sockets need no start-up call; the line marks the provider's birth all the same.
  KS_LOG(Sink(), kLogInfo, kTag, "ClassicBTProvider starting up BluetoothSocket");
  SetupRssiFinder();
}

ClassicBTProvider::~ClassicBTProvider() = default;

bool ClassicBTProvider::IsRadioPresent() { return radios.IsRadioPresent(); }

std::vector<BluetoothDevice> ClassicBTProvider::ScanDevices(uint32_t /*value*/) {
  return scanner.Scan();
}

void ClassicBTProvider::ValidateDevices(std::vector<BluetoothDevice>& devices) {
  std::erase_if(devices, [this](const BluetoothDevice& device) {
    try {
      ClassicBluetoothProvider::BluetoothDevice record(*stack,
                                                       ParseBluetoothAddress(device.address));
      record.LookupPhoneService(kPhoneServiceClassId);
      return false;
    } catch (const std::exception&) {
      return true;  // no phone application there, or no answer, or no address
    }
  });
}

uint32_t ClassicBTProvider::Connect(const BluetoothDevice& device,
                                    const std::string& serviceClassId) {
  radios.WaitForRadioAvailable();
  KS_LOG(Sink(), kLogInfo, kTag, "Connect before lock ");
  keystone::MutexLock lock(mutex);
  KS_LOG(Sink(), kLogInfo, kTag, "Connect after lock ");

  const uint64_t address = ParseBluetoothAddress(device.address);
  ClassicBluetoothProvider::BluetoothDevice record(*stack, address);
  try {
    record.Update();
  } catch (const MBRadioNotFoundErrorException&) {
    // An unknown device has an empty record: it counts as not paired below.
    KS_LOG(Sink(), kLogError, kTag, "Connect: Error during device update (fetching data)");
  } catch (const MBProviderGeneralException& e) {
    TryRepairYellowBangDevice(address);
    KS_LOG(Sink(), kLogError, kTag, "Connect: Throw bluetooth_exception with error = %d\n",
           static_cast<int>(e.Code()));
    throw BluetoothProvider::ProviderGeneralException(e.Code(), e.Message());
  }
  if (!record.IsAuthenticated()) {
    KS_LOG(Sink(), kLogError, kTag, "Connect: Device is not paired\n");
    KS_LOG(Sink(), kLogError, kTag, "Connect: Throw device_not_paired\n");
    throw BluetoothProvider::DeviceNotPairedException();
  }

  uint32_t handle = 0;
  for (int retry = 0;; ++retry) {
    try {
      handle = transport->CreateConnection(address, serviceClassId);
      break;
    } catch (const MBPlugAndPlayErrorException&) {
      if (retry >= options.plugAndPlayRetries) {
        KS_LOG(Sink(), kLogError, kTag,
               "Connect: Radio not available - PlugAndPlay error . All retries exahusted");
        throw BluetoothProvider::RadioNotAvailableException();
      }
      KS_LOG(Sink(), kLogWarning, kTag,
             "Connect: Checking if driver is fully available after PlugAndPlay error (Iteration "
             "#%d)",
             retry + 1);
      std::this_thread::sleep_for(options.plugAndPlayRetryInterval);
    } catch (const MBProviderGeneralException& e) {
      TryRepairYellowBangDevice(address);
      KS_LOG(Sink(), kLogError, kTag, "Connect: Throw bluetooth_exception with error=%d",
             static_cast<int>(e.Code()));
      throw BluetoothProvider::ProviderGeneralException(e.Code(), e.Message());
    }
  }
  KS_LOG(Sink(), kLogInfo, kTag, "Connect: Exit with uint32_t=%d", static_cast<int>(handle));
  return handle;
}

void ClassicBTProvider::Disconnect(uint32_t handle) {
  KS_LOG(Sink(), kLogInfo, kTag, "Disconnect before lock ");
  keystone::MutexLock lock(mutex);
  KS_LOG(Sink(), kLogInfo, kTag, "Disconnect after lock ");
  try {
    transport->CloseConnection(handle);
  } catch (const MBProviderGeneralException& e) {
    throw BluetoothProvider::ProviderGeneralException(e.Code(), e.Message());
  }
}

void ClassicBTProvider::Send(uint32_t handle, const Bytes& message) {
  if (!radios.IsRadioPresent()) {
    KS_LOG(Sink(), kLogError, kTag, "Send: Throw adapter_not_available");
    throw BluetoothProvider::RadioNotAvailableException();
  }
  KS_LOG(Sink(), kLogInfo, kTag, "Send before lock ");
  keystone::MutexLock lock(mutex);
  KS_LOG(Sink(), kLogInfo, kTag, "Send after lock ");
  try {
    transport->Socket(handle)->Send(message);
  } catch (const MBProviderServiceNotFoundException& e) {
    KS_LOG(Sink(), kLogError, kTag,
           "Send: Throw MicrosoftBluetoothProviderServiceNotFoundException with =%s",
           e.Message().c_str());
    throw BluetoothProvider::ProviderGeneralException(e.Code(), e.Message());
  } catch (const MBProviderGeneralException& e) {
    KS_LOG(Sink(), kLogError, kTag, "Send: Throw MicrosoftBluetoothProviderGeneralException with =%s",
           e.Message().c_str());
    throw BluetoothProvider::ProviderGeneralException(e.Code(), e.Message());
  }
  KS_LOG(Sink(), kLogInfo, kTag, "Send: Exit\n");
}

void ClassicBTProvider::Receive(uint32_t handle, uint32_t timeoutMs, Bytes& reply) {
  if (!radios.IsRadioPresent()) {
    KS_LOG(Sink(), kLogError, kTag, "Receive: Throw adapter_not_available");
    throw BluetoothProvider::RadioNotAvailableException();
  }
  KS_LOG(Sink(), kLogInfo, kTag, "Receive before lock ");
  keystone::MutexLock lock(mutex);
  KS_LOG(Sink(), kLogInfo, kTag, "Receive after lock ");
  try {
    try {
      transport->Socket(handle)->Receive(timeoutMs, reply);
    } catch (const MBProviderGeneralException&) {
      throw;
    } catch (const std::exception& e) {
      throw MBProviderGeneralException(18, e.what());
    }
  } catch (const MBProviderTimeoutPassed& e) {
    KS_LOG(Sink(), kLogWarning, kTag, "Receive: Throw timeoutException (%s)", e.Message().c_str());
    throw BluetoothProvider::ProviderTimeoutPassed();
  } catch (const MBProviderGeneralException& e) {
    KS_LOG(Sink(), kLogError, kTag, "Receive: Throw connection_exception (%s)",
           e.Message().c_str());
    throw BluetoothProvider::ProviderGeneralException(e.Code(), e.Message());
  }
  KS_LOG(Sink(), kLogInfo, kTag, "Receive: Exit\n");
}

bool ClassicBTProvider::IsRSSISupported() {
  if (stack->CanReadConnectionRssi()) return true;
  KS_LOG(Sink(), kLogWarning, kTag,
         "IsRSSISupported: Failed to find Ostra Wireless driver installed correctly. Returning "
         "not supported.");
  return false;
}

int16_t ClassicBTProvider::GetDeviceRssi(const BluetoothDevice& device, bool /*flag*/) {
  return rssiFinder->GetRssi(device.address);
}

void ClassicBTProvider::Setup() {
  keystone::MutexLock lock(mutex);
  radios.GetBluetoothRadios();
  SetupRssiFinder();
}

void ClassicBTProvider::SetupRssiFinder() {
  try {
    rssiFinder->Setup();
  } catch (const std::exception& e) {
    // Not fatal: the finder takes a radio that comes later by itself.
    KS_LOG(Sink(), kLogWarning, kTag, "HostRssiFinder setup failed: %s", e.what());
  }
}

void ClassicBTProvider::TearDown() {}

void ClassicBTProvider::Reset() {
  TearDown();
  Setup();
}

bool ClassicBTProvider::InquiryDevice(const BluetoothDevice& device) {
  keystone::MutexLock lock(mutex);
  ClassicBluetoothProvider::BluetoothDevice record(*stack, ParseBluetoothAddress(device.address));
  try {
    record.Update();
  } catch (const BluetoothProvider::ProviderGeneralException&) {
    // Unknown or unreadable: not paired, below.
  }
  if (!record.IsAuthenticated()) throw BluetoothProvider::DeviceNotPairedException();
  return record.LookupAnyService();
}

void ClassicBTProvider::TryRepairYellowBangDevice(uint64_t address) {
  try {
    if (!radios.IsRadioPresent()) {
      KS_LOG(Sink(), kLogWarning, kTag, "TryRepairYellowBangDevice: Radio not available.");
      return;
    }
    const std::string text = FormatBluetoothAddress(address);
    const std::optional<int> problem = stack->DeviceNodeProblem(address);
    if (!problem) {
      KS_LOG(Sink(), kLogWarning, kTag, "TryRepairYellowBangDevice: Can't find the device address. %s",
             text.c_str());
      return;
    }
    if (*problem == 0) {
      KS_LOG(Sink(), kLogInfo, kTag, "TryRepairYellowBangDevice: no repair needed, status %d",
             *problem);
      return;
    }
    KS_LOG(Sink(), kLogWarning, kTag, "TryRepairYellowBangDevice: Repairing BT devnode. %s",
           text.c_str());
    stack->SetDeviceNodeEnabled(address, false);
    KS_LOG(Sink(), kLogInfo, kTag, "TryRepairYellowBangDevice: Enabling BT devnode .");
    stack->SetDeviceNodeEnabled(address, true);
    if (!stack->DeviceNodeProblem(address)) {
      KS_LOG(Sink(), kLogWarning, kTag, "TryRepairYellowBangDevice: Can't find the device status. %s",
             text.c_str());
    }
  } catch (const std::exception& e) {
    KS_LOG(Sink(), kLogError, kTag, "TryRepairYellowBangDevice: Exception %s", e.what());
  } catch (...) {
    KS_LOG(Sink(), kLogError, kTag, "Unknown exception");
  }
}

}  // namespace mfab
