// Bundles, chains, revocation and thumbprints, over a PKI made for the test.

#include "smartcard/certificate_store_handler.h"

#include <openssl/x509_vfy.h>

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "smartcard/exceptions.h"
#include "tests/fakes/log_capture.h"
#include "tests/fakes/test_pki.h"
#include "tests/smartcard/cert_test_support.h"

namespace keystone::testing {
namespace {

using CertificateStore::CertificateStoreHandler;
using CertificateStore::InvalidInputException;
using CertificateStore::SmartCardCertificateVerificationException;

class CertificateStoreHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override { log = LogCapture::Install(); }
  void TearDown() override { log->Uninstall(); }

  void ServeBothCrls() {
    crls.lists[pki.CrlUrl(pki.root())] = pki.RootCrl();
    crls.lists[pki.CrlUrl(pki.intermediate())] = pki.IntermediateCrl();
  }

  // "verification: <text>" or "input: <text>" for what VerifiedCertificateChain throws, "" when
  // it accepts the chain.
  std::string Refusal(const Der& bundle, const std::string& sha1, bool checkRevocation = true) {
    try {
      handler.VerifiedCertificateChain(bundle, sha1, checkRevocation);
      return "";
    } catch (const SmartCardCertificateVerificationException& e) {
      return std::string("verification: ") + e.what();
    } catch (const InvalidInputException& e) {
      return std::string("input: ") + e.what();
    }
  }
  // A chain of the given number of CAs between the intermediate and a new leaf.
  Der DeepBundle(int extraCas, TestCertificate& leaf) {
    std::vector<TestCertificate> cas;
    const TestCertificate* issuer = &pki.intermediate();
    for (int i = 0; i < extraCas; ++i) {
      cas.push_back(pki.IssueCa("Deep CA " + std::to_string(i), *issuer));
      issuer = &cas.back();
    }
    leaf = pki.Issue(CertificateOptions{}, *issuer);
    std::vector<const TestCertificate*> chain{&leaf};
    for (auto ca = cas.rbegin(); ca != cas.rend(); ++ca) chain.push_back(&*ca);
    chain.push_back(&pki.intermediate());
    chain.push_back(&pki.root());
    return TestPki::Bundle(chain);
  }

  const TestPki& pki = TestPki::Shared();
  SetClock clock;
  MapCrlSource crls;
  CertificateStoreHandler handler{&crls, clock};
  std::shared_ptr<LogCapture> log;
};

TEST_F(CertificateStoreHandlerTest, VerifiedChainListsLeafIntermediateRoot) {
  ServeBothCrls();
  const auto records =
      handler.VerifiedCertificateChain(pki.ChainBundle(pki.leaf()), pki.leaf().sha1, true);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].thumbprint, pki.leaf().sha256);
  EXPECT_EQ(records[1].thumbprint, pki.intermediate().sha256);
  EXPECT_EQ(records[2].thumbprint, pki.root().sha256);
  EXPECT_EQ(records[0].encoded, pki.leaf().der);
  // The lists come from the distribution points.
  EXPECT_NE(std::find(crls.asked.begin(), crls.asked.end(), pki.CrlUrl(pki.intermediate())),
            crls.asked.end());
  EXPECT_NE(std::find(crls.asked.begin(), crls.asked.end(), pki.CrlUrl(pki.root())),
            crls.asked.end());
}

TEST_F(CertificateStoreHandlerTest, NoRevocationCheckAsksForNoList) {
  handler.VerifiedCertificateChain(pki.ChainBundle(pki.revokedLeaf()), pki.revokedLeaf().sha1,
                                   false);
  EXPECT_TRUE(crls.asked.empty());
}

// Which revocation situations the chain survives: a status that cannot be determined is
// accepted, a forged list is not (a listed certificate: RefusesEachUntrustedChainWithItsText).
TEST_F(CertificateStoreHandlerTest, RevocationOutcomes) {
  const TestPki stranger({.rsaBits = 1024, .namePrefix = "Keystone Test"});
  struct Case {
    const char* name;
    const TestCertificate* leaf;
    std::map<std::string, Der> lists;
    bool accepted;
  };
  const std::string rootUrl = pki.CrlUrl(pki.root());
  const std::string intermediateUrl = pki.CrlUrl(pki.intermediate());
  const std::vector<Case> cases = {
      {"intermediate list expired", &pki.leaf(),
       {{rootUrl, pki.RootCrl()},
        {intermediateUrl, TestPki::Crl(pki.intermediate(), {}, -std::chrono::hours(1),
                                       -std::chrono::hours(48))}},
       true},
      {"revoked leaf without lists", &pki.revokedLeaf(), {}, true},
      // Same issuer name, another key: a list nobody can vouch for.
      {"forged intermediate list", &pki.leaf(),
       {{rootUrl, pki.RootCrl()}, {intermediateUrl, stranger.IntermediateCrl()}}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    crls.lists = c.lists;
    const std::string refusal = Refusal(pki.ChainBundle(*c.leaf), c.leaf->sha1);
    EXPECT_EQ(refusal.empty(), c.accepted) << refusal;
    if (!c.accepted) {
      EXPECT_EQ(refusal.rfind("verification: ", 0), 0u) << refusal;
    }
  }
}

// Each chain the handler must not trust, with the text the caller gets. Only the bundle's own
// self-signed certificates are trusted: without the root the chain ends at the intermediate.
TEST_F(CertificateStoreHandlerTest, RefusesEachUntrustedChainWithItsText) {
  ServeBothCrls();
  const TestPki stranger({.rsaBits = 1024, .namePrefix = "Stranger"});
  TestCertificate sixthLeaf;
  const Der chainOfSix = DeepBundle(3, sixthLeaf);
  CertificateOptions bigOptions;
  for (int i = 0; i < 2200; ++i)
    bigOptions.extendedKeyUsages.push_back("1.2.3.4.5." + std::to_string(i));
  const TestCertificate big = pki.Issue(bigOptions, pki.intermediate());
  ASSERT_GT(big.der.size(), CertificateStore::kMaxCertificateSize);
  const struct {
    const char* name;
    Der bundle;
    std::string sha1;
    bool checkRevocation;
    std::string refusal;
  } cases[] = {
      {"revoked", pki.ChainBundle(pki.revokedLeaf()), pki.revokedLeaf().sha1, true,
       "verification: Untrusted Chain. Error: 17"},  // X509_V_ERR_CERT_REVOKED
      {"expired", pki.ChainBundle(pki.expiredLeaf()), pki.expiredLeaf().sha1, true,
       "verification: Untrusted Chain. Error: a"},  // X509_V_ERR_CERT_HAS_EXPIRED
      {"not RSA", pki.ChainBundle(pki.ecLeaf()), pki.ecLeaf().sha1, true,
       "verification: invalid public key type."},
      {"another authority",
       TestPki::Bundle({&stranger.leaf(), &stranger.intermediate(), &pki.root()}),
       stranger.leaf().sha1, true, "verification: Untrusted Chain. Error: 14"},
      {"no root", TestPki::Bundle({&pki.leaf(), &pki.intermediate()}), pki.leaf().sha1, true,
       "verification: Untrusted Chain. Error: 14"},  // X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY
      {"six certificates", chainOfSix, sixthLeaf.sha1, true,
       "input: Certificates chain not in the right size"},
      {"certificate too big", pki.ChainBundle(big), big.sha1, false,
       "input: Certificates size is to big"},
      {"thumbprint not in the bundle", pki.ChainBundle(pki.leaf()), pki.leaf().sha256, true,
       "input: Unable to find certificate from thumbprint."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Refusal(c.bundle, c.sha1, c.checkRevocation), c.refusal);
  }
  EXPECT_TRUE(log->Contains("Untrusted Chain. Error: 17"));
}

TEST_F(CertificateStoreHandlerTest, VerificationTimeComesFromTheClock) {
  clock.Advance(std::chrono::hours(24 * 400));  // past the leaf's NotAfter
  EXPECT_EQ(Refusal(pki.ChainBundle(pki.leaf()), pki.leaf().sha1, false),
            "verification: Untrusted Chain. Error: a");
}

TEST_F(CertificateStoreHandlerTest, ChainOfFiveIsAccepted) {
  TestCertificate leaf;
  const Der bundle = DeepBundle(2, leaf);
  EXPECT_EQ(handler.VerifiedCertificateChain(bundle, leaf.sha1, false).size(), 5u);
}

TEST_F(CertificateStoreHandlerTest, TruncatedBundleIsRefusedAtEveryLength) {
  const Der bundle = pki.ChainBundle(pki.leaf());
  for (size_t length = 0; length < bundle.size(); ++length) {
    const Der cut(bundle.begin(), bundle.begin() + static_cast<long>(length));
    EXPECT_THROW(handler.ParseP7bBlobToCertStore(cut), InvalidInputException) << length;
  }
}

// Whatever is not one whole certs-only PKCS#7 bundle within the size limit.
TEST_F(CertificateStoreHandlerTest, RefusesWhatIsNotABundle) {
  PKCS7* p7 = PKCS7_new();
  PKCS7_set_type(p7, NID_pkcs7_data);
  unsigned char* out = nullptr;
  const int length = i2d_PKCS7(p7, &out);
  const Der data(out, out + length);
  OPENSSL_free(out);
  PKCS7_free(p7);
  Der trailing = pki.ChainBundle(pki.leaf());
  trailing.push_back(0);
  Der corrupted = pki.ChainBundle(pki.leaf());
  corrupted[1] ^= 0x40;  // the outer length
  const std::string parseError = "Invalid Format: Could not parse cryptography file. Error: ";
  const struct {
    const char* name;
    Der bundle;
    std::string textStart;
  } cases[] = {
      {"PKCS#7 data", data, "Invalid Format: Not expected cryptography type."},
      {"trailing byte", trailing, ""},
      {"corrupted length", corrupted, parseError},
      {"oversized", Der(CertificateStore::kMaxBundleSize + 1, 0x30), ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      handler.ParseP7bBlobToCertStore(c.bundle);
      ADD_FAILURE() << "accepted";
    } catch (const InvalidInputException& e) {
      EXPECT_EQ(std::string(e.what()).rfind(c.textStart, 0), 0u) << e.what();
      EXPECT_EQ(e.ErrorCode(), static_cast<int32_t>(0xA0000035));
    }
  }
}

TEST_F(CertificateStoreHandlerTest, ExpiryIsNotAfterAsFileTime) {
  CertificateOptions options;
  options.notAfter = std::chrono::hours(48);
  const TestCertificate leaf = pki.Issue(options, pki.intermediate());
  const auto records =
      handler.VerifiedCertificateChain(pki.ChainBundle(leaf), leaf.sha1, false);
  const int64_t notAfter = static_cast<int64_t>(::time(nullptr)) + 48 * 3600;
  const uint64_t expected = static_cast<uint64_t>(notAfter + 11644473600LL) * 10'000'000u;
  EXPECT_NEAR(static_cast<double>(records[0].expiry), static_cast<double>(expected), 60e7);
}

TEST_F(CertificateStoreHandlerTest, ConcurrentVerificationsKeepTheirOwnVerdicts) {
  ServeBothCrls();
  const Der good = pki.ChainBundle(pki.leaf());
  const Der revoked = pki.ChainBundle(pki.revokedLeaf());
  std::atomic<int> wrong{0};
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < 10; ++i) {
          const bool useGood = (t + i) % 2 == 0;
          try {
            handler.VerifiedCertificateChain(useGood ? good : revoked,
                                             useGood ? pki.leaf().sha1 : pki.revokedLeaf().sha1,
                                             true);
            if (!useGood) ++wrong;
          } catch (const SmartCardCertificateVerificationException&) {
            if (useGood) ++wrong;
          }
        }
      });
    }
  }
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace keystone::testing
