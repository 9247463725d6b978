#pragma once

// The smart-card side of the certificate handling: readers (PC/SC), the keys and certificates
// on the cards (a PKCS#11 module), the certificate to enroll with, PIN state and signatures.
//
// Readers and slots: a reader is the module's slot whose description is the reader's name
// (OpenSC copies the PC/SC name, blank-padded and cut at 64 bytes) or, for software tokens, whose
// token label is the name. A key container is a certificate and its private key paired by
// CKA_ID; private keys are invisible before log-in, so containers are listed from the
// certificates (CA certificates on the card are not containers, but serve as chain issuers).
// A container's name is its CKA_ID in lower-case hex.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/mutex.h"
#include "platform/clock.h"
#include "platform/pkcs11_module.h"
#include "platform/smart_card_readers.h"
#include "smartcard/cert_crl_source.h"
#include "smartcard/cert_openssl.h"
#include "smartcard/certificate_store_handler.h"
#include "smartcard/certificates.h"

namespace platform {
class Registry;
}  // namespace platform

namespace CertificateStore {

// A certificate found on a card.
struct CardCertificate {
  std::string readerName;
  std::string containerName;  // CKA_ID, lower-case hex
  std::string label;          // CKA_LABEL
  X509Ptr certificate;
  bool isCa = false;
};

// What `keystonectl smartcard list` shows of one reader.
struct CardCertificateInfo {
  std::string containerName;
  std::string label;
  std::string subject;
  std::string sha256;
  std::string sha1;
  std::vector<std::string> usages;  // extended key usages, dotted
  uint64_t expiry = 0;              // file time
  bool isCa = false;
};
struct CardInfo {
  std::string readerName;
  bool cardPresent = false;
  std::string tokenLabel;
  bool pinNeeded = false;
  bool pinLocked = false;
  bool pinFinalTry = false;
  std::vector<CardCertificateInfo> certificates;
};

// Loads the PKCS#11 module; throws platform::Pkcs11Error.
using Pkcs11Loader = std::function<std::unique_ptr<platform::Pkcs11Module>()>;

// The module the registry names (REG_SZ Pkcs11Module under the PhysicalSmartcard factor key),
// OpenSC's by default; the value is read at each load.
Pkcs11Loader Pkcs11LoaderFromRegistry(platform::Registry& registry);

struct SmartcardCertificateHandlerOptions {
  // List the module's token labels as the readers instead of asking PC/SC (software tokens).
  bool tokensAsReaders = false;
};

// Whether the registry asks for software tokens as readers (REG_DWORD TokensAsReaders = 1 under
// the PhysicalSmartcard factor key); false when absent or unreadable.
bool TokensAsReadersFromRegistry(platform::Registry& registry);

// Thread-safe: the module is loaded once and shared; every call opens and closes its own
// sessions. Calls block for the reader service, the card and (for chains) the CRL source's time
// limit. Throws the exceptions of smartcard/exceptions.h.
class SmartcardCertificateHandler : public ISmartCardCertificates {
 public:
  // Largest nonce signed.
  static constexpr size_t kMaxNonceSize = 4096;

  // readers may be null when options.tokensAsReaders is set; crls may be null (revocation then
  // stays unknown).
  SmartcardCertificateHandler(std::unique_ptr<platform::SmartCardReaders> readers,
                              Pkcs11Loader loadModule, std::unique_ptr<CrlSource> crls,
                              platform::Clock& clock, SmartcardCertificateHandlerOptions options = {});
  SmartcardCertificateHandler(const SmartcardCertificateHandler&) = delete;
  SmartcardCertificateHandler& operator=(const SmartcardCertificateHandler&) = delete;

  // ISmartCardCertificates
  void OpenStorageProvider() override;
  EnrollmentData GetEnrollmentData(const PolicyInputs& policy) override;
  bool IsPinNeeded(const ContainerLocation& container) override;
  mfab::Bytes SignNonce(const ContainerLocation& container, const std::optional<std::string>& pin,
                        const mfab::Bytes& nonce) override;
  std::optional<ContainerLocation> FindContainer(const std::string& baseReaderName,
                                                 const mfab::Bytes& p7bBundle) override;
  std::vector<CertificateRecord> VerifiedCertificateChain(const mfab::Bytes& p7bBundle,
                                                          const std::string& sha1Thumbprint,
                                                          bool checkRevocation) override;
  std::string GetCertificateThumbprint(const ContainerLocation& container) override;

  // The readers whose lower-cased name holds the lower-cased base name (all for an empty one).
  // SmartCardNotAvailableException "SCardEstablishContext Failed." when the reader service is
  // not there; SmartCardReaderNotAvailableException "SCardListReaders return with error." when
  // listing fails or no reader is attached.
  std::vector<std::string> FilterReaders(const std::string& baseReaderName);
  // The certificates on the card in the reader; empty when no card is in it.
  std::vector<CardCertificate> GetCertificatesList(const std::string& readerName);
  // Passes when the certificate's extended key usages hold every required one (or none is
  // required); SmartCardCertificateVerificationException "Missing relevant OID in certificate.".
  void VerifyOIDs(X509* certificate, const std::set<std::string>& requiredOids) const;
  // A certs-only PKCS#7 bundle of the records' certificates, in order;
  // SmartCardGeneralError with the failed step's text.
  mfab::Bytes CreateP7bFromCertificateChain(const std::vector<CertificateRecord>& records) const;
  // Readers, their cards, containers and certificates, for display.
  std::vector<CardInfo> ListCards(const std::string& baseReaderName);

  const CertificateStoreHandler& StoreHandler() const { return store; }

 private:
  struct ContainerKey {
    platform::Pkcs11Slot slot;
    std::vector<uint8_t> id;
  };

  std::shared_ptr<platform::Pkcs11Module> Module();
  // The slot of the card in the reader, or nothing when no card is in it.
  std::optional<platform::Pkcs11Slot> SlotFor(platform::Pkcs11Module& module,
                                              const std::string& readerName);
  // The container's slot and CKA_ID; SmartCardNotAvailableException when its card is gone.
  ContainerKey Locate(platform::Pkcs11Module& module, const ContainerLocation& container,
                      const char* failureLog);
  std::vector<std::string> ListReaderNames();

  std::unique_ptr<platform::SmartCardReaders> readers;
  Pkcs11Loader loadModule;
  std::unique_ptr<CrlSource> crls;
  CertificateStoreHandler store;
  SmartcardCertificateHandlerOptions options;

  keystone::Mutex moduleMutex;  // Guards the member below.
  std::shared_ptr<platform::Pkcs11Module> module GUARDED_BY(moduleMutex);
};

// The extended key usages of a certificate, dotted; empty without the extension.
std::vector<std::string> ExtendedKeyUsages(X509* certificate);

// The handler as the engine makes it (CreateSmartCardCertificates), for callers that need more
// than the factor's interface: the readers (or software tokens) and module the registry names,
// and the revocation-list cache in the engine's data directory.
std::shared_ptr<SmartcardCertificateHandler> CreateSmartcardCertificateHandler(
    platform::Registry& registry);

}  // namespace CertificateStore
