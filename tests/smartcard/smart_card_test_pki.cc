#include "tests/smartcard/smart_card_test_pki.h"

#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <stdexcept>

#include "common/hex.h"

namespace keystone::testing {
namespace {

struct X509Free {
  void operator()(X509* x) const { X509_free(x); }
};
using Certificate = std::unique_ptr<X509, X509Free>;

std::shared_ptr<EVP_PKEY> Check(EVP_PKEY* key) {
  if (key == nullptr) throw std::runtime_error("key generation failed");
  return std::shared_ptr<EVP_PKEY>(key, EVP_PKEY_free);
}

std::shared_ptr<EVP_PKEY> RsaKey() { return Check(EVP_RSA_gen(2048)); }
std::shared_ptr<EVP_PKEY> EcKey() { return Check(EVP_EC_gen("P-256")); }

void AddExtension(X509* certificate, X509* issuer, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
  if (extension == nullptr) throw std::runtime_error("extension failed");
  X509_add_ext(certificate, extension, -1);
  X509_EXTENSION_free(extension);
}

// issuer null: self-signed by key.
Certificate Issue(const std::string& name, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuerKey,
                  bool ca, long serial) {
  Certificate certificate(X509_new());
  X509_set_version(certificate.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), serial);
  X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 365L * 24 * 3600);
  X509_NAME* subject = X509_get_subject_name(certificate.get());
  X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(name.c_str()), -1, -1, 0);
  X509_set_issuer_name(certificate.get(), issuer ? X509_get_subject_name(issuer) : subject);
  X509_set_pubkey(certificate.get(), key);
  X509* signer = issuer ? issuer : certificate.get();
  if (ca) {
    AddExtension(certificate.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
    AddExtension(certificate.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    AddExtension(certificate.get(), signer, NID_key_usage, "critical,digitalSignature");
    AddExtension(certificate.get(), signer, NID_ext_key_usage, "clientAuth,msSmartcardLogin");
  }
  if (X509_sign(certificate.get(), issuerKey ? issuerKey : key, EVP_sha256()) == 0) {
    throw std::runtime_error("X509_sign failed");
  }
  return certificate;
}

mfab::Bytes Der(X509* certificate) {
  unsigned char* der = nullptr;
  const int size = i2d_X509(certificate, &der);
  mfab::Bytes bytes(der, der + size);
  OPENSSL_free(der);
  return bytes;
}

std::string Thumbprint(X509* certificate, const EVP_MD* digest) {
  unsigned char bytes[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  X509_digest(certificate, digest, bytes, &size);
  return ToHex(std::span<const uint8_t>(bytes, size));
}

mfab::Bytes Bundle(X509* card, X509* ca) {
  STACK_OF(X509)* certificates = sk_X509_new_null();
  sk_X509_push(certificates, card);
  sk_X509_push(certificates, ca);
  PKCS7* p7 = PKCS7_sign(nullptr, nullptr, certificates, nullptr, PKCS7_PARTIAL);
  sk_X509_free(certificates);
  if (p7 == nullptr) throw std::runtime_error("PKCS7_sign failed");
  unsigned char* der = nullptr;
  const int size = i2d_PKCS7(p7, &der);
  PKCS7_free(p7);
  mfab::Bytes bytes(der, der + size);
  OPENSSL_free(der);
  return bytes;
}

TestCard MakeCard(const std::string& name, std::shared_ptr<EVP_PKEY> key, X509* ca, EVP_PKEY* caKey,
                  long serial) {
  Certificate certificate = Issue(name, key.get(), ca, caKey, false, serial);
  return TestCard{Der(certificate.get()), Thumbprint(certificate.get(), EVP_sha1()),
                  Bundle(certificate.get(), ca), std::move(key)};
}

TestPki Make() {
  TestPki pki;
  const std::shared_ptr<EVP_PKEY> caKey = RsaKey();
  const Certificate ca = Issue("Keystone Test Card CA", caKey.get(), nullptr, nullptr, true, 1);
  pki.caSha256 = Thumbprint(ca.get(), EVP_sha256());
  pki.rsaCard = MakeCard("Alice Card", RsaKey(), ca.get(), caKey.get(), 2);
  pki.secondRsaCard = MakeCard("Alice Second Card", RsaKey(), ca.get(), caKey.get(), 3);
  pki.ecCard = MakeCard("Alice EC Card", EcKey(), ca.get(), caKey.get(), 4);
  const std::shared_ptr<EVP_PKEY> foreignKey = RsaKey();
  const Certificate foreign = Issue("Other CA", foreignKey.get(), nullptr, nullptr, true, 5);
  pki.foreignCard = MakeCard("Mallory Card", RsaKey(), foreign.get(), foreignKey.get(), 6);
  return pki;
}

}  // namespace

mfab::Bytes TestCard::Sign(const mfab::Bytes& data) const {
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  EVP_PKEY_CTX* keyContext = nullptr;
  size_t size = 0;
  mfab::Bytes signature;
  if (EVP_DigestSignInit(context, &keyContext, EVP_sha256(), nullptr, key.get()) == 1 &&
      EVP_PKEY_CTX_set_rsa_padding(keyContext, RSA_PKCS1_PADDING) == 1 &&
      EVP_DigestSign(context, nullptr, &size, data.data(), data.size()) == 1) {
    signature.resize(size);
    if (EVP_DigestSign(context, signature.data(), &size, data.data(), data.size()) != 1) {
      signature.clear();
    }
    signature.resize(size);
  }
  EVP_MD_CTX_free(context);
  if (signature.empty()) throw std::runtime_error("signing failed");
  return signature;
}

const TestPki& TestPki::Get() {
  static const TestPki pki = Make();
  return pki;
}

}  // namespace keystone::testing
