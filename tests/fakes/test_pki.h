#pragma once

// A small certificate authority made with OpenSSL at test time: a root, an intermediate and
// leaves for smart-card logon, their revocation lists and certs-only PKCS#7 bundles. Everything
// comes out as DER bytes, so tests need no OpenSSL types of their own.
//
//   root ── intermediate ── leaf            (clientAuth + smart-card logon, RSA)
//                        ├─ revokedLeaf     (listed in the intermediate's CRL)
//                        ├─ expiredLeaf     (NotAfter yesterday)
//                        └─ ecLeaf          (P-256 key)
//
// The intermediate's distribution point is CrlUrl(root()), the leaves' CrlUrl(intermediate()).

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace keystone::testing {

using Der = std::vector<uint8_t>;

inline constexpr const char* kClientAuthOid = "1.3.6.1.5.5.7.3.2";
inline constexpr const char* kSmartCardLogonOid = "1.3.6.1.4.1.311.20.2.2";

struct TestCertificate {
  Der der;
  Der privateKeyDer;  // PKCS#8, unencrypted
  std::string commonName;
  uint64_t serial = 0;
  std::string sha256;  // of der, lower-case hex
  std::string sha1;    // of der, lower-case hex
  bool isRsa = true;
};

enum class KeyKind { kRsa, kEcP256 };

struct CertificateOptions {
  std::string commonName = "Test User";
  std::vector<std::string> extendedKeyUsages = {kClientAuthOid, kSmartCardLogonOid};
  KeyKind key = KeyKind::kRsa;
  std::string crlUrl;  // empty: no distribution point
  std::chrono::seconds notBefore = -std::chrono::hours(1);  // from now
  std::chrono::seconds notAfter = std::chrono::hours(24 * 365);
  bool isCa = false;
};

struct TestPkiOptions {
  int rsaBits = 2048;
  // Distribution points are this plus "<issuer common name>.crl" (spaces become '-').
  std::string crlBaseUrl = "http://crl.keystone.test/";
  std::string namePrefix = "Keystone Test";  // tells two authorities apart
};

class TestPki {
 public:
  explicit TestPki(TestPkiOptions options = {});

  // One authority for the whole test program, made on first use with 1024-bit RSA keys: quick to
  // make (each test runs in a process of its own), and no test depends on the key size.
  static const TestPki& Shared();

  const TestCertificate& root() const { return rootCert; }
  const TestCertificate& intermediate() const { return intermediateCert; }
  const TestCertificate& leaf() const { return leafCert; }
  const TestCertificate& revokedLeaf() const { return revokedCert; }
  const TestCertificate& expiredLeaf() const { return expiredCert; }
  const TestCertificate& ecLeaf() const { return ecCert; }

  // A new certificate signed by issuer (which must hold its private key).
  TestCertificate Issue(const CertificateOptions& options, const TestCertificate& issuer) const;
  // A CA certificate under issuer whose distribution point is CrlUrl(issuer).
  TestCertificate IssueCa(const std::string& commonName, const TestCertificate& issuer) const;

  std::string CrlUrl(const TestCertificate& issuer) const;
  // A CRL of issuer listing the given serials, valid from thisUpdate until nextUpdate (from now).
  static Der Crl(const TestCertificate& issuer, const std::vector<uint64_t>& revokedSerials,
                 std::chrono::seconds nextUpdate = std::chrono::hours(24 * 7),
                 std::chrono::seconds thisUpdate = -std::chrono::hours(1));
  // The intermediate's CRL (listing revokedLeaf) and the root's (listing nothing).
  Der IntermediateCrl(std::chrono::seconds nextUpdate = std::chrono::hours(24 * 7)) const;
  Der RootCrl(std::chrono::seconds nextUpdate = std::chrono::hours(24 * 7)) const;

  // A certs-only PKCS#7 SignedData holding the certificates in this order.
  static Der Bundle(const std::vector<const TestCertificate*>& certificates);
  // The bundle of leaf, intermediate and root.
  Der ChainBundle(const TestCertificate& leafCertificate) const;

 private:
  TestPkiOptions options;
  TestCertificate rootCert;
  TestCertificate intermediateCert;
  TestCertificate leafCert;
  TestCertificate revokedCert;
  TestCertificate expiredCert;
  TestCertificate ecCert;
};

// Lower-case hex of bytes.
std::string HexOf(const std::vector<uint8_t>& bytes);

}  // namespace keystone::testing
