#pragma once

// Where chain verification gets the revocation lists of a chain's certificates.

#include <string>
#include <vector>

#include "smartcard/cert_openssl.h"

namespace CertificateStore {

class CrlSource {
 public:
  virtual ~CrlSource() = default;

  // The lists published at these distribution points that one of possibleIssuers signed,
  // within the source's time limit for the whole call. A list that cannot be had is left out
  // (the verification then counts its status as unknown). Never throws.
  virtual std::vector<CrlPtr> CrlsFor(const std::vector<std::string>& urls,
                                      const std::vector<X509*>& possibleIssuers) = 0;
};

}  // namespace CertificateStore
