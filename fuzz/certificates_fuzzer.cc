// The first byte picks what the rest is: 0 a bundle as stored for a user, verified as the
// authentication does (without revocation: nothing is fetched); 1 a revocation list as
// downloaded or cached; anything else one certificate. Only the handling's own exceptions may
// leave; anything else is a finding.

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/clock.h"
#include "smartcard/cert_openssl.h"
#include "smartcard/certificate_store_handler.h"
#include "smartcard/exceptions.h"

namespace {

using namespace CertificateStore;

void Bundle(std::span<const uint8_t> bytes) {
  CertificateStoreHandler handler(nullptr, platform::SystemClock());
  try {
    const CertStore store = handler.ParseP7bBlobToCertStore(bytes);
    const ChainEngine engine = handler.CreateCertificateChainEngine(store);
    for (const X509Ptr& certificate : store.certificates) {
      const CertificateChain chain =
          handler.GenerateCertificateChain(engine, certificate.get(), &store, true);
      try {
        handler.VerifyChain(chain);
      } catch (const SmartCardCertificateVerificationException&) {
      }
      handler.GetCertificateListFromChain(chain);
    }
  } catch (const mfab::MfaException&) {
  }
}

void Crl(std::span<const uint8_t> bytes) {
  CrlPtr crl = ParseCrl(bytes);
  if (!crl) return;
  int64_t seconds = 0;
  UnixTimeOf(X509_CRL_get0_nextUpdate(crl.get()), seconds);
  EncodeCrl(crl.get());
}

void Certificate(std::span<const uint8_t> bytes) {
  X509Ptr certificate = ParseCertificate(bytes);
  if (!certificate) return;
  DistributionPoints(certificate.get());
  DisplayName(certificate.get());
  ExpiryFileTime(certificate.get());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::span<const uint8_t> rest(data + 1, size - 1);
  switch (data[0]) {
    case 0:
      Bundle(rest);
      break;
    case 1:
      Crl(rest);
      break;
    default:
      Certificate(rest);
      break;
  }
  TakeOpenSslError();
  return 0;
}
