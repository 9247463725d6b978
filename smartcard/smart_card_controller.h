#pragma once

// The smart-card factor's controller: what the factor can do on this machine, and the requests
// that go to the user's own client process (PIN prompt, signature after the user confirmed).

#include <cstdint>
#include <memory>
#include <stop_token>
#include <string>

#include "flows/factor.h"
#include "smartcard/certificates.h"
#include "smartcard/client_callbacks.h"
#include "tlv/tlv.h"

namespace platform {
class OsVersion;
}  // namespace platform

namespace SmartCardFactor {

// A PIN prompt; attempt counts from 1 and rises after the card refused a PIN.
struct PinRequest {
  CallbackTarget target;
  int32_t attempt = 1;
};

// A signature of data (SHA-256, PKCS#1 v1.5) with the key of the certificate whose SHA-1
// thumbprint is certificateSha1.
struct SignRequest {
  CallbackTarget target;
  mfab::Bytes data;
  std::string certificateSha1;
};

// Shared by the factor and its flows; every collaborator is shared with or borrowed from the
// composition root (osVersion must outlive the controller). Thread-safe.
class SmartCardController final : public Factors::ConcreteFactorController<SmartCardController> {
 public:
  SmartCardController(std::shared_ptr<CertificateStore::ISmartCardCertificates> certificates,
                      std::shared_ptr<IClientCallbacks> callbacks, platform::OsVersion& osVersion);

  bool CanEnroll() override { return true; }
  bool CanAuthenticate() override { return true; }
  // Supported from version 6.2 on; a version that cannot be read counts as unsupported.
  Support IsSupported() override;

  // Opens the card's key storage, then has the client collect the PIN. Blocks until the client
  // answers or stop is requested. Throws SmartCardNotAvailableException "Open smart card storage
  // failed!!!"; std::runtime_error "did not do SmartCardGetPin on UI" when the client answered
  // non-zero (1708 when it could not be reached or stop came first).
  std::string Send(const PinRequest& request, std::stop_token stop);
  // As above for the signature; "did not do SmartCardSignHash on UI".
  mfab::Bytes Send(const SignRequest& request, std::stop_token stop);

  CertificateStore::ISmartCardCertificates& Certificates() { return *certificates; }

 private:
  const std::shared_ptr<CertificateStore::ISmartCardCertificates> certificates;
  const std::shared_ptr<IClientCallbacks> callbacks;
  platform::OsVersion& osVersion;
};

}  // namespace SmartCardFactor
