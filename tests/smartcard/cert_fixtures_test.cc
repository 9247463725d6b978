// The test PKI and the SoftHSM2 token that the smart-card tests stand on, checked with bare
// OpenSSL and bare PKCS#11 calls.

#include <openssl/x509.h>
#include <openssl/pkcs7.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>
#include <p11-kit/pkcs11.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/shared_library.h"
#include "tests/fakes/softhsm_token.h"
#include "tests/fakes/test_pki.h"

namespace keystone::testing {
namespace {

X509* ParseCert(const Der& der) {
  const unsigned char* p = der.data();
  return d2i_X509(nullptr, &p, static_cast<long>(der.size()));
}

X509_CRL* ParseCrl(const Der& der) {
  const unsigned char* p = der.data();
  return d2i_X509_CRL(nullptr, &p, static_cast<long>(der.size()));
}

// The error of a bare OpenSSL verification of leaf under the PKI's root, with CRLs when given.
int VerifyError(const TestPki& pki, const TestCertificate& leaf, const std::vector<Der>& crls) {
  X509_STORE* store = X509_STORE_new();
  X509* root = ParseCert(pki.root().der);
  X509_STORE_add_cert(store, root);
  STACK_OF(X509)* untrusted = sk_X509_new_null();
  sk_X509_push(untrusted, ParseCert(pki.intermediate().der));
  STACK_OF(X509_CRL)* crlStack = sk_X509_CRL_new_null();
  for (const Der& crl : crls) sk_X509_CRL_push(crlStack, ParseCrl(crl));
  X509* cert = ParseCert(leaf.der);
  X509_STORE_CTX* ctx = X509_STORE_CTX_new();
  X509_STORE_CTX_init(ctx, store, cert, untrusted);
  if (!crls.empty()) {
    X509_STORE_CTX_set0_crls(ctx, crlStack);
    X509_STORE_CTX_set_flags(ctx, X509_V_FLAG_CRL_CHECK | X509_V_FLAG_CRL_CHECK_ALL);
  }
  X509_verify_cert(ctx);
  const int error = X509_STORE_CTX_get_error(ctx);
  X509_STORE_CTX_free(ctx);
  X509_free(cert);
  sk_X509_CRL_pop_free(crlStack, X509_CRL_free);
  sk_X509_pop_free(untrusted, X509_free);
  X509_free(root);
  X509_STORE_free(store);
  return error;
}

TEST(TestPkiTest, LeafVerifiesAgainstBothCrls) {
  const TestPki& pki = TestPki::Shared();
  EXPECT_EQ(VerifyError(pki, pki.leaf(), {pki.RootCrl(), pki.IntermediateCrl()}), X509_V_OK);
}

TEST(TestPkiTest, RevokedLeafIsListedInIntermediateCrl) {
  const TestPki& pki = TestPki::Shared();
  EXPECT_EQ(VerifyError(pki, pki.revokedLeaf(), {pki.RootCrl(), pki.IntermediateCrl()}),
            X509_V_ERR_CERT_REVOKED);
}

TEST(TestPkiTest, ExpiredLeafFailsVerification) {
  const TestPki& pki = TestPki::Shared();
  EXPECT_EQ(VerifyError(pki, pki.expiredLeaf(), {}), X509_V_ERR_CERT_HAS_EXPIRED);
}

TEST(TestPkiTest, LeafCarriesTheDistributionPointOfItsIssuer) {
  const TestPki& pki = TestPki::Shared();
  X509* leaf = ParseCert(pki.leaf().der);
  auto* points = static_cast<CRL_DIST_POINTS*>(
      X509_get_ext_d2i(leaf, NID_crl_distribution_points, nullptr, nullptr));
  ASSERT_NE(points, nullptr);
  GENERAL_NAME* name = sk_GENERAL_NAME_value(
      sk_DIST_POINT_value(points, 0)->distpoint->name.fullname, 0);
  const ASN1_IA5STRING* uri = name->d.uniformResourceIdentifier;
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(uri->data), uri->length),
            pki.CrlUrl(pki.intermediate()));
  CRL_DIST_POINTS_free(points);
  X509_free(leaf);
}

TEST(TestPkiTest, ThumbprintsAreLowerCaseHexOfTheDer) {
  const TestPki& pki = TestPki::Shared();
  EXPECT_EQ(pki.leaf().sha256.size(), 64u);
  EXPECT_EQ(pki.leaf().sha1.size(), 40u);
  EXPECT_EQ(pki.leaf().sha256.find_first_not_of("0123456789abcdef"), std::string::npos);
}

TEST(TestPkiTest, BundleHoldsItsCertificatesInOrder) {
  const TestPki& pki = TestPki::Shared();
  const Der bundle = pki.ChainBundle(pki.leaf());
  const unsigned char* p = bundle.data();
  PKCS7* p7 = d2i_PKCS7(nullptr, &p, static_cast<long>(bundle.size()));
  ASSERT_NE(p7, nullptr);
  ASSERT_TRUE(PKCS7_type_is_signed(p7));
  STACK_OF(X509)* certs = p7->d.sign->cert;
  ASSERT_EQ(sk_X509_num(certs), 3);
  unsigned char* out = nullptr;
  const int length = i2d_X509(sk_X509_value(certs, 0), &out);
  EXPECT_EQ(Der(out, out + length), pki.leaf().der);
  OPENSSL_free(out);
  PKCS7_free(p7);
}

// Counts the token's objects of one class, logged in as the user or not.
class TokenReader {
 public:
  TokenReader() : library(SoftHsmToken::ModulePath()) {
    auto getList = reinterpret_cast<CK_C_GetFunctionList>(library.Symbol("C_GetFunctionList"));
    getList(&f);
    f->C_Initialize(nullptr);
  }
  ~TokenReader() { f->C_Finalize(nullptr); }

  CK_ULONG Count(CK_OBJECT_CLASS objectClass, const std::string* pin) {
    CK_ULONG slotCount = 4;
    CK_SLOT_ID slots[4];
    if (f->C_GetSlotList(CK_TRUE, slots, &slotCount) != CKR_OK) return 999;
    const CK_SLOT_ID slot = slots[0];  // the initialised token comes first
    CK_SESSION_HANDLE session = 0;
    f->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session);
    if (pin) {
      std::string copy = *pin;
      EXPECT_EQ(f->C_Login(session, CKU_USER, reinterpret_cast<CK_UTF8CHAR*>(copy.data()),
                           copy.size()),
                CKR_OK);
    }
    CK_ATTRIBUTE query{CKA_CLASS, &objectClass, sizeof objectClass};
    f->C_FindObjectsInit(session, &query, 1);
    CK_OBJECT_HANDLE objects[8];
    CK_ULONG found = 0;
    f->C_FindObjects(session, objects, 8, &found);
    f->C_FindObjectsFinal(session);
    f->C_CloseSession(session);
    return found;
  }

 private:
  platform::SharedLibrary library;
  CK_FUNCTION_LIST* f = nullptr;
};

TEST(SoftHsmTokenTest, PrivateKeyIsVisibleOnlyAfterLogin) {
  if (SoftHsmToken::ModulePath().empty()) GTEST_SKIP() << "SoftHSM2 is not installed";
  SoftHsmToken token;
  token.Import(TestPki::Shared().leaf(), {0x01}, "Test User");
  TokenReader reader;
  EXPECT_EQ(reader.Count(CKO_CERTIFICATE, nullptr), 1u);
  EXPECT_EQ(reader.Count(CKO_PRIVATE_KEY, nullptr), 0u);
  EXPECT_EQ(reader.Count(CKO_PRIVATE_KEY, &token.UserPin()), 1u);
}

}  // namespace
}  // namespace keystone::testing
