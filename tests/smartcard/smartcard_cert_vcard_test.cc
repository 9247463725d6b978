// The whole stack with a card in a reader: pcscd with the vpcd virtual reader driver, a virtual
// CAC card (libcacard over an NSS database, carried by keystone-test-vcard-bridge), OpenSC's
// PKCS#11 module, and the engine's handler as CreateSmartCardCertificates makes it.
//
// pcscd's socket path is fixed, so these tests run one at a time (RUN_SERIAL) and skip where
// pcscd cannot be started here (not root, not installed, or another pcscd already running).

#include <openssl/pkcs12.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "common/config_keys.h"
#include "platform/pkcs11_module.h"
#include "platform/registry.h"
#include "smartcard/exceptions.h"
#include "smartcard/smartcard_certificate_handler.h"
#include "tests/fakes/eventually.h"
#include "tests/fakes/log_capture.h"
#include "tests/fakes/memory_registry.h"
#include "tests/fakes/program_runner.h"
#include "tests/fakes/test_pki.h"
#include "tests/smartcard/cert_test_support.h"

namespace keystone::testing {
namespace {

namespace fs = std::filesystem;

constexpr const char* kPcscdSocket = "/run/pcscd/pcscd.comm";
constexpr const char* kVpcdDriver = "/etc/reader.conf.d/vpcd";
constexpr const char* kVirtualReader = "Virtual PCD 00 00";
constexpr const char* kPin = "246810";
constexpr const char* kVpcdPort = "35963";  // the driver's CHANNELID 0x8C7B

std::string Which(const std::string& program) {
  for (const char* dir : {"/usr/sbin", "/usr/bin", "/sbin", "/bin", "/usr/local/bin"}) {
    const fs::path candidate = fs::path(dir) / program;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

// Distribution points that refuse at once: no test waits for a download.
const TestPki& Pki() {
  static const TestPki pki({.rsaBits = 1024, .crlBaseUrl = "http://127.0.0.1:9/"});
  return pki;
}

void WriteP12(const TestCertificate& certificate, const std::string& name,
              const std::string& path) {
  const unsigned char* c = certificate.der.data();
  X509* x = d2i_X509(nullptr, &c, static_cast<long>(certificate.der.size()));
  const unsigned char* k = certificate.privateKeyDer.data();
  EVP_PKEY* key =
      d2i_AutoPrivateKey(nullptr, &k, static_cast<long>(certificate.privateKeyDer.size()));
  PKCS12* p12 = PKCS12_create("p12pass", name.c_str(), key, x, nullptr, 0, 0, 0, 0, 0);
  unsigned char* out = nullptr;
  const int length = i2d_PKCS12(p12, &out);
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(out), length);
  OPENSSL_free(out);
  PKCS12_free(p12);
  EVP_PKEY_free(key);
  X509_free(x);
}

class VirtualCardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "pcscd needs root to open " << kPcscdSocket;
    pcscd = Which("pcscd");
    const std::string certutil = Which("certutil");
    const std::string pk12util = Which("pk12util");
    if (pcscd.empty() || certutil.empty() || pk12util.empty() || !fs::exists(kVpcdDriver) ||
        !fs::exists(platform::DefaultPkcs11ModulePath())) {
      GTEST_SKIP() << "pcscd, vsmartcard-vpcd, libnss3-tools or OpenSC is not installed";
    }
    if (fs::exists(kPcscdSocket)) {
      GTEST_SKIP() << "a pcscd is already running (" << kPcscdSocket << "); it cannot be shared";
    }
    log = LogCapture::Install();
    MakeNssDatabase(certutil, pk12util);
    pcscdPid = SpawnProgram(pcscd, {"--foreground"}, {}, dir.File("pcscd.log"));
    if (!Eventually([] { return fs::exists(kPcscdSocket); })) {
      GTEST_SKIP() << "pcscd did not start: " << ReadFileText(dir.File("pcscd.log"));
    }
    InsertCard();
    platform::WriteRegistryValue(registry, keystone::kEngineKey, "DataDir",
                                 platform::RegValue::String(dir.File("data")));
    handler = CertificateStore::CreateSmartCardCertificates(registry);
    smartcard = static_cast<CertificateStore::SmartcardCertificateHandler*>(handler.get());
    ASSERT_TRUE(Eventually([&] { return CardPresent(); }))
        << ReadFileText(dir.File("bridge.log"));
  }

  void TearDown() override {
    handler.reset();
    RemoveCard();
    if (pcscdPid > 0) {
      ::kill(pcscdPid, SIGTERM);
      WaitForExit(pcscdPid, std::chrono::seconds(5));
    }
    if (log) log->Uninstall();
  }

  // The card's contents: the user's key and certificate, and the chain's CA certificates (with
  // keys, as libcacard wants one for every certificate it presents). The database password is
  // the card's PIN.
  void MakeNssDatabase(const std::string& certutil, const std::string& pk12util) {
    fs::create_directory(dir.File("nssdb"));
    std::ofstream(dir.File("pin")) << kPin << "\n";
    std::ofstream(dir.File("p12pin")) << "p12pass\n";
    const std::string db = "sql:" + dir.File("nssdb");
    ASSERT_EQ(RunProgram(certutil, {"-N", "-d", db, "-f", dir.File("pin")}).exitCode, 0);
    const std::pair<const TestCertificate*, const char*> entries[] = {
        {&Pki().leaf(), "leaf"}, {&Pki().intermediate(), "intermediate"}, {&Pki().root(), "root"}};
    for (const auto& [certificate, name] : entries) {
      const std::string p12 = dir.File(std::string(name) + ".p12");
      WriteP12(*certificate, name, p12);
      const ProgramResult imported = RunProgram(
          pk12util, {"-i", p12, "-d", db, "-k", dir.File("pin"), "-w", dir.File("p12pin")});
      ASSERT_EQ(imported.exitCode, 0) << imported.out << imported.err;
    }
  }

  void InsertCard() {
    bridgePid = SpawnProgram(KEYSTONE_TEST_VCARD_BRIDGE,
                             {dir.File("nssdb"), kVpcdPort, "leaf,intermediate,root"}, {},
                             dir.File("bridge.log"));
  }

  void RemoveCard() {
    if (bridgePid <= 0) return;
    ::kill(bridgePid, SIGTERM);
    WaitForExit(bridgePid, std::chrono::seconds(5));
    bridgePid = -1;
  }

  bool CardPresent() {
    try {
      for (const auto& card : smartcard->ListCards(kVirtualReader)) {
        if (card.cardPresent && !card.certificates.empty()) return true;
      }
    } catch (const std::exception&) {
      // The reader is not there yet.
    }
    return false;
  }

  CertificateStore::PolicyInputs Policy() const {
    CertificateStore::PolicyInputs policy;
    policy.caThumbprints = {Pki().root().sha256};
    policy.requiredOids = {kSmartCardLogonOid};
    policy.baseReaderName = "virtual pcd";
    return policy;
  }

  // The container whose certificate is the leaf (OpenSC takes the key order from the card).
  CertificateStore::ContainerLocation LeafContainer() {
    auto found = handler->FindContainer("", Pki().ChainBundle(Pki().leaf()));
    if (!found) throw std::runtime_error("leaf not on the card");
    return *found;
  }

  TempDirectory dir;
  MemoryRegistry registry;
  std::string pcscd;
  pid_t pcscdPid = -1;
  pid_t bridgePid = -1;
  std::shared_ptr<CertificateStore::ISmartCardCertificates> handler;
  CertificateStore::SmartcardCertificateHandler* smartcard = nullptr;
  std::shared_ptr<LogCapture> log;
};

TEST_F(VirtualCardTest, EnrollmentFindsTheCardInTheReader) {
  const auto data = handler->GetEnrollmentData(Policy());
  EXPECT_EQ(data.readerName, kVirtualReader);
  EXPECT_EQ(data.leafCertificate, Pki().leaf().der);
  EXPECT_EQ(data.chain.size(), 3u);
  EXPECT_TRUE(data.pinNeeded);
  // The distribution points refused: status unknown, accepted.
  EXPECT_TRUE(log->Contains("CRL download failed"));
}

TEST_F(VirtualCardTest, SignatureWithTheRightPinVerifies) {
  const CertificateStore::ContainerLocation container = LeafContainer();
  const Der nonce(32, 0x42);
  const Der signature = handler->SignNonce(container, std::string(kPin), nonce);
  EXPECT_TRUE(SignatureVerifies(Pki().leaf(), nonce, signature));
}

TEST_F(VirtualCardTest, ThumbprintSelectsTheLeafContainer) {
  EXPECT_EQ(handler->GetCertificateThumbprint(LeafContainer()), Pki().leaf().sha1);
}

TEST_F(VirtualCardTest, WrongPinsArePinErrorsUntilTheCardLocks) {
  const auto container = LeafContainer();
  for (int i = 0; i < 3; ++i) {
    EXPECT_THROW(handler->SignNonce(container, std::string("000000"), Der(32, 1)),
                 CertificateStore::SmartPinError);
  }
  EXPECT_THROW(handler->SignNonce(container, std::string(kPin), Der(32, 1)),
               CertificateStore::SmartPinError);
  EXPECT_TRUE(log->Contains("NCRYPT_PIN_PROPERTY failed. a0"));
  EXPECT_TRUE(log->Contains("PIN locked"));
}

TEST_F(VirtualCardTest, PulledCardIsSmartCardNotAvailable) {
  const auto container = LeafContainer();
  RemoveCard();
  ASSERT_TRUE(Eventually([&] { return !CardPresent(); }));
  EXPECT_THROW(handler->SignNonce(container, std::string(kPin), Der(32, 1)),
               CertificateStore::SmartCardNotAvailableException);
}

}  // namespace
}  // namespace keystone::testing
