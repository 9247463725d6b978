#pragma once

// Owners of the OpenSSL objects the certificate handling passes around, and the few
// conversions every part of it needs.

#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace CertificateStore {

template <typename T, void (*Free)(T*)>
struct OpenSslDeleter {
  void operator()(T* p) const { Free(p); }
};
using X509Ptr = std::unique_ptr<X509, OpenSslDeleter<X509, X509_free>>;
using CrlPtr = std::unique_ptr<X509_CRL, OpenSslDeleter<X509_CRL, X509_CRL_free>>;
using StorePtr = std::unique_ptr<X509_STORE, OpenSslDeleter<X509_STORE, X509_STORE_free>>;
using StoreCtxPtr =
    std::unique_ptr<X509_STORE_CTX, OpenSslDeleter<X509_STORE_CTX, X509_STORE_CTX_free>>;
using Pkcs7Ptr = std::unique_ptr<PKCS7, OpenSslDeleter<PKCS7, PKCS7_free>>;

// A second owner of the same certificate or list.
X509Ptr Share(X509* certificate);
CrlPtr Share(X509_CRL* crl);

// The certificate in exactly these DER bytes (nothing may follow it), or null.
X509Ptr ParseCertificate(std::span<const uint8_t> der);
// The list in these DER (or PEM) bytes, or null.
CrlPtr ParseCrl(std::span<const uint8_t> bytes);

std::vector<uint8_t> EncodeCertificate(X509* certificate);
std::vector<uint8_t> EncodeCrl(X509_CRL* crl);

enum class HashAlgorithm { kSha1, kSha256 };

// Lower-case hex, two digits per byte.
std::string HexText(std::span<const uint8_t> bytes);
std::vector<uint8_t> Digest(std::span<const uint8_t> bytes, HashAlgorithm algorithm);

// An ASN.1 time as seconds since 1970; false when it does not convert.
bool UnixTimeOf(const ASN1_TIME* time, int64_t& seconds);

// The certificate's CRL distribution points that are URLs, in order.
std::vector<std::string> DistributionPoints(X509* certificate);

// The certificate's common name (else its whole subject) for log lines.
std::string DisplayName(X509* certificate);

// The oldest OpenSSL error of this thread (0 when none), and the queue cleared.
unsigned long TakeOpenSslError();

}  // namespace CertificateStore
