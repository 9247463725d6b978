#include "tests/smartcard/smart_card_test_pki.h"

#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <stdexcept>

#include "tests/fakes/test_pki.h"

namespace keystone::testing {

mfab::Bytes TestCard::Sign(const mfab::Bytes& data) const {
  const unsigned char* cursor = key.data();
  EVP_PKEY* pkey = d2i_AutoPrivateKey(nullptr, &cursor, static_cast<long>(key.size()));
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  EVP_PKEY_CTX* keyContext = nullptr;
  size_t size = 0;
  mfab::Bytes signature;
  if (EVP_DigestSignInit(context, &keyContext, EVP_sha256(), nullptr, pkey) == 1 &&
      EVP_PKEY_CTX_set_rsa_padding(keyContext, RSA_PKCS1_PADDING) == 1 &&
      EVP_DigestSign(context, nullptr, &size, data.data(), data.size()) == 1) {
    signature.resize(size);
    if (EVP_DigestSign(context, signature.data(), &size, data.data(), data.size()) != 1) {
      signature.clear();
    }
    signature.resize(size);
  }
  EVP_MD_CTX_free(context);
  EVP_PKEY_free(pkey);
  if (signature.empty()) throw std::runtime_error("signing failed");
  return signature;
}

const CardPki& CardPki::Get() {
  static const CardPki cards = [] {
    const TestPki& trusted = TestPki::Shared();
    static const TestPki other({.rsaBits = 1024, .namePrefix = "Other"});
    CertificateOptions second;
    second.commonName = "Alice Second Card";
    const auto cardOf = [](const TestPki& pki, const TestCertificate& leaf) {
      return TestCard{leaf.der, leaf.sha1, pki.ChainBundle(leaf), leaf.privateKeyDer};
    };
    CardPki pki;
    pki.caSha256 = trusted.root().sha256;
    pki.rsaCard = cardOf(trusted, trusted.leaf());
    pki.secondRsaCard = cardOf(trusted, trusted.Issue(second, trusted.intermediate()));
    pki.ecCard = cardOf(trusted, trusted.ecLeaf());
    pki.foreignCard = cardOf(other, other.leaf());
    return pki;
  }();
  return cards;
}

}  // namespace keystone::testing
