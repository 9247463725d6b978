#pragma once

// The classic provider's own failures. They stay inside the provider: at its boundary they become
// the BluetoothProvider family of bluetooth/bt_provider.h.

#include <cstdint>
#include <string>
#include <utility>

#include "bluetooth/bt_provider.h"

namespace ClassicBluetoothProvider {

// A failure with a code (the Windows-style socket error of docs/bluetooth.md, or the provider's
// own) and a message text; what() is the class's fixed text.
class MBProviderGeneralException : public BluetoothProvider::ProviderGeneralException {
 public:
  MBProviderGeneralException(uint32_t errorCode, std::string messageText)
      : ProviderGeneralException(errorCode, "Bluetooth provider general exception"),
        text(std::move(messageText)) {}
  const std::string& Message() const { return text; }

 private:
  std::string text;
};

// No data within the receive time-out.
class MBProviderTimeoutPassed : public MBProviderGeneralException {
 public:
  MBProviderTimeoutPassed() : MBProviderGeneralException(6, "Provider timeout passed") {}
};

// The wait for data itself failed.
class MBProviderServiceConnectionFailed : public MBProviderGeneralException {
 public:
  MBProviderServiceConnectionFailed()
      : MBProviderGeneralException(19, "ReceiveData: Error on select.") {}
};

class MBProviderServiceNotFoundException : public MBProviderGeneralException {
 public:
  using MBProviderGeneralException::MBProviderGeneralException;
};

// An invalid socket or arguments.
class MBProviderInvalidParams : public MBProviderGeneralException {
 public:
  explicit MBProviderInvalidParams(std::string messageText)
      : MBProviderGeneralException(10022, std::move(messageText)) {}
};

// The stack was not ready for a connect (driver restarting).
class MBPlugAndPlayErrorException : public BluetoothProvider::ProviderGeneralException {
 public:
  MBPlugAndPlayErrorException() : ProviderGeneralException(10022, "PlugAndPlay error") {}
};

// The stack has no record of the device.
class MBRadioNotFoundErrorException : public BluetoothProvider::ProviderGeneralException {
 public:
  MBRadioNotFoundErrorException()
      : ProviderGeneralException(
            1168, "Bluetooth Provider: Operation failed since device information is no longer "
                  "available.") {}
};

class MBServiceNotFoundErrorException : public BluetoothProvider::ProviderGeneralException {
 public:
  MBServiceNotFoundErrorException()
      : ProviderGeneralException(10108, "No Classic bluetooth provider found") {}
};

class MBInternalErrorException : public BluetoothProvider::ProviderGeneralException {
 public:
  explicit MBInternalErrorException(const std::string& text)
      : ProviderGeneralException(18, text) {}
};

}  // namespace ClassicBluetoothProvider
