#include "tests/smartcard/smart_card_test_pki.h"

#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <stdexcept>

#include "tests/fakes/test_pki.h"

namespace keystone::testing {
namespace {

TestCard CardOf(const TestPki& pki, const TestCertificate& leaf) {
  const unsigned char* cursor = leaf.privateKeyDer.data();
  std::shared_ptr<EVP_PKEY> key(
      d2i_AutoPrivateKey(nullptr, &cursor, static_cast<long>(leaf.privateKeyDer.size())),
      EVP_PKEY_free);
  if (!key) throw std::runtime_error("the test card has no private key");
  return TestCard{leaf.der, leaf.sha1, pki.ChainBundle(leaf), std::move(key)};
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

const CardPki& CardPki::Get() {
  static const CardPki cards = [] {
    const TestPki& trusted = TestPki::Shared();
    static const TestPki other({.rsaBits = 1024, .namePrefix = "Other"});
    CertificateOptions second;
    second.commonName = "Alice Second Card";
    CardPki pki;
    pki.caSha256 = trusted.root().sha256;
    pki.rsaCard = CardOf(trusted, trusted.leaf());
    pki.secondRsaCard = CardOf(trusted, trusted.Issue(second, trusted.intermediate()));
    pki.ecCard = CardOf(trusted, trusted.ecLeaf());
    pki.foreignCard = CardOf(other, other.leaf());
    return pki;
  }();
  return cards;
}

}  // namespace keystone::testing
