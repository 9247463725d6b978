#pragma once

// Certificates for the smart-card tests, made once per process with OpenSSL: a CA and cards it
// issued (RSA and EC keys), a card of a CA no policy names, each with its certs-only PKCS#7
// bundle (card first, then its CA) and its private key.

#include <memory>
#include <string>

#include "tlv/tlv.h"

typedef struct evp_pkey_st EVP_PKEY;

namespace keystone::testing {

struct TestCard {
  mfab::Bytes certificate;  // DER
  std::string sha1;         // of the certificate, lower-case hex
  mfab::Bytes bundle;       // card and CA
  std::shared_ptr<EVP_PKEY> key;

  // SHA-256 PKCS#1 v1.5 signature of data with the card's key (RSA cards only).
  mfab::Bytes Sign(const mfab::Bytes& data) const;
};

struct TestPki {
  std::string caSha256;  // the trusted CA's SHA-256 thumbprint, lower-case hex
  TestCard rsaCard;      // issued by the trusted CA
  TestCard secondRsaCard;
  TestCard ecCard;       // issued by the trusted CA, with a P-256 key
  TestCard foreignCard;  // issued by another CA

  static const TestPki& Get();
};

}  // namespace keystone::testing
