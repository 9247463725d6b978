#pragma once

// What the smart-card factor asks of the certificate handling: find the certificate to enroll
// with, tell whether its card wants a PIN, sign with its key, and verify a stored bundle again.
// The implementation sits on PC/SC readers, a PKCS#11 module and OpenSSL; tests hand in fakes.
// Every operation throws the exceptions of smartcard/exceptions.h.

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tlv/tlv.h"

namespace platform {
class Registry;
}  // namespace platform

namespace CertificateStore {

// One element of a verified chain, leaf first.
struct CertificateRecord {
  mfab::Bytes encoded;     // DER
  std::string thumbprint;  // SHA-256 of encoded, lower-case hex
  uint64_t expiry = 0;     // NotAfter as a 100-ns file time
};

// The administrator's smart-card policy as the certificate search uses it.
struct PolicyInputs {
  std::set<std::string> caThumbprints;  // SHA-256, lower-case hex
  std::set<std::string> requiredOids;   // extended key usages, dotted
  std::string baseReaderName;           // empty: every reader
};

// Where the enrollment certificate lives and what it chains to.
struct EnrollmentData {
  std::string readerName;
  std::string containerName;
  mfab::Bytes leafCertificate;  // DER
  std::vector<CertificateRecord> chain;
  mfab::Bytes p7bBundle;  // certs-only PKCS#7 of chain
  bool pinNeeded = true;
};

// A key container found on a card: its reader and its name.
struct ContainerLocation {
  std::string readerName;
  std::string containerName;
};

class ISmartCardCertificates {
 public:
  virtual ~ISmartCardCertificates() = default;

  // Opens the card's key storage (the PKCS#11 module); SmartCardNotAvailableException
  // "Open smart card storage failed!!!" when it cannot.
  virtual void OpenStorageProvider() = 0;
  // The first certificate on a card that passes the policy, with its chain and bundle.
  virtual EnrollmentData GetEnrollmentData(const PolicyInputs& policy) = 0;
  // Whether the container's card wants a PIN before it signs.
  virtual bool IsPinNeeded(const ContainerLocation& container) = 0;
  // SHA-256 PKCS#1 v1.5 signature of nonce with the container's key; pin empty: no log-in.
  // Throws SmartPinError when the card refuses the PIN.
  virtual mfab::Bytes SignNonce(const ContainerLocation& container,
                                const std::optional<std::string>& pin,
                                const mfab::Bytes& nonce) = 0;
  // The container (in the readers the base name keeps) whose certificate is the bundle's leaf,
  // or nothing when no card present holds it.
  virtual std::optional<ContainerLocation> FindContainer(const std::string& baseReaderName,
                                                         const mfab::Bytes& p7bBundle) = 0;
  // Parses the bundle, finds the certificate with this SHA-1 thumbprint (lower-case hex) and
  // verifies its chain with the bundle's roots as the only trust; revocation is checked when
  // checkRevocation is set. Returns the chain's records.
  virtual std::vector<CertificateRecord> VerifiedCertificateChain(const mfab::Bytes& p7bBundle,
                                                                  const std::string& sha1Thumbprint,
                                                                  bool checkRevocation) = 0;
  // SHA-1 thumbprint (lower-case hex) of the container's certificate.
  virtual std::string GetCertificateThumbprint(const ContainerLocation& container) = 0;
};

// The handler over this machine's PC/SC readers and the PKCS#11 module the registry names, with
// its revocation-list cache in the engine's data directory.
std::shared_ptr<ISmartCardCertificates> CreateSmartCardCertificates(platform::Registry& registry);

}  // namespace CertificateStore
