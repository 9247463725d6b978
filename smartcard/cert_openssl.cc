#include "smartcard/cert_openssl.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <ctime>

namespace CertificateStore {

X509Ptr Share(X509* certificate) {
  X509_up_ref(certificate);
  return X509Ptr(certificate);
}

CrlPtr Share(X509_CRL* crl) {
  X509_CRL_up_ref(crl);
  return CrlPtr(crl);
}

X509Ptr ParseCertificate(std::span<const uint8_t> der) {
  const unsigned char* p = der.data();
  X509Ptr certificate(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
  if (certificate && p != der.data() + der.size()) return nullptr;
  return certificate;
}

CrlPtr ParseCrl(std::span<const uint8_t> bytes) {
  static constexpr char kPemStart[] = "-----BEGIN";
  if (bytes.size() > sizeof kPemStart &&
      std::equal(kPemStart, kPemStart + sizeof kPemStart - 1, bytes.begin())) {
    std::unique_ptr<BIO, OpenSslDeleter<BIO, BIO_free_all>> bio(
        BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
    return CrlPtr(bio ? PEM_read_bio_X509_CRL(bio.get(), nullptr, nullptr, nullptr) : nullptr);
  }
  const unsigned char* p = bytes.data();
  CrlPtr crl(d2i_X509_CRL(nullptr, &p, static_cast<long>(bytes.size())));
  if (crl && p != bytes.data() + bytes.size()) return nullptr;
  return crl;
}

std::vector<uint8_t> EncodeCertificate(X509* certificate) {
  unsigned char* out = nullptr;
  const int length = i2d_X509(certificate, &out);
  if (length <= 0) return {};
  std::vector<uint8_t> der(out, out + length);
  OPENSSL_free(out);
  return der;
}

std::vector<uint8_t> EncodeCrl(X509_CRL* crl) {
  unsigned char* out = nullptr;
  const int length = i2d_X509_CRL(crl, &out);
  if (length <= 0) return {};
  std::vector<uint8_t> der(out, out + length);
  OPENSSL_free(out);
  return der;
}

std::string HexText(std::span<const uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (uint8_t b : bytes) {
    text.push_back(kDigits[b >> 4]);
    text.push_back(kDigits[b & 0xF]);
  }
  return text;
}

std::vector<uint8_t> Digest(std::span<const uint8_t> bytes, HashAlgorithm algorithm) {
  // Fetched once: an implicit fetch on every digest costs a locked provider look-up.
  static EVP_MD* const sha1 = EVP_MD_fetch(nullptr, "SHA1", nullptr);
  static EVP_MD* const sha256 = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  const EVP_MD* md = algorithm == HashAlgorithm::kSha1 ? sha1 : sha256;
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (md == nullptr || EVP_Digest(bytes.data(), bytes.size(), out, &length, md, nullptr) != 1) {
    return {};
  }
  return std::vector<uint8_t>(out, out + length);
}

bool UnixTimeOf(const ASN1_TIME* time, int64_t& seconds) {
  struct tm parts {};
  if (time == nullptr || ASN1_TIME_to_tm(time, &parts) != 1) return false;
  seconds = static_cast<int64_t>(timegm(&parts));
  return true;
}

std::vector<std::string> DistributionPoints(X509* certificate) {
  std::vector<std::string> urls;
  auto* points = static_cast<CRL_DIST_POINTS*>(
      X509_get_ext_d2i(certificate, NID_crl_distribution_points, nullptr, nullptr));
  if (points == nullptr) return urls;
  for (int i = 0; i < sk_DIST_POINT_num(points); ++i) {
    DIST_POINT* point = sk_DIST_POINT_value(points, i);
    if (point->distpoint == nullptr || point->distpoint->type != 0) continue;  // full names only
    GENERAL_NAMES* names = point->distpoint->name.fullname;
    for (int j = 0; j < sk_GENERAL_NAME_num(names); ++j) {
      GENERAL_NAME* name = sk_GENERAL_NAME_value(names, j);
      if (name->type != GEN_URI) continue;
      const ASN1_IA5STRING* uri = name->d.uniformResourceIdentifier;
      urls.emplace_back(reinterpret_cast<const char*>(uri->data), static_cast<size_t>(uri->length));
    }
  }
  CRL_DIST_POINTS_free(points);
  return urls;
}

std::string DisplayName(X509* certificate) {
  X509_NAME* subject = X509_get_subject_name(certificate);
  char text[256] = {};
  if (X509_NAME_get_text_by_NID(subject, NID_commonName, text, sizeof text) > 0) return text;
  char* whole = X509_NAME_oneline(subject, nullptr, 0);
  std::string name = whole ? whole : "";
  OPENSSL_free(whole);
  return name;
}

unsigned long TakeOpenSslError() {
  const unsigned long error = ERR_get_error();
  ERR_clear_error();
  return error;
}

}  // namespace CertificateStore
