#include "sim/applet/smart_card_certificates.h"

#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <memory>
#include <stdexcept>

#include "common/hex.h"
#include "sim/applet/field_reader.h"
#include "sim/applet/protocol.h"

namespace kilnsim {
namespace {

struct Pkcs7Free {
  void operator()(PKCS7* p) const { PKCS7_free(p); }
};
struct StoreFree {
  void operator()(X509_STORE* s) const { X509_STORE_free(s); }
};
struct StoreContextFree {
  void operator()(X509_STORE_CTX* c) const { X509_STORE_CTX_free(c); }
};
struct StackFree {
  void operator()(STACK_OF(X509) * s) const { sk_X509_free(s); }
};
struct KeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct DigestContextFree {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};

std::string Thumbprint(X509* certificate, const EVP_MD* digest) {
  unsigned char bytes[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (X509_digest(certificate, digest, bytes, &size) != 1) return {};
  return keystone::ToHex(std::span<const uint8_t>(bytes, size));
}

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

bool IsCaThumbprintKey(const std::string& name) {
  static constexpr char kPrefix[] = "cacertificatethumbprint";
  constexpr size_t kPrefixSize = sizeof(kPrefix) - 1;
  if (name.size() != kPrefixSize + 1) return false;
  for (size_t i = 0; i < kPrefixSize; ++i) {
    const char c = name[i];
    const char lower = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    if (lower != kPrefix[i]) return false;
  }
  return name.back() >= '0' && name.back() <= '4';
}

}  // namespace

std::set<std::string> SmartCardCaThumbprints(const Policy& policy) {
  std::set<std::string> thumbprints;
  const PolicyFactor* factor = policy.FindFactor(kSmartCardFactorId);
  if (factor == nullptr) return thumbprints;
  for (const NameValue& parameter : factor->parameters) {
    if (IsCaThumbprintKey(parameter.name)) thumbprints.insert(Lower(parameter.value));
  }
  return thumbprints;
}

ChainVerdict VerifyCardChain(std::span<const uint8_t> bundle, const std::string& leafSha1,
                             const std::set<std::string>& caThumbprints) {
  if (bundle.size() > kMaxBundleBytes) {
    throw AppletError(sim_error::kMalformedRequest, "certificate bundle larger than 24 KiB");
  }
  const unsigned char* cursor = bundle.data();
  std::unique_ptr<PKCS7, Pkcs7Free> p7(
      d2i_PKCS7(nullptr, &cursor, static_cast<long>(bundle.size())));
  if (!p7 || cursor != bundle.data() + bundle.size() || !PKCS7_type_is_signed(p7.get()) ||
      p7->d.sign == nullptr || p7->d.sign->cert == nullptr) {
    throw AppletError(sim_error::kMalformedRequest, "certificate bundle is not a PKCS#7 bundle");
  }
  STACK_OF(X509)* certificates = p7->d.sign->cert;
  const int count = sk_X509_num(certificates);
  if (count < 1 || static_cast<size_t>(count) > kMaxBundleCertificates) {
    throw AppletError(sim_error::kMalformedRequest,
                      "certificate bundle holds " + std::to_string(count) + " certificates");
  }
  ChainVerdict verdict;
  X509* leaf = nullptr;
  std::unique_ptr<X509_STORE, StoreFree> store(X509_STORE_new());
  std::unique_ptr<STACK_OF(X509), StackFree> untrusted(sk_X509_new_null());
  if (!store || !untrusted) throw std::runtime_error("out of memory");
  bool anyTrusted = false;
  for (int i = 0; i < count; ++i) {
    X509* certificate = sk_X509_value(certificates, i);
    if (Thumbprint(certificate, EVP_sha1()) == Lower(leafSha1)) leaf = certificate;
    if (caThumbprints.count(Thumbprint(certificate, EVP_sha256())) != 0) {
      if (X509_STORE_add_cert(store.get(), certificate) != 1) {
        throw std::runtime_error("X509_STORE_add_cert failed");
      }
      anyTrusted = true;
    } else if (sk_X509_push(untrusted.get(), certificate) == 0) {
      throw std::runtime_error("out of memory");
    }
  }
  if (leaf == nullptr) {
    verdict.problem = "the bundle does not hold the certificate " + leafSha1.substr(0, 64);
    return verdict;
  }
  if (!anyTrusted) {
    verdict.problem = "no certificate of the bundle is a CA the policy names";
    return verdict;
  }
  EVP_PKEY* key = X509_get0_pubkey(leaf);
  if (key == nullptr || EVP_PKEY_base_id(key) != EVP_PKEY_RSA) {
    verdict.problem = "the card's key is not an RSA key";
    return verdict;
  }
  // A policy CA may be an intermediate: it anchors the chain without its own issuer.
  X509_STORE_set_flags(store.get(), X509_V_FLAG_PARTIAL_CHAIN);
  std::unique_ptr<X509_STORE_CTX, StoreContextFree> context(X509_STORE_CTX_new());
  if (!context || X509_STORE_CTX_init(context.get(), store.get(), leaf, untrusted.get()) != 1) {
    throw std::runtime_error("X509_STORE_CTX_init failed");
  }
  if (X509_verify_cert(context.get()) != 1) {
    verdict.problem = std::string("the chain does not verify: ") +
                      X509_verify_cert_error_string(X509_STORE_CTX_get_error(context.get()));
    return verdict;
  }
  unsigned char* der = nullptr;
  const int size = i2d_PUBKEY(key, &der);
  if (size <= 0) throw std::runtime_error("i2d_PUBKEY failed");
  CardCertificate card;
  card.publicKey.assign(der, der + size);
  OPENSSL_free(der);
  card.sha1 = Lower(leafSha1);
  verdict.card = std::move(card);
  return verdict;
}

bool VerifyCardSignature(std::span<const uint8_t> publicKey, std::span<const uint8_t> data,
                         std::span<const uint8_t> signature) {
  if (signature.empty() || signature.size() > kMaxSignatureBytes) return false;
  const unsigned char* cursor = publicKey.data();
  std::unique_ptr<EVP_PKEY, KeyFree> key(
      d2i_PUBKEY(nullptr, &cursor, static_cast<long>(publicKey.size())));
  if (!key || EVP_PKEY_base_id(key.get()) != EVP_PKEY_RSA) return false;
  std::unique_ptr<EVP_MD_CTX, DigestContextFree> context(EVP_MD_CTX_new());
  EVP_PKEY_CTX* keyContext = nullptr;
  if (!context ||
      EVP_DigestVerifyInit(context.get(), &keyContext, EVP_sha256(), nullptr, key.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(keyContext, RSA_PKCS1_PADDING) != 1) {
    return false;
  }
  return EVP_DigestVerify(context.get(), signature.data(), signature.size(), data.data(),
                          data.size()) == 1;
}

std::vector<uint8_t> RandomNonce() {
  std::vector<uint8_t> nonce(kNonceBytes);
  if (RAND_bytes(nonce.data(), static_cast<int>(nonce.size())) != 1) {
    throw std::runtime_error("no random bytes for a nonce");
  }
  return nonce;
}

}  // namespace kilnsim
