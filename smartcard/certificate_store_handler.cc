#include "smartcard/certificate_store_handler.h"

#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/x509v3.h>

#include "log/logger.h"
#include "smartcard/exceptions.h"

namespace CertificateStore {
namespace {

using mfab::FormatLogMessage;
using mfab::kLogError;
using mfab::kLogInfo;

mfab::AuthenticateLogger& Log() { return mfab::AuthenticateLoggerService::Instance(); }

// Seconds between 1601-01-01 and 1970-01-01.
constexpr int64_t kFileTimeEpochOffset = 11644473600;

struct VerifyState {
  bool revocationUnknown = false;
};

// Lets the verification go on past exactly the errors that say a revocation status could not be
// determined; every other error stops it.
int TolerateUnknownRevocation(int ok, X509_STORE_CTX* ctx) {
  if (ok) return 1;
  switch (X509_STORE_CTX_get_error(ctx)) {
    case X509_V_ERR_UNABLE_TO_GET_CRL:
    case X509_V_ERR_CRL_HAS_EXPIRED:
    case X509_V_ERR_UNABLE_TO_GET_CRL_ISSUER:
      if (auto* state = static_cast<VerifyState*>(X509_STORE_CTX_get_app_data(ctx))) {
        state->revocationUnknown = true;
      }
      return 1;
    default:
      return 0;
  }
}

bool SelfSigned(X509* certificate) {
  return X509_check_issued(certificate, certificate) == X509_V_OK;
}

struct StackDeleter {
  void operator()(STACK_OF(X509) * stack) const { sk_X509_free(stack); }
};
struct CrlStackDeleter {
  void operator()(STACK_OF(X509_CRL) * stack) const { sk_X509_CRL_free(stack); }
};

}  // namespace

uint64_t ExpiryFileTime(X509* certificate) {
  int64_t seconds = 0;
  if (!UnixTimeOf(X509_get0_notAfter(certificate), seconds)) return 0;
  if (seconds < -kFileTimeEpochOffset) return 0;
  return static_cast<uint64_t>(seconds + kFileTimeEpochOffset) * 10'000'000u;
}

CertificateStoreHandler::CertificateStoreHandler(CrlSource* crlSource, platform::Clock& clockToUse)
    : crls(crlSource), clock(&clockToUse) {}

CertStore CertificateStoreHandler::ParseP7bBlobToCertStore(std::span<const uint8_t> bytes) const {
  ERR_clear_error();
  Pkcs7Ptr p7;
  const unsigned char* p = bytes.data();
  if (bytes.size() <= kMaxBundleSize) {
    p7.reset(d2i_PKCS7(nullptr, &p, static_cast<long>(bytes.size())));
  }
  if (!p7 || p != bytes.data() + bytes.size()) {
    const unsigned long error = TakeOpenSslError();
    KS_LOG(Log(), kLogError, "FLOW", "Invalid Format: Could not parse cryptography file. Error: %lx",
           error);
    throw InvalidInputException(
        FormatLogMessage("Invalid Format: Could not parse cryptography file. Error: %lx", error));
  }
  if (!PKCS7_type_is_signed(p7.get()) || p7->d.sign == nullptr) {
    KS_LOG(Log(), kLogError, "FLOW", "Invalid Format: Not expected cryptography type.");
    throw InvalidInputException("Invalid Format: Not expected cryptography type.");
  }
  CertStore store;
  STACK_OF(X509)* certificates = p7->d.sign->cert;
  const int count = certificates ? sk_X509_num(certificates) : 0;
  if (count > static_cast<int>(kMaxBundleCertificates)) {
    KS_LOG(Log(), kLogError, "FLOW", "Invalid Format: Could not parse cryptography file. Error: %x",
           count);
    throw InvalidInputException(
        FormatLogMessage("Invalid Format: Could not parse cryptography file. Error: %x", count));
  }
  for (int i = 0; i < count; ++i) store.certificates.push_back(Share(sk_X509_value(certificates, i)));
  return store;
}

ChainEngine CertificateStoreHandler::CreateCertificateChainEngine(
    const CertStore& exclusiveRootStore) const {
  ChainEngine engine{StorePtr(X509_STORE_new())};
  bool ok = engine.roots != nullptr;
  for (const X509Ptr& certificate : exclusiveRootStore.certificates) {
    if (!ok) break;
    if (SelfSigned(certificate.get())) {
      ok = X509_STORE_add_cert(engine.roots.get(), certificate.get()) == 1;
      engine.rootCertificates.push_back(Share(certificate.get()));
    }
  }
  if (!ok) {
    const unsigned long error = TakeOpenSslError();
    KS_LOG(Log(), kLogError, "FLOW", "Failed to build chain engine. Error: %lx", error);
    throw SmartCardGeneralError(FormatLogMessage("Failed to build chain engine. Error: %lx", error));
  }
  ERR_clear_error();  // a root already present is reported but harmless
  return engine;
}

CertificateChain CertificateStoreHandler::GenerateCertificateChain(const ChainEngine& engine,
                                                                   X509* certificate,
                                                                   const CertStore* additionalStore,
                                                                   bool checkRevocation) const {
  if (certificate == nullptr || engine.roots == nullptr) {
    KS_LOG(Log(), kLogError, "FLOW", "Invalid Parameters.");
    throw InvalidInputException("Invalid Parameters.");
  }
  std::unique_ptr<STACK_OF(X509), StackDeleter> untrusted(sk_X509_new_null());
  std::unique_ptr<STACK_OF(X509_CRL), CrlStackDeleter> crlStack(sk_X509_CRL_new_null());
  StoreCtxPtr ctx(X509_STORE_CTX_new());
  std::vector<CrlPtr> crlOwners;
  VerifyState state;
  bool ok = untrusted && crlStack && ctx;
  if (ok && additionalStore) {
    for (const X509Ptr& extra : additionalStore->certificates) {
      ok = ok && sk_X509_push(untrusted.get(), extra.get()) > 0;
    }
  }
  ok = ok && X509_STORE_CTX_init(ctx.get(), engine.roots.get(), certificate, untrusted.get()) == 1;
  if (ok) {
    X509_VERIFY_PARAM_set_time(X509_STORE_CTX_get0_param(ctx.get()),
                               static_cast<time_t>(clock->UnixSeconds()));
    X509_STORE_CTX_set_verify_cb(ctx.get(), TolerateUnknownRevocation);
    X509_STORE_CTX_set_app_data(ctx.get(), &state);
  }
  if (ok && checkRevocation) {
    // The lists of every certificate that may end up in the chain; with a bundle that holds one
    // chain that is the chain itself.
    std::vector<X509*> candidates = {certificate};
    for (int i = 0; i < sk_X509_num(untrusted.get()); ++i) {
      candidates.push_back(sk_X509_value(untrusted.get(), i));
    }
    for (const X509Ptr& root : engine.rootCertificates) candidates.push_back(root.get());
    std::vector<std::string> urls;
    for (X509* candidate : candidates) {
      for (std::string& url : DistributionPoints(candidate)) urls.push_back(std::move(url));
    }
    if (crls && !urls.empty()) crlOwners = crls->CrlsFor(urls, candidates);
    for (const CrlPtr& crl : crlOwners) ok = ok && sk_X509_CRL_push(crlStack.get(), crl.get()) > 0;
    X509_STORE_CTX_set0_crls(ctx.get(), crlStack.get());
    X509_STORE_CTX_set_flags(ctx.get(), X509_V_FLAG_CRL_CHECK | X509_V_FLAG_CRL_CHECK_ALL);
  }
  const int verdict = ok ? X509_verify_cert(ctx.get()) : -1;
  if (verdict < 0) {
    const unsigned long error = TakeOpenSslError();
    KS_LOG(Log(), kLogError, "FLOW", "Failed to build certificate chain.Error: %lx", error);
    throw SmartCardGeneralError(
        FormatLogMessage("Failed to build certificate chain.Error: %lx", error));
  }
  CertificateChain chain;
  chain.trusted = verdict == 1;
  chain.error = chain.trusted ? 0 : X509_STORE_CTX_get_error(ctx.get());
  chain.revocationUnknown = state.revocationUnknown;
  STACK_OF(X509)* built = X509_STORE_CTX_get0_chain(ctx.get());
  for (int i = 0; built && i < sk_X509_num(built); ++i) {
    chain.elements.push_back(Share(sk_X509_value(built, i)));
  }
  if (chain.elements.empty()) chain.elements.push_back(Share(certificate));
  if (chain.trusted && chain.revocationUnknown) {
    KS_LOG(Log(), kLogInfo, "FLOW", "revocation status unknown for %s (lists unavailable)",
           DisplayName(certificate).c_str());
  }
  ERR_clear_error();
  return chain;
}

void CertificateStoreHandler::VerifyChain(const CertificateChain& chain) const {
  if (!chain.trusted) {
    KS_LOG(Log(), kLogError, "FLOW", "Untrusted Chain. Error: %x (%s)", chain.error,
           X509_verify_cert_error_string(chain.error));
    throw SmartCardCertificateVerificationException(
        FormatLogMessage("Untrusted Chain. Error: %x", chain.error));
  }
  ASN1_OBJECT* algorithm = nullptr;
  X509_PUBKEY* key = chain.elements.empty() ? nullptr : X509_get_X509_PUBKEY(chain.elements[0].get());
  if (key == nullptr || X509_PUBKEY_get0_param(&algorithm, nullptr, nullptr, nullptr, key) != 1 ||
      OBJ_obj2nid(algorithm) != NID_rsaEncryption) {
    KS_LOG(Log(), kLogError, "FLOW", "invalid public key type.");
    throw SmartCardCertificateVerificationException("invalid public key type.");
  }
}

std::vector<CertificateRecord> CertificateStoreHandler::GetCertificateListFromChain(
    const CertificateChain& chain) const {
  if (chain.elements.size() < kMinChainLength || chain.elements.size() > kMaxChainLength) {
    KS_LOG(Log(), kLogError, "FLOW", "Certificates chain not in the right size");
    throw InvalidInputException("Certificates chain not in the right size");
  }
  std::vector<CertificateRecord> records;
  for (const X509Ptr& element : chain.elements) {
    CertificateRecord record;
    record.encoded = EncodeCertificate(element.get());
    if (record.encoded.size() > kMaxCertificateSize) {
      KS_LOG(Log(), kLogError, "FLOW", "Certificates size is to big");
      throw InvalidInputException("Certificates size is to big");
    }
    record.thumbprint = GenerateThumbprint(record.encoded, HashAlgorithm::kSha256);
    record.expiry = ExpiryFileTime(element.get());
    records.push_back(std::move(record));
  }
  return records;
}

std::string CertificateStoreHandler::GenerateThumbprint(std::span<const uint8_t> encoded,
                                                        HashAlgorithm algorithm) {
  const std::vector<uint8_t> digest = Digest(encoded, algorithm);
  if (digest.empty()) {
    KS_LOG(Log(), kLogError, "FLOW", "Can't generate certificate hash.");
    throw SmartCardGeneralError("Can't generate certificate hash.");
  }
  return HexText(digest);
}

X509Ptr CertificateStoreHandler::GetCertContextFromCertStore(const CertStore& store,
                                                             const std::string& sha1) const {
  for (const X509Ptr& certificate : store.certificates) {
    // OpenSSL keeps each certificate's SHA-1 once computed.
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (X509_digest(certificate.get(), EVP_sha1(), digest, &length) == 1 &&
        HexText(std::span<const uint8_t>(digest, length)) == sha1) {
      return Share(certificate.get());
    }
  }
  KS_LOG(Log(), kLogError, "FLOW", "Unable to find certificate from thumbprint.");
  throw InvalidInputException("Unable to find certificate from thumbprint.");
}

std::shared_ptr<const CertificateStoreHandler::ParsedBundle> CertificateStoreHandler::Parsed(
    std::span<const uint8_t> p7b) const {
  const std::string key = HexText(Digest(p7b, HashAlgorithm::kSha256));
  {
    keystone::MutexLock lock(parsedMutex);
    if (auto found = parsed.find(key); found != parsed.end()) return found->second;
  }
  auto bundle = std::make_shared<ParsedBundle>();
  bundle->store = ParseP7bBlobToCertStore(p7b);
  // OpenSSL fills a certificate's extension cache (key identifiers, usages, fingerprint) on its
  // first use; filled here, before the bundle is shared, concurrent verifications only read it.
  for (const X509Ptr& certificate : bundle->store.certificates) {
    X509_check_purpose(certificate.get(), -1, 0);
  }
  bundle->engine = CreateCertificateChainEngine(bundle->store);
  keystone::MutexLock lock(parsedMutex);
  if (parsed.emplace(key, bundle).second) {
    parsedOrder.push_back(key);
    if (parsedOrder.size() > kMaxParsedBundles) {
      parsed.erase(parsedOrder.front());
      parsedOrder.pop_front();
    }
  }
  return bundle;
}

std::vector<CertificateRecord> CertificateStoreHandler::VerifiedCertificateChain(
    std::span<const uint8_t> p7b, const std::string& sha1, bool checkRevocation) const {
  const std::shared_ptr<const ParsedBundle> bundle = Parsed(p7b);
  const X509Ptr certificate = GetCertContextFromCertStore(bundle->store, sha1);
  const CertificateChain chain =
      GenerateCertificateChain(bundle->engine, certificate.get(), &bundle->store, checkRevocation);
  VerifyChain(chain);
  return GetCertificateListFromChain(chain);
}

}  // namespace CertificateStore
