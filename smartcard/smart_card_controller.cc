#include "smartcard/smart_card_controller.h"

#include <stdexcept>
#include <utility>

#include "log/logger.h"
#include "platform/os_version.h"
#include "smartcard/exceptions.h"

namespace SmartCardFactor {
namespace {

mfab::AuthenticateLogger& Log() { return mfab::AuthenticateLoggerService::Instance(); }

// The client callbacks' own bounds; a longer answer is a broken client.
constexpr size_t kMaxPinBytes = 256;
constexpr size_t kMaxSignatureBytes = 1024;

}  // namespace

SmartCardController::SmartCardController(
    std::shared_ptr<CertificateStore::ISmartCardCertificates> certificateHandler,
    std::shared_ptr<IClientCallbacks> clientCallbacks, platform::OsVersion& version)
    : certificates(std::move(certificateHandler)),
      callbacks(std::move(clientCallbacks)),
      osVersion(version) {}

Factors::FactorController::Support SmartCardController::IsSupported() {
  try {
    return {static_cast<uint8_t>(osVersion.AtLeastWindows8() ? 1 : 0), 0};
  } catch (const std::exception& e) {
    KS_LOG(Log(), mfab::kLogWarning, "FLOW", "OS version unknown (%s)", e.what());
    return {0, 0};
  }
}

std::string SmartCardController::Send(const PinRequest& request, std::stop_token stop) {
  certificates->OpenStorageProvider();
  std::string pin;
  const uint32_t status = callbacks->GetPin(request.target, request.attempt, pin, stop);
  if (status != 0 || pin.size() > kMaxPinBytes) {
    KS_LOG(Log(), mfab::kLogInfo, "FLOW", "SmartCardGetPin return error %x", status);
    throw std::runtime_error("did not do SmartCardGetPin on UI");
  }
  return pin;
}

mfab::Bytes SmartCardController::Send(const SignRequest& request, std::stop_token stop) {
  certificates->OpenStorageProvider();
  mfab::Bytes signature;
  const uint32_t status =
      callbacks->SignHash(request.target, request.data, request.certificateSha1, signature, stop);
  if (status != 0 || signature.empty() || signature.size() > kMaxSignatureBytes) {
    KS_LOG(Log(), mfab::kLogInfo, "FLOW", "SmartCardSignHash return error %x", status);
    throw std::runtime_error("did not do SmartCardSignHash on UI");
  }
  return signature;
}

}  // namespace SmartCardFactor
