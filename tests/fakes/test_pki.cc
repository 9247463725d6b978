#include "tests/fakes/test_pki.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <memory>
#include <stdexcept>

namespace keystone::testing {
namespace {

template <typename T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* p) const { Free(p); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using X509Ptr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using CrlPtr = std::unique_ptr<X509_CRL, Deleter<X509_CRL, X509_CRL_free>>;
using Pkcs7Ptr = std::unique_ptr<PKCS7, Deleter<PKCS7, PKCS7_free>>;

void Check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("test PKI: ") + what + " failed");
}

PkeyPtr GenerateKey(KeyKind kind, int rsaBits) {
  EVP_PKEY* key = kind == KeyKind::kRsa
                      ? EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(rsaBits))
                      : EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
  Check(key != nullptr, "key generation");
  return PkeyPtr(key);
}

Der PrivateKeyDer(EVP_PKEY* key) {
  PKCS8_PRIV_KEY_INFO* info = EVP_PKEY2PKCS8(key);
  Check(info != nullptr, "EVP_PKEY2PKCS8");
  unsigned char* out = nullptr;
  const int length = i2d_PKCS8_PRIV_KEY_INFO(info, &out);
  PKCS8_PRIV_KEY_INFO_free(info);
  Check(length > 0, "i2d_PKCS8_PRIV_KEY_INFO");
  Der der(out, out + length);
  OPENSSL_free(out);
  return der;
}

PkeyPtr KeyOf(const TestCertificate& certificate) {
  const unsigned char* p = certificate.privateKeyDer.data();
  EVP_PKEY* key =
      d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(certificate.privateKeyDer.size()));
  Check(key != nullptr, "issuer key");
  return PkeyPtr(key);
}

X509Ptr Parse(const Der& der) {
  const unsigned char* p = der.data();
  X509* x = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
  Check(x != nullptr, "d2i_X509");
  return X509Ptr(x);
}

std::string Digest(const Der& der, const EVP_MD* md) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  Check(EVP_Digest(der.data(), der.size(), out, &length, md, nullptr) == 1, "EVP_Digest");
  return HexOf(std::vector<uint8_t>(out, out + length));
}

uint64_t RandomSerial() {
  uint64_t serial = 0;
  Check(RAND_bytes(reinterpret_cast<unsigned char*>(&serial), sizeof serial) == 1, "RAND_bytes");
  return (serial >> 1) | 1;  // positive and never zero
}

void AddExtension(X509* subject, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, subject, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  Check(ext != nullptr, "X509V3_EXT_conf_nid");
  const int ok = X509_add_ext(subject, ext, -1);
  X509_EXTENSION_free(ext);
  Check(ok == 1, "X509_add_ext");
}

std::string UrlName(const std::string& commonName) {
  std::string name = commonName;
  std::replace(name.begin(), name.end(), ' ', '-');
  return name;
}

TestCertificate Finish(X509* x, EVP_PKEY* key, const std::string& commonName, uint64_t serial,
                       bool isRsa) {
  TestCertificate cert;
  unsigned char* out = nullptr;
  const int length = i2d_X509(x, &out);
  Check(length > 0, "i2d_X509");
  cert.der.assign(out, out + length);
  OPENSSL_free(out);
  cert.privateKeyDer = PrivateKeyDer(key);
  cert.commonName = commonName;
  cert.serial = serial;
  cert.sha256 = Digest(cert.der, EVP_sha256());
  cert.sha1 = Digest(cert.der, EVP_sha1());
  cert.isRsa = isRsa;
  return cert;
}

// Signs a new certificate; a null issuer makes it self-signed.
TestCertificate Make(const CertificateOptions& options, const TestCertificate* issuer,
                     int rsaBits) {
  PkeyPtr key = GenerateKey(options.key, rsaBits);
  X509Ptr x(X509_new());
  Check(x != nullptr, "X509_new");
  X509_set_version(x.get(), 2);
  const uint64_t serial = RandomSerial();
  ASN1_INTEGER_set_uint64(X509_get_serialNumber(x.get()), serial);
  X509_gmtime_adj(X509_getm_notBefore(x.get()), static_cast<long>(options.notBefore.count()));
  X509_gmtime_adj(X509_getm_notAfter(x.get()), static_cast<long>(options.notAfter.count()));
  X509_NAME* name = X509_get_subject_name(x.get());
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>("Keystone Tests"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>(options.commonName.c_str()),
                             -1, -1, 0);
  X509_set_pubkey(x.get(), key.get());

  X509Ptr issuerCert;
  PkeyPtr issuerKey;
  X509* signerCert = x.get();
  EVP_PKEY* signerKey = key.get();
  if (issuer) {
    issuerCert = Parse(issuer->der);
    issuerKey = KeyOf(*issuer);
    signerCert = issuerCert.get();
    signerKey = issuerKey.get();
  }
  X509_set_issuer_name(x.get(), X509_get_subject_name(signerCert));

  AddExtension(x.get(), signerCert, NID_subject_key_identifier, "hash");
  if (issuer) AddExtension(x.get(), signerCert, NID_authority_key_identifier, "keyid:always");
  if (options.isCa) {
    AddExtension(x.get(), signerCert, NID_basic_constraints, "critical,CA:TRUE");
    AddExtension(x.get(), signerCert, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    AddExtension(x.get(), signerCert, NID_basic_constraints, "critical,CA:FALSE");
    AddExtension(x.get(), signerCert, NID_key_usage, "critical,digitalSignature");
  }
  if (!options.extendedKeyUsages.empty()) {
    std::string usages;
    for (const std::string& oid : options.extendedKeyUsages) {
      usages += (usages.empty() ? "" : ",") + oid;
    }
    AddExtension(x.get(), signerCert, NID_ext_key_usage, usages);
  }
  if (!options.crlUrl.empty()) {
    AddExtension(x.get(), signerCert, NID_crl_distribution_points, "URI:" + options.crlUrl);
  }
  Check(X509_sign(x.get(), signerKey, EVP_sha256()) > 0, "X509_sign");
  return Finish(x.get(), key.get(), options.commonName, serial, options.key == KeyKind::kRsa);
}

}  // namespace

std::string HexOf(const std::vector<uint8_t>& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (uint8_t b : bytes) {
    text.push_back(kDigits[b >> 4]);
    text.push_back(kDigits[b & 0xF]);
  }
  return text;
}

TestPki::TestPki(TestPkiOptions pkiOptions) : options(std::move(pkiOptions)) {
  CertificateOptions root;
  root.commonName = options.namePrefix + " Root";
  root.extendedKeyUsages = {};
  root.isCa = true;
  root.notAfter = std::chrono::hours(24 * 3650);
  rootCert = Make(root, nullptr, options.rsaBits);
  intermediateCert = IssueCa(options.namePrefix + " Intermediate", rootCert);

  CertificateOptions leaf;
  leaf.commonName = "Test User";
  leaf.crlUrl = CrlUrl(intermediateCert);
  leafCert = Issue(leaf, intermediateCert);
  leaf.commonName = "Revoked User";
  revokedCert = Issue(leaf, intermediateCert);
  leaf.commonName = "Expired User";
  leaf.notBefore = -std::chrono::hours(24 * 30);
  leaf.notAfter = -std::chrono::hours(24);
  expiredCert = Issue(leaf, intermediateCert);
  leaf = CertificateOptions{};
  leaf.commonName = "Elliptic User";
  leaf.key = KeyKind::kEcP256;
  leaf.crlUrl = CrlUrl(intermediateCert);
  ecCert = Issue(leaf, intermediateCert);
}

const TestPki& TestPki::Shared() {
  static const TestPki shared({.rsaBits = 1024});
  return shared;
}

TestCertificate TestPki::Issue(const CertificateOptions& certOptions,
                               const TestCertificate& issuer) const {
  return Make(certOptions, &issuer, options.rsaBits);
}

TestCertificate TestPki::IssueCa(const std::string& commonName,
                                 const TestCertificate& issuer) const {
  CertificateOptions ca;
  ca.commonName = commonName;
  ca.extendedKeyUsages = {};
  ca.isCa = true;
  ca.crlUrl = CrlUrl(issuer);
  ca.notAfter = std::chrono::hours(24 * 3650);
  return Issue(ca, issuer);
}

std::string TestPki::CrlUrl(const TestCertificate& issuer) const {
  return options.crlBaseUrl + UrlName(issuer.commonName) + ".crl";
}

Der TestPki::Crl(const TestCertificate& issuer, const std::vector<uint64_t>& revokedSerials,
                 std::chrono::seconds nextUpdate, std::chrono::seconds thisUpdate) {
  X509Ptr issuerCert = Parse(issuer.der);
  PkeyPtr issuerKey = KeyOf(issuer);
  CrlPtr crl(X509_CRL_new());
  Check(crl != nullptr, "X509_CRL_new");
  X509_CRL_set_version(crl.get(), 1);
  X509_CRL_set_issuer_name(crl.get(), X509_get_subject_name(issuerCert.get()));
  ASN1_TIME* last = X509_gmtime_adj(nullptr, static_cast<long>(thisUpdate.count()));
  ASN1_TIME* next = X509_gmtime_adj(nullptr, static_cast<long>(nextUpdate.count()));
  X509_CRL_set1_lastUpdate(crl.get(), last);
  X509_CRL_set1_nextUpdate(crl.get(), next);
  for (uint64_t serial : revokedSerials) {
    X509_REVOKED* entry = X509_REVOKED_new();
    ASN1_INTEGER* number = ASN1_INTEGER_new();
    ASN1_INTEGER_set_uint64(number, serial);
    X509_REVOKED_set_serialNumber(entry, number);
    X509_REVOKED_set_revocationDate(entry, last);
    ASN1_INTEGER_free(number);
    X509_CRL_add0_revoked(crl.get(), entry);
  }
  ASN1_TIME_free(last);
  ASN1_TIME_free(next);
  X509_CRL_sort(crl.get());
  Check(X509_CRL_sign(crl.get(), issuerKey.get(), EVP_sha256()) > 0, "X509_CRL_sign");
  unsigned char* out = nullptr;
  const int length = i2d_X509_CRL(crl.get(), &out);
  Check(length > 0, "i2d_X509_CRL");
  Der der(out, out + length);
  OPENSSL_free(out);
  return der;
}

Der TestPki::IntermediateCrl(std::chrono::seconds nextUpdate) const {
  return Crl(intermediateCert, {revokedCert.serial}, nextUpdate);
}

Der TestPki::RootCrl(std::chrono::seconds nextUpdate) const {
  return Crl(rootCert, {}, nextUpdate);
}

Der TestPki::Bundle(const std::vector<const TestCertificate*>& certificates) {
  Pkcs7Ptr p7(PKCS7_new());
  Check(p7 != nullptr, "PKCS7_new");
  Check(PKCS7_set_type(p7.get(), NID_pkcs7_signed) == 1, "PKCS7_set_type");
  Check(PKCS7_content_new(p7.get(), NID_pkcs7_data) == 1, "PKCS7_content_new");
  for (const TestCertificate* cert : certificates) {
    X509Ptr x = Parse(cert->der);
    Check(PKCS7_add_certificate(p7.get(), x.get()) == 1, "PKCS7_add_certificate");
  }
  unsigned char* out = nullptr;
  const int length = i2d_PKCS7(p7.get(), &out);
  Check(length > 0, "i2d_PKCS7");
  Der der(out, out + length);
  OPENSSL_free(out);
  return der;
}

Der TestPki::ChainBundle(const TestCertificate& leafCertificate) const {
  return Bundle({&leafCertificate, &intermediateCert, &rootCert});
}

}  // namespace keystone::testing
