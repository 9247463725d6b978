// The smart-card handling's two hot paths beside the bare library calls they stand on, in one run:
//  - a bundle's chain verified with two revocation lists (warm cache) against X509_verify_cert
//    on pre-parsed certificates and lists;
//  - a nonce signed on a SoftHSM2 token (find the reader's slot, session, log-in, find the key,
//    sign, log out) against the same PKCS#11 sequence called directly, and against C_Sign alone on
//    an open, logged-in session.

#include <openssl/x509_vfy.h>
#include <p11-kit/pkcs11.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "log/logger.h"
#include "platform/clock.h"
#include "platform/file_system.h"
#include "platform/http_fetch.h"
#include "platform/shared_library.h"
#include "smartcard/crl_cache.h"
#include "smartcard/smartcard_certificate_handler.h"
#include "tests/fakes/program_runner.h"
#include "tests/fakes/softhsm_token.h"
#include "tests/fakes/test_pki.h"

namespace {

using keystone::testing::Der;
using keystone::testing::SoftHsmToken;
using keystone::testing::TestPki;

// Keys of the size cards carry.
const TestPki& Pki() {
  static const TestPki pki({.rsaBits = 2048});
  return pki;
}

// The two distribution points, served from memory (the cache is warm after the first call anyway).
class ServedLists : public platform::HttpFetch {
 public:
  std::vector<uint8_t> Get(const std::string& url, std::chrono::milliseconds, size_t) override {
    if (url == Pki().CrlUrl(Pki().root())) return root;
    if (url == Pki().CrlUrl(Pki().intermediate())) return intermediate;
    throw platform::HttpFetchError("unknown");
  }
  Der root = Pki().RootCrl();
  Der intermediate = Pki().IntermediateCrl();
};

void QuietLogs() {
  static bool done = [] {
    mfab::SetLogThreshold(mfab::LogSink::kService, 0);
    return true;
  }();
  (void)done;
}

X509* Parse(const Der& der) {
  const unsigned char* p = der.data();
  return d2i_X509(nullptr, &p, static_cast<long>(der.size()));
}

void BM_BareOpenSslVerify(benchmark::State& state) {
  X509_STORE* store = X509_STORE_new();
  X509* root = Parse(Pki().root().der);
  X509_STORE_add_cert(store, root);
  X509* leaf = Parse(Pki().leaf().der);
  STACK_OF(X509)* untrusted = sk_X509_new_null();
  sk_X509_push(untrusted, Parse(Pki().intermediate().der));
  STACK_OF(X509_CRL)* crls = sk_X509_CRL_new_null();
  for (const Der& der : {Pki().RootCrl(), Pki().IntermediateCrl()}) {
    const unsigned char* p = der.data();
    sk_X509_CRL_push(crls, d2i_X509_CRL(nullptr, &p, static_cast<long>(der.size())));
  }
  for (auto _ : state) {
    X509_STORE_CTX* ctx = X509_STORE_CTX_new();
    X509_STORE_CTX_init(ctx, store, leaf, untrusted);
    X509_STORE_CTX_set0_crls(ctx, crls);
    X509_STORE_CTX_set_flags(ctx, X509_V_FLAG_CRL_CHECK | X509_V_FLAG_CRL_CHECK_ALL);
    if (X509_verify_cert(ctx) != 1) state.SkipWithError("bare verification failed");
    X509_STORE_CTX_free(ctx);
  }
  sk_X509_CRL_pop_free(crls, X509_CRL_free);
  sk_X509_pop_free(untrusted, X509_free);
  X509_free(leaf);
  X509_free(root);
  X509_STORE_free(store);
}
BENCHMARK(BM_BareOpenSslVerify)->Unit(benchmark::kMicrosecond);

void BM_VerifiedCertificateChain(benchmark::State& state) {
  QuietLogs();
  keystone::testing::TempDirectory dir;
  ServedLists fetch;
  CertificateStore::CrlCache cache(
      [&] { return platform::SystemFileSystem().OpenDirectory(dir.Path()); }, fetch,
      platform::SystemClock());
  CertificateStore::CertificateStoreHandler handler(&cache, platform::SystemClock());
  const Der bundle = Pki().ChainBundle(Pki().leaf());
  handler.VerifiedCertificateChain(bundle, Pki().leaf().sha1, true);  // warms the cache
  for (auto _ : state) {
    benchmark::DoNotOptimize(handler.VerifiedCertificateChain(bundle, Pki().leaf().sha1, true));
  }
}
BENCHMARK(BM_VerifiedCertificateChain)->Unit(benchmark::kMicrosecond);

// One token for the signing benchmarks, made once.
struct Token {
  Token() {
    if (SoftHsmToken::ModulePath().empty()) throw std::runtime_error("SoftHSM2 is not installed");
    token = std::make_unique<SoftHsmToken>();
    token->Import(Pki().leaf(), {0x01}, "Test User");
  }
  std::unique_ptr<SoftHsmToken> token;
};

Token& SharedToken() {
  static Token token;
  return token;
}

const Der kNonce(32, 0x5A);

// What SignNonce hands the module: a SHA-256 DigestInfo (the digest's value does not change the
// cost).
const Der kDigestInfo = [] {
  Der info = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
              0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
  info.resize(info.size() + 32, 0x11);
  return info;
}();

struct BareModule {
  BareModule() : library(SoftHsmToken::ModulePath()) {
    CK_C_GetFunctionList getList = nullptr;
    library.Resolve(getList, "C_GetFunctionList");
    getList(&f);
    CK_C_INITIALIZE_ARGS args{};
    args.flags = CKF_OS_LOCKING_OK;
    f->C_Initialize(&args);
    CK_ULONG count = 8;
    CK_SLOT_ID slots[8];
    f->C_GetSlotList(CK_TRUE, slots, &count);
    slot = slots[0];
  }
  ~BareModule() { f->C_Finalize(nullptr); }

  CK_OBJECT_HANDLE FindKey(CK_SESSION_HANDLE session) {
    CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
    uint8_t id = 0x01;
    CK_ATTRIBUTE query[] = {{CKA_CLASS, &keyClass, sizeof keyClass}, {CKA_ID, &id, 1}};
    f->C_FindObjectsInit(session, query, 2);
    CK_OBJECT_HANDLE key = 0;
    CK_ULONG found = 0;
    f->C_FindObjects(session, &key, 1, &found);
    f->C_FindObjectsFinal(session);
    return key;
  }

  bool Sign(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key) {
    CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
    Der input = kDigestInfo;
    uint8_t signature[512];
    CK_ULONG length = sizeof signature;
    return f->C_SignInit(session, &mechanism, key) == CKR_OK &&
           f->C_Sign(session, input.data(), input.size(), signature, &length) == CKR_OK;
  }

  platform::SharedLibrary library;
  CK_FUNCTION_LIST* f = nullptr;
  CK_SLOT_ID slot = 0;
};

void BM_BareCSign(benchmark::State& state) {
  Token& token = SharedToken();
  BareModule m;
  CK_SESSION_HANDLE session = 0;
  m.f->C_OpenSession(m.slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session);
  std::string pin = token.token->UserPin();
  m.f->C_Login(session, CKU_USER, reinterpret_cast<CK_UTF8CHAR*>(pin.data()), pin.size());
  const CK_OBJECT_HANDLE key = m.FindKey(session);
  for (auto _ : state) {
    if (!m.Sign(session, key)) state.SkipWithError("C_Sign failed");
  }
  m.f->C_Logout(session);
  m.f->C_CloseSession(session);
}
BENCHMARK(BM_BareCSign)->Unit(benchmark::kMicrosecond);

void BM_BareLoginAndSign(benchmark::State& state) {
  Token& token = SharedToken();
  BareModule m;
  std::string pin = token.token->UserPin();
  for (auto _ : state) {
    CK_SESSION_HANDLE session = 0;
    m.f->C_OpenSession(m.slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session);
    m.f->C_Login(session, CKU_USER, reinterpret_cast<CK_UTF8CHAR*>(pin.data()), pin.size());
    if (!m.Sign(session, m.FindKey(session))) state.SkipWithError("C_Sign failed");
    m.f->C_Logout(session);
    m.f->C_CloseSession(session);
  }
}
BENCHMARK(BM_BareLoginAndSign)->Unit(benchmark::kMicrosecond);

// Readers for the handler: the token's label is the reader name.
class TokenReader : public platform::SmartCardReaders {
 public:
  explicit TokenReader(std::string name) : reader(std::move(name)) {}
  std::vector<std::string> ListReaders() override { return {reader}; }

 private:
  std::string reader;
};

void BM_SignNonce(benchmark::State& state) {
  QuietLogs();
  Token& token = SharedToken();
  const std::string path = SoftHsmToken::ModulePath();
  CertificateStore::SmartcardCertificateHandler handler(
      std::make_unique<TokenReader>(token.token->Label()),
      [path] { return platform::LoadPkcs11Module(path); }, nullptr, platform::SystemClock());
  const CertificateStore::ContainerLocation container{token.token->Label(), "01"};
  const std::optional<std::string> pin = token.token->UserPin();
  for (auto _ : state) benchmark::DoNotOptimize(handler.SignNonce(container, pin, kNonce));
}
BENCHMARK(BM_SignNonce)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
