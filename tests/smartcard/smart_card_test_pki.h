#pragma once

// The cards the smart-card factor's tests insert, taken from the shared test authority (made
// once per process): each as its certificate, SHA-1 thumbprint, certs-only PKCS#7 bundle (card,
// intermediate, root) and private key.

#include <string>

#include "tlv/tlv.h"

namespace keystone::testing {

struct TestCard {
  mfab::Bytes certificate;  // DER
  std::string sha1;         // of the certificate, lower-case hex
  mfab::Bytes bundle;       // card up to its root
  mfab::Bytes key;          // PKCS#8 DER

  // SHA-256 PKCS#1 v1.5 signature of data with the card's key (RSA cards only).
  mfab::Bytes Sign(const mfab::Bytes& data) const;
};

struct CardPki {
  std::string caSha256;  // the trusted root's SHA-256 thumbprint, lower-case hex
  TestCard rsaCard;      // issued under the trusted root
  TestCard secondRsaCard;
  TestCard ecCard;       // issued under the trusted root, with a P-256 key
  TestCard foreignCard;  // issued by another authority

  static const CardPki& Get();
};

}  // namespace keystone::testing
