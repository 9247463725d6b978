#pragma once

// Certificate bundles, chains and thumbprints with OpenSSL: a certs-only PKCS#7 bundle read into
// a store, a chain built and verified with an exclusive set of roots (never the system's trust
// paths) and the revocation lists of the chain, the chain's records within their limits.
//
// Revocation: a list that cannot be had, has expired or whose issuer cannot be found leaves the
// status unknown, which is accepted (as the revocation-server-offline rule does); a listed
// certificate, a bad signature or any other error rejects the chain.

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "common/mutex.h"
#include "platform/clock.h"
#include "smartcard/cert_crl_source.h"
#include "smartcard/cert_openssl.h"
#include "smartcard/certificates.h"

namespace CertificateStore {

// Chain limits.
inline constexpr size_t kMinChainLength = 1;
inline constexpr size_t kMaxChainLength = 5;
inline constexpr size_t kMaxCertificateSize = 16384;
// A bundle holds a chain and little else; anything much larger is not of our making.
inline constexpr size_t kMaxBundleSize = 128 * 1024;
inline constexpr size_t kMaxBundleCertificates = 16;

// Certificates held in memory (a parsed bundle, the certificates of a card).
struct CertStore {
  std::vector<X509Ptr> certificates;
};

// Trust for chain building: only these roots.
struct ChainEngine {
  StorePtr roots;
  std::vector<X509Ptr> rootCertificates;  // the same, for their distribution points
};

// A built chain, leaf first, and the verification's verdict.
struct CertificateChain {
  std::vector<X509Ptr> elements;
  bool trusted = false;
  int error = 0;  // the verification's error when not trusted (X509_V_ERR_*)
  bool revocationUnknown = false;
};

// Thread-safe when the CRL source is. Keeps the last bundles it verified parsed (certificates
// and their roots), since an authentication verifies the same user's bundle again and again and
// OpenSSL's per-key set-up is most of a verification's cost. Throws the exceptions of
// smartcard/exceptions.h as each method says.
class CertificateStoreHandler {
 public:
  // Bundles kept parsed.
  static constexpr size_t kMaxParsedBundles = 32;

  // crls may be null: revocation is then always unknown.
  CertificateStoreHandler(CrlSource* crls, platform::Clock& clock);

  // InvalidInputException "Invalid Format: Could not parse cryptography file. Error: %x" for
  // bytes that are not one DER PKCS#7 structure (or too large), "Invalid Format: Not expected
  // cryptography type." for PKCS#7 that is not signed data.
  CertStore ParseP7bBlobToCertStore(std::span<const uint8_t> bytes) const;
  // An engine whose roots are the self-signed certificates of the store.
  // SmartCardGeneralError "Failed to build chain engine. Error: %x".
  ChainEngine CreateCertificateChainEngine(const CertStore& exclusiveRootStore) const;
  // Builds and verifies the chain of certificate with the additional store's certificates as
  // intermediates; fetches revocation lists (at most the CRL source's time limit) when
  // checkRevocation is set. An untrusted chain is returned, not thrown (VerifyChain judges).
  // InvalidInputException "Invalid Parameters." for a null certificate;
  // SmartCardGeneralError "Failed to build certificate chain.Error: %x" when OpenSSL fails.
  CertificateChain GenerateCertificateChain(const ChainEngine& engine, X509* certificate,
                                            const CertStore* additionalStore,
                                            bool checkRevocation) const;
  // SmartCardCertificateVerificationException "Untrusted Chain. Error: %x" or
  // "invalid public key type." (the leaf's key is not RSA).
  void VerifyChain(const CertificateChain& chain) const;
  // The chain's records with SHA-256 thumbprints; InvalidInputException "Certificates chain not
  // in the right size" or "Certificates size is to big" outside the limits.
  std::vector<CertificateRecord> GetCertificateListFromChain(const CertificateChain& chain) const;
  // SmartCardGeneralError "Can't generate certificate hash.".
  static std::string GenerateThumbprint(std::span<const uint8_t> encoded, HashAlgorithm algorithm);
  // The store's certificate with this SHA-1 thumbprint (lower-case hex); InvalidInputException
  // "Unable to find certificate from thumbprint.".
  X509Ptr GetCertContextFromCertStore(const CertStore& store, const std::string& sha1) const;
  // Parses the bundle, finds the certificate, builds and verifies its chain with the bundle's
  // roots as the only trust. Throws as the operations above.
  std::vector<CertificateRecord> VerifiedCertificateChain(std::span<const uint8_t> p7b,
                                                          const std::string& sha1,
                                                          bool checkRevocation) const;

 private:
  struct ParsedBundle {
    CertStore store;
    ChainEngine engine;
  };

  // The bundle parsed with its engine, from the cache or made now. Throws as the parse does.
  std::shared_ptr<const ParsedBundle> Parsed(std::span<const uint8_t> p7b) const;

  CrlSource* crls;
  platform::Clock* clock;

  mutable keystone::Mutex parsedMutex;  // Guards the members below.
  mutable std::map<std::string, std::shared_ptr<const ParsedBundle>> parsed
      GUARDED_BY(parsedMutex);  // by the bundle's SHA-256
  mutable std::deque<std::string> parsedOrder GUARDED_BY(parsedMutex);  // oldest first
};

// NotAfter as a 100-ns file time (from 1601-01-01); 0 when it does not convert.
uint64_t ExpiryFileTime(X509* certificate);

}  // namespace CertificateStore
