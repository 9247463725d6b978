// The smart-card handler over a SoftHSM2 token (the real PKCS#11 path) and over a scripted module
// (failures a software token cannot show: a locked PIN, a pulled card, a PIN pad).

#include "smartcard/smartcard_certificate_handler.h"

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "common/config_keys.h"
#include "platform/registry.h"
#include "smartcard/exceptions.h"
#include "tests/fakes/log_capture.h"
#include "tests/fakes/memory_registry.h"
#include "tests/fakes/softhsm_token.h"
#include "tests/fakes/test_pki.h"
#include "tests/fakes/thrown.h"
#include "tests/smartcard/cert_test_support.h"

namespace keystone::testing {
namespace {

using CertificateStore::ContainerLocation;
using CertificateStore::PolicyInputs;
using CertificateStore::SmartcardCertificateHandler;

// Readers as the test lists them, or the reader service's failures.
class FakeReaders : public platform::SmartCardReaders {
 public:
  FakeReaders(std::vector<std::string> names, bool serviceDown = false)
      : readers(std::move(names)), noService(serviceDown) {}
  std::vector<std::string> ListReaders() override {
    if (noService) throw platform::SmartCardServiceError("no service", 0x8010001D);
    if (readers.empty()) throw platform::SmartCardListError("no readers", 0x8010002E);
    return readers;
  }

 private:
  std::vector<std::string> readers;
  bool noService;
};

// Log captured, wall clock set by the test.
class LoggedTest : public ::testing::Test {
 protected:
  ~LoggedTest() override { log->Uninstall(); }
  std::shared_ptr<LogCapture> log = LogCapture::Install();
  SetClock clock;
};

class SoftHsmHandlerTest : public LoggedTest {
 protected:
  void SetUp() override {
    if (SoftHsmToken::ModulePath().empty()) GTEST_SKIP() << "SoftHSM2 is not installed";
    token = std::make_unique<SoftHsmToken>();
  }

  // The card as issued: the user's key and certificate, and the chain's CA certificates.
  void IssueCard(const TestCertificate& leaf) {
    token->Import(leaf, {0x01}, leaf.commonName);
    token->ImportCertificateOnly(pki.intermediate(), {0xC1}, "intermediate");
    token->ImportCertificateOnly(pki.root(), {0xC2}, "root");
  }

  SmartcardCertificateHandler& Handler(std::vector<std::string> readers = {}) {
    if (readers.empty()) readers = {"Some Other Reader", token->Label()};
    auto crls = std::make_unique<MapCrlSource>();
    crls->lists[pki.CrlUrl(pki.root())] = pki.RootCrl();
    crls->lists[pki.CrlUrl(pki.intermediate())] = pki.IntermediateCrl();
    const std::string path = SoftHsmToken::ModulePath();
    handler = std::make_unique<SmartcardCertificateHandler>(
        std::make_unique<FakeReaders>(readers), [path] { return platform::LoadPkcs11Module(path); },
        std::move(crls), clock);
    return *handler;
  }

  PolicyInputs Policy() const {
    PolicyInputs policy;
    policy.caThumbprints = {pki.root().sha256};
    policy.requiredOids = {kSmartCardLogonOid, kClientAuthOid};
    return policy;
  }

  ContainerLocation Container() const { return {token->Label(), "01"}; }

  const TestPki& pki = TestPki::Shared();
  std::unique_ptr<SoftHsmToken> token;
  std::unique_ptr<SmartcardCertificateHandler> handler;
};

TEST_F(SoftHsmHandlerTest, EnrollmentFindsTheCardCertificateWithItsChain) {
  IssueCard(pki.leaf());
  auto& h = Handler();
  const auto data = h.GetEnrollmentData(Policy());
  EXPECT_EQ(data.readerName, token->Label());
  EXPECT_EQ(data.containerName, "01");
  EXPECT_EQ(data.leafCertificate, pki.leaf().der);
  ASSERT_EQ(data.chain.size(), 3u);
  EXPECT_EQ(data.chain[2].thumbprint, pki.root().sha256);
  EXPECT_TRUE(data.pinNeeded);
  EXPECT_TRUE(log->Has("chain size 3"));
  // The bundle kept at enrollment verifies at authentication.
  EXPECT_EQ(h.VerifiedCertificateChain(data.p7bBundle, pki.leaf().sha1, true).size(), 3u);
}

TEST_F(SoftHsmHandlerTest, IntermediateThumbprintInPolicyAlsoTrusts) {
  IssueCard(pki.leaf());
  PolicyInputs policy = Policy();
  policy.caThumbprints = {pki.intermediate().sha256};
  EXPECT_EQ(Handler().GetEnrollmentData(policy).containerName, "01");
  EXPECT_TRUE(log->Has("no thumbprint found.  certificate thumbprint " + pki.root().sha256));
}

TEST_F(SoftHsmHandlerTest, EnrollmentWithAnotherAuthorityInPolicyCannotVerifyRoot) {
  IssueCard(pki.leaf());
  PolicyInputs policy = Policy();
  policy.caThumbprints = {std::string(64, 'a')};
  EXPECT_EQ(Thrown<CertificateStore::SmartCardNotAvailableException>(
                [&] { Handler().GetEnrollmentData(policy); }),
            "Can't verify root of trust (0xA0000065)");
  EXPECT_TRUE(log->Has("exception not trusted root"));
}

TEST_F(SoftHsmHandlerTest, RevokedCardCertificateIsSkipped) {
  IssueCard(pki.revokedLeaf());
  EXPECT_THROW(Handler().GetEnrollmentData(Policy()),
               CertificateStore::SmartCardNotAvailableException);
  EXPECT_TRUE(log->Contains("Untrusted Chain. Error: 17"));
}

TEST_F(SoftHsmHandlerTest, MissingUsageSkipsTheCertificate) {
  IssueCard(pki.leaf());
  PolicyInputs policy = Policy();
  policy.requiredOids.insert("1.3.6.1.5.5.7.3.4");  // e-mail protection
  EXPECT_THROW(Handler().GetEnrollmentData(policy), CertificateStore::SmartCardNotAvailableException);
  EXPECT_TRUE(log->Has("Missing OID's: 1.3.6.1.5.5.7.3.4"));
  EXPECT_TRUE(log->Has("exception Missing relevant OID in certificate."));
}

TEST_F(SoftHsmHandlerTest, EmptyUsageRequirementAcceptsAnyUsages) {
  CertificateOptions options;
  options.commonName = "No Usage";
  options.extendedKeyUsages = {};
  IssueCard(pki.Issue(options, pki.intermediate()));
  PolicyInputs policy = Policy();
  policy.requiredOids.clear();
  EXPECT_EQ(Handler().GetEnrollmentData(policy).containerName, "01");
  EXPECT_TRUE(log->Has("no oids in policy"));
}

TEST_F(SoftHsmHandlerTest, CardWithoutCertificatesHasNoValidCertificate) {
  EXPECT_EQ(Thrown<CertificateStore::SmartCardCertificateUnavailable>(
                [&] { Handler().GetEnrollmentData(Policy()); }),
            "Can't find any valid certificate (0xA0000069)");
}

TEST_F(SoftHsmHandlerTest, ConcurrentSignaturesAllVerify) {
  IssueCard(pki.leaf());
  auto& h = Handler();
  std::atomic<int> bad{0};
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < 3; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < 3; ++i) {
          const Der nonce(32, static_cast<uint8_t>(t * 16 + i));
          try {
            if (!SignatureVerifies(pki.leaf(), nonce, h.SignNonce(Container(), token->UserPin(), nonce))) ++bad;
          } catch (const std::exception&) {
            ++bad;
          }
        }
      });
    }
  }
  EXPECT_EQ(bad.load(), 0);
}

TEST_F(SoftHsmHandlerTest, WrongPinIsAPinError) {
  IssueCard(pki.leaf());
  EXPECT_THROW(Handler().SignNonce(Container(), std::string("999999"), Der(32, 1)),
               CertificateStore::SmartPinError);
  EXPECT_TRUE(log->Contains("NCryptSetProperty NCRYPT_PIN_PROPERTY failed. a0"));
}

TEST_F(SoftHsmHandlerTest, OverlongPinIsRefusedBeforeLogin) {
  IssueCard(pki.leaf());
  EXPECT_THROW(Handler().SignNonce(Container(), std::string(300, '1'), Der(32, 1)),
               CertificateStore::SmartPinError);
  // Refused by us (no module return value), not by the token.
  EXPECT_TRUE(log->Contains("NCryptSetProperty NCRYPT_PIN_PROPERTY failed. 0 "));
}

TEST_F(SoftHsmHandlerTest, SigningWithoutPinOnALoginCardFails) {
  IssueCard(pki.leaf());
  EXPECT_EQ(Thrown<CertificateStore::SmartCardGeneralError>(
                [&] { Handler().SignNonce(Container(), std::nullopt, Der(32, 1)); }),
            "SignHash error (0xA000006A)");
}

TEST_F(SoftHsmHandlerTest, ContainerIsFoundFromTheBundle) {
  IssueCard(pki.leaf());
  auto& h = Handler();
  const auto found = h.FindContainer("", pki.ChainBundle(pki.leaf()));
  ASSERT_TRUE(found);
  EXPECT_EQ(found->readerName, token->Label());
  EXPECT_EQ(found->containerName, "01");
  EXPECT_EQ(h.GetCertificateThumbprint(*found), pki.leaf().sha1);
  EXPECT_FALSE(h.FindContainer("", pki.ChainBundle(pki.revokedLeaf())));
}

TEST_F(SoftHsmHandlerTest, RegistryNamesTheModule) {
  MemoryRegistry registry;
  platform::WriteRegistryValue(registry, keystone::kPhysicalSmartcardKey, "Pkcs11Module",
                               platform::RegValue::String(SoftHsmToken::ModulePath()));
  auto module = CertificateStore::Pkcs11LoaderFromRegistry(registry)();
  EXPECT_EQ(module->Path(), SoftHsmToken::ModulePath());
  EXPECT_FALSE(module->Slots().empty());
}

TEST(Pkcs11LoaderTest, WithoutTheValueTheDefaultModuleIsLoaded) {
  MemoryRegistry registry;  // not even the factor key
  try {
    EXPECT_EQ(CertificateStore::Pkcs11LoaderFromRegistry(registry)()->Path(),
              platform::DefaultPkcs11ModulePath());
  } catch (const platform::Pkcs11Error& e) {
    // OpenSC not installed here: the attempt still names the default path.
    EXPECT_NE(std::string(e.what()).find(platform::DefaultPkcs11ModulePath()), std::string::npos);
  }
}

// Without a token: the reader service and the module path.
class HandlerServiceTest : public LoggedTest {
 protected:
  SmartcardCertificateHandler Make(std::vector<std::string> readers, bool serviceDown = false) {
    return SmartcardCertificateHandler(
        std::make_unique<FakeReaders>(std::move(readers), serviceDown),
        [] { return platform::LoadPkcs11Module("/nonexistent/module.so"); }, nullptr, clock);
  }
};

TEST_F(HandlerServiceTest, ReadersAreFilteredByLowerCaseSubstring) {
  const std::vector<std::string> readers = {"Gemalto PC Twin Reader 00 00", "ACS ACR38U 01 00",
                                            "Identiv uTrust 4701 F Dual Interface Reader(1)"};
  struct Case {
    std::string base;
    std::vector<std::string> kept;
  };
  const std::vector<Case> cases = {
      {"READER", {readers[0], readers[2]}},
      {"acr38", {readers[1]}},
      {"", readers},
      {"Yubikey", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.base);
    EXPECT_EQ(Make(readers).FilterReaders(c.base), c.kept);
  }
  EXPECT_TRUE(log->Has("baseReaderName READER"));
  EXPECT_TRUE(log->Has("number of readers found 2"));
}

TEST_F(HandlerServiceTest, ReaderServiceDownIsSmartCardNotAvailable) {
  EXPECT_EQ(Thrown<CertificateStore::SmartCardNotAvailableException>(
                [&] { Make({}, true).FilterReaders(""); }),
            "SCardEstablishContext Failed. (0xA0000065)");
}

TEST_F(HandlerServiceTest, NoReaderIsReaderNotAvailable) {
  EXPECT_EQ(Thrown<CertificateStore::SmartCardReaderNotAvailableException>(
                [&] { Make({}).FilterReaders(""); }),
            "SCardListReaders return with error. (0xA0000066)");
}

TEST_F(HandlerServiceTest, UnloadableModuleIsStorageFailure) {
  EXPECT_EQ(Thrown<CertificateStore::SmartCardNotAvailableException>(
                [&] { Make({"Reader"}).OpenStorageProvider(); }),
            "Open smart card storage failed!!! (0xA0000065)");
  EXPECT_TRUE(log->Contains("Open smart card storage failed!!!"));
}

TEST_F(HandlerServiceTest, NoReaderMeansNoContainer) {
  EXPECT_FALSE(Make({}).FindContainer("", TestPki::Shared().ChainBundle(TestPki::Shared().leaf())));
}

// A module that answers as the test says, for what a software token cannot show.
// What the scripted module answers; shared by the test and every module the handler loads.
struct ModuleScript {
  std::vector<platform::Pkcs11Slot> slots;
  std::optional<platform::Pkcs11Failure> failure;
  unsigned long rv = 0;
  std::vector<uint8_t> lastDigestInfo;
};

class ScriptedModule : public platform::Pkcs11Module {
 public:
  explicit ScriptedModule(std::shared_ptr<ModuleScript> answers) : script(std::move(answers)) {}
  const std::string& Path() const override { return path; }
  std::vector<platform::Pkcs11Slot> Slots() override { return script->slots; }
  std::vector<platform::Pkcs11Certificate> Certificates(unsigned long) override { return {}; }
  std::vector<uint8_t> SignDigestInfo(unsigned long, std::span<const uint8_t>,
                                      const std::optional<std::string>&,
                                      std::span<const uint8_t> digestInfo) override {
    script->lastDigestInfo.assign(digestInfo.begin(), digestInfo.end());
    if (script->failure) throw platform::Pkcs11Error(*script->failure, script->rv, "scripted");
    return {1, 2, 3};
  }

 private:
  const std::string path = "scripted";
  const std::shared_ptr<ModuleScript> script;
};

class ScriptedModuleTest : public LoggedTest {
 protected:
  void SetUp() override {
    platform::Pkcs11Slot slot;
    slot.id = 7;
    slot.description = std::string(kLongReader.substr(0, 64));
    while (!slot.description.empty() && slot.description.back() == ' ') slot.description.pop_back();
    slot.tokenLabel = "PIV Card";
    slot.loginRequired = true;
    module->slots = {slot};
  }
  SmartcardCertificateHandler Make() {
    return SmartcardCertificateHandler(
        std::make_unique<FakeReaders>(std::vector<std::string>{std::string(kLongReader)}),
        [script = module] { return std::make_unique<ScriptedModule>(script); }, nullptr, clock);
  }

  // A reader name longer than the 64 bytes a slot description holds.
  static constexpr std::string_view kLongReader =
      "Very Long Vendor Name Smart Card Reader Interface With Many Words 00 00";
  std::shared_ptr<ModuleScript> module = std::make_shared<ModuleScript>();
};

TEST_F(ScriptedModuleTest, LongReaderNameMatchesItsCutSlotDescription) {
  EXPECT_TRUE(Make().IsPinNeeded({std::string(kLongReader), "01"}));
}

TEST_F(ScriptedModuleTest, PinPadCardNeedsNoPinFromUs) {
  module->slots[0].protectedAuthenticationPath = true;
  EXPECT_FALSE(Make().IsPinNeeded({std::string(kLongReader), "01"}));
}

TEST_F(ScriptedModuleTest, SignatureInputIsTheSha256DigestInfoOfTheNonce) {
  Make().SignNonce({std::string(kLongReader), "01"}, std::string("1234"), Der{'a', 'b', 'c'});
  // SHA-256("abc") behind the DigestInfo prefix.
  EXPECT_EQ(HexOf(module->lastDigestInfo),
            "3031300d060960864801650304020105000420"
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

// How each failure of the module reaches the flow.
TEST_F(ScriptedModuleTest, ModuleFailuresMapToTheirExceptions) {
  using F = platform::Pkcs11Failure;
  struct Case {
    F failure;
    unsigned long rv;
    std::string expectedType;
    std::string logFragment;
  };
  const std::vector<Case> cases = {
      {F::kPinIncorrect, 0xA0, "pin", "NCRYPT_PIN_PROPERTY failed. a0"},
      {F::kPinLength, 0xA2, "pin", "NCRYPT_PIN_PROPERTY failed. a2"},
      {F::kPinLocked, 0xA4, "pin", "PIN locked"},
      {F::kNoToken, 0x32, "absent", "card removed"},
      {F::kOther, 0x30, "general", "NCryptSignHash failed. 30"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.logFragment);
    module->failure = c.failure;
    module->rv = c.rv;
    std::string type;
    try {
      Make().SignNonce({std::string(kLongReader), "01"}, std::string("1234"), Der(32, 1));
    } catch (const CertificateStore::SmartPinError&) {
      type = "pin";
    } catch (const CertificateStore::SmartCardNotAvailableException&) {
      type = "absent";
    } catch (const CertificateStore::SmartCardGeneralError& e) {
      type = "general";
      EXPECT_STREQ(e.what(), "SignHash error");
    }
    EXPECT_EQ(type, c.expectedType);
    EXPECT_TRUE(log->Contains(c.logFragment));
  }
}

TEST_F(ScriptedModuleTest, CardPulledBeforeSigningIsSmartCardNotAvailable) {
  auto handler = Make();
  module->slots.clear();
  EXPECT_THROW(handler.SignNonce({std::string(kLongReader), "01"}, std::string("1"), Der(32, 1)),
               CertificateStore::SmartCardNotAvailableException);
}

TEST_F(ScriptedModuleTest, MalformedContainerNameIsInvalidInput) {
  EXPECT_THROW(Make().SignNonce({std::string(kLongReader), "0g"}, std::nullopt, Der(32, 1)),
               CertificateStore::InvalidInputException);
}

TEST_F(ScriptedModuleTest, OversizedNonceIsRefused) {
  EXPECT_THROW(Make().SignNonce({std::string(kLongReader), "01"}, std::nullopt,
                                Der(SmartcardCertificateHandler::kMaxNonceSize + 1, 1)),
               CertificateStore::SmartCardGeneralError);
  EXPECT_TRUE(module->lastDigestInfo.empty());
}

}  // namespace
}  // namespace keystone::testing
