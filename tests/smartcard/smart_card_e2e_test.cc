// End to end: a real keystone-engine on the simulated applet with a SoftHSM2 token as its card
// (TokensAsReaders), enrolled and authenticated through keystonectl, which answers the engine's
// PIN and signature callbacks itself, or through the client library with a callback server of
// the test's own where the test must choose each answer.

#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <openssl/sha.h>

#include "common/config_keys.h"
#include "common/status.h"
#include "platform/accounts.h"
#include "platform/registry.h"
#include "rpc/client/callback_server.h"
#include "rpc/client/client.h"
#include "rpc/protocol.h"
#include "tests/fakes/engine_process.h"
#include "tests/fakes/program_paths.h"
#include "tests/fakes/softhsm_token.h"
#include "tests/fakes/test_pki.h"

namespace keystone::testing {
namespace {

namespace fs = std::filesystem;

constexpr char kFactor[] = "PhysicalSmartcard";
constexpr char kPinVariable[] = "KS_E2E_PIN";
constexpr uint32_t kSession = 7;

// Nothing listens on the discard port of the loopback: a distribution point there is
// unreachable at once, so the revocation status is unknown unless the cache holds the list.
const TestPki& Pki() {
  static const TestPki pki(
      {.rsaBits = 1024, .crlBaseUrl = "http://127.0.0.1:9/", .namePrefix = "Keystone E2E"});
  return pki;
}

std::string Sha256Hex(const std::string& text) {
  std::vector<uint8_t> digest(SHA256_DIGEST_LENGTH);
  SHA256(reinterpret_cast<const uint8_t*>(text.data()), text.size(), digest.data());
  return HexOf(digest);
}

class SmartCardE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (SoftHsmToken::ModulePath().empty()) GTEST_SKIP() << "no SoftHSM2";
    if (::geteuid() != 0) GTEST_SKIP() << "setting the applet's policy needs root";
    token = std::make_unique<SoftHsmToken>();
    engine = std::make_unique<EngineProcess>(kEngineBinary, kKeystonectlBinary);
    engine->Env().push_back({"SOFTHSM2_CONF", token->ConfPath()});
    user = platform::SystemAccounts().UserSid(0);
    SetCardValue("Pkcs11Module", platform::RegValue::String(SoftHsmToken::ModulePath()));
    SetCardValue("TokensAsReaders", platform::RegValue::Dword(1));
  }

  void SetCardValue(const std::string& name, const platform::RegValue& value) const {
    engine->SetEngineDword("DataMigrationOptIn", 1);  // makes the state directory as the engine
    const auto registry = platform::OpenRegistry(engine->StateDir() + "/registry.db");
    platform::WriteRegistryValue(*registry, kPhysicalSmartcardKey, name, value);
  }
  // The enrolled bundle's registry key of the user.
  std::string UserCardKey() const {
    return std::string(kPhysicalSmartcardKey) + "\\" + Sha256Hex(user);
  }

  // The card: leaf with its key, and its issuers up to the root.
  void Insert(const TestCertificate& leaf = Pki().leaf(), bool withIntermediate = true) {
    // SoftHSM2 takes RSA keys from the fixture; another key's certificate alone is a container.
    if (leaf.isRsa) {
      token->Import(leaf, {0x01}, "card key");
    } else {
      token->ImportCertificateOnly(leaf, {0x01}, "card key");
    }
    if (withIntermediate) token->ImportCertificateOnly(Pki().intermediate(), {0xC0}, "ca");
    token->ImportCertificateOnly(Pki().root(), {0xC1}, "root");
  }

  // Starts the engine and sets a policy whose smart-card factor trusts the test root.
  void StartWithPolicy(const std::vector<std::string>& params = {}) {
    ASSERT_TRUE(engine->Start());
    std::vector<std::string> args = {
        "applet",
        "policy",
        "set",
        "--factor",
        std::string(kFactor) + ":1:Smart card",
        "--param",
        std::string(kFactor) + ":CaCertificateThumbprint0=" + Pki().root().sha256};
    for (const std::string& param : params) {
      args.push_back("--param");
      args.push_back(std::string(kFactor) + ":" + param);
    }
    const ProgramResult set = engine->Ctl(args);
    ASSERT_EQ(set.exitCode, 0) << set.out << set.err;
    const ProgramResult mirrored = engine->Ctl({"backup", "all"});
    ASSERT_EQ(mirrored.exitCode, 0) << mirrored.out << mirrored.err;
  }

  // keystonectl with the PIN its callbacks answer.
  ProgramResult Ctl(std::vector<std::string> args, const std::string& pin) const {
    args.insert(args.end(), {"--pin-from-env", kPinVariable, "--assume-yes"});
    EnvChanges env = engine->Env();
    env.push_back({kPinVariable, pin});
    return RunProgram(kKeystonectlBinary, args, {.env = env});
  }
  ProgramResult Enroll(const std::string& pin) const {
    return Ctl({"enroll", user, kFactor, "--no-backup"}, pin);
  }
  ProgramResult Check(const std::string& pin) const {
    return Ctl({"applet", "factor-check", user, kFactor}, pin);
  }

  std::string Socket() const { return engine->RuntimeDir() + "/IVoxWithMfa"; }

  // Removes every token of the configuration, as a card pulled from its reader.
  void Pull() const {
    for (const auto& entry :
         fs::directory_iterator(fs::path(token->ConfPath()).parent_path() / "tokens")) {
      fs::remove_all(entry.path());
    }
  }

  // The lists as the engine's cache keeps them: <data root>/CrlCache/<SHA-256 of the URL>.crl.
  void CacheRevocationLists() const {
    const fs::path cache = fs::path(engine->StateDir()) / "CrlCache";
    fs::create_directories(cache);
    fs::permissions(cache, fs::perms::owner_all);
    const auto write = [&](const TestCertificate& issuer, const Der& crl) {
      std::ofstream(cache / (Sha256Hex(Pki().CrlUrl(issuer)) + ".crl"), std::ios::binary)
          .write(reinterpret_cast<const char*>(crl.data()),
                 static_cast<std::streamsize>(crl.size()));
    };
    write(Pki().intermediate(), Pki().IntermediateCrl());
    write(Pki().root(), Pki().RootCrl());
  }

  // Enrolls what is inserted: the engine refuses it with kStatusSmartCardNotAvailable for reason.
  void ExpectRefused(const std::string& reason) {
    ASSERT_NO_FATAL_FAILURE(StartWithPolicy());
    const ProgramResult enrolled = Enroll(token->UserPin());
    EXPECT_NE(enrolled.out.find("result=0xA0000065"), std::string::npos)
        << enrolled.out << enrolled.err;
    EXPECT_TRUE(engine->WaitForLog(reason)) << engine->Log();
  }

  // Enrolls the card, lets fault happen, then authenticates with pin.
  void ExpectAuthenticationRefused(const std::function<void()>& fault, const std::string& pin,
                                   const std::string& reason) {
    Insert();
    ASSERT_NO_FATAL_FAILURE(StartWithPolicy());
    const ProgramResult enrolled = Enroll(token->UserPin());
    ASSERT_EQ(enrolled.exitCode, 0) << enrolled.out << enrolled.err << engine->Log();
    fault();
    const ProgramResult checked = Check(pin);
    EXPECT_EQ(checked.exitCode, 1) << checked.out << checked.err;
    EXPECT_NE(checked.out.find("did not authenticate " + user), std::string::npos) << checked.out;
    EXPECT_TRUE(engine->WaitForLog(reason)) << engine->Log();
    EXPECT_TRUE(engine->WaitForLog("auth: the host did not authenticate " + user)) << engine->Log();
  }

  std::unique_ptr<SoftHsmToken> token;
  std::unique_ptr<EngineProcess> engine;
  std::string user;
};

// A person's way: keystonectl enrolls the card and authenticates with it, the PIN going
// through the callback either to the engine (which may replay it within the flow) or to the
// client's own signature.
class SmartCardPinPathTest : public SmartCardE2eTest, public ::testing::WithParamInterface<bool> {};

TEST_P(SmartCardPinPathTest, EnrollsThenAuthenticatesThroughKeystonectl) {
  const bool replay = GetParam();
  Insert();
  ASSERT_NO_FATAL_FAILURE(
      StartWithPolicy({replay ? "AllowPinReplay=true" : "AllowPinReplay=false"}));

  const ProgramResult enrolled = Enroll(token->UserPin());
  EXPECT_EQ(enrolled.exitCode, 0) << enrolled.out << enrolled.err << engine->Log();
  EXPECT_NE(enrolled.out.find("result=0x00000000"), std::string::npos) << enrolled.out;
  const std::string asked = replay ? "asks for the smart-card PIN" : "asks for a signature";
  EXPECT_NE(enrolled.err.find(asked), std::string::npos) << enrolled.err;
  // The distribution points are unreachable: the status is unknown, which is accepted.
  EXPECT_TRUE(engine->WaitForLog("revocation status unknown"));
  EXPECT_TRUE(engine->WaitForLog("Enrollment for " + user + " ended with 0x00000000"));

  const ProgramResult checked = Check(token->UserPin());
  EXPECT_EQ(checked.exitCode, 0) << checked.out << checked.err << engine->Log();
  EXPECT_NE(checked.out.find("factor PhysicalSmartcard authenticated " + user), std::string::npos)
      << checked.out;
  EXPECT_NE(checked.err.find(asked), std::string::npos) << checked.err;
  EXPECT_TRUE(engine->WaitForLog("auth: the host authenticated " + user));

  const ProgramResult again = Enroll(token->UserPin());
  EXPECT_NE(again.out.find("result=0xA0000037"), std::string::npos) << again.out;
  EXPECT_EQ(engine->Stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(PinReplay, SmartCardPinPathTest, ::testing::Bool(),
                         [](const auto& param) { return param.param ? "Engine" : "Client"; });

// The test's own client: it calls the engine and serves the callbacks at its own pid, with the
// answers a test chooses.
class TestClient {
 public:
  TestClient(const std::string& socket, const std::string& runtimeDirectory,
             std::vector<std::string> pinAnswers, std::function<void()> onPin = {})
      : pins(std::move(pinAnswers)), pinHook(std::move(onPin)), client(socket) {
    rpc::CallbackHandlers handlers;
    handlers.getPin = [this](int32_t attempt, int32_t, std::string& pin) {
      if (pinHook) pinHook();
      std::lock_guard<std::mutex> lock(mutex);
      attempts.push_back(attempt);
      if (attempts.size() > pins.size()) return static_cast<int32_t>(kStatusGeneralFailure);
      pin = pins[attempts.size() - 1];
      return 0;
    };
    rpc::CallbackServerOptions options;
    options.socketPath =
        rpc::CallbackEndpointPath(runtimeDirectory, ::geteuid(), static_cast<uint32_t>(::getpid()));
    server =
        std::make_unique<rpc::CallbackServer>(static_cast<uint32_t>(::getpid()), handlers, options);
  }
  uint32_t Enroll(const std::string& sid) {
    return static_cast<uint32_t>(client.RunEnrollmentFlowRpc(static_cast<int32_t>(kSession),
                                                             sid.c_str(), kFactor, 0, nullptr));
  }
  std::vector<int32_t> Attempts() {
    std::lock_guard<std::mutex> lock(mutex);
    return attempts;
  }

 private:
  const std::vector<std::string> pins;
  const std::function<void()> pinHook;
  std::mutex mutex;
  std::vector<int32_t> attempts;
  rpc::Client client;
  std::unique_ptr<rpc::CallbackServer> server;  // last: stops before the answers go
};

TEST_F(SmartCardE2eTest, AsksAgainForAWrongPin) {
  Insert();
  ASSERT_NO_FATAL_FAILURE(StartWithPolicy({"AllowPinReplay=true"}));
  TestClient client(Socket(), engine->RuntimeDir(), {"000000", token->UserPin()});
  EXPECT_EQ(client.Enroll(user), kStatusSuccess) << engine->Log();
  EXPECT_EQ(client.Attempts(), (std::vector<int32_t>{1, 2}));
  EXPECT_TRUE(engine->WaitForLog("NCryptSetProperty NCRYPT_PIN_PROPERTY failed."));
}

TEST_F(SmartCardE2eTest, CardPulledAtThePromptEndsTheEnrollment) {
  Insert();
  ASSERT_NO_FATAL_FAILURE(StartWithPolicy({"AllowPinReplay=true"}));
  TestClient client(Socket(), engine->RuntimeDir(), {token->UserPin()}, [this] { Pull(); });
  EXPECT_EQ(client.Enroll(user), kStatusEnrollmentError) << engine->Log();
  EXPECT_TRUE(engine->WaitForLog("Challenge response failed"));
}

TEST_F(SmartCardE2eTest, RefusesAPinLongerThanTheCallbackTakes) {
  Insert();
  ASSERT_NO_FATAL_FAILURE(StartWithPolicy({"AllowPinReplay=true"}));
  const ProgramResult enrolled = Enroll(std::string(257, '1'));
  EXPECT_NE(enrolled.out.find("result=0xA0000031"), std::string::npos) << enrolled.out;
  EXPECT_NE(enrolled.err.find("a PIN is at most 256 bytes"), std::string::npos) << enrolled.err;
  EXPECT_TRUE(engine->WaitForLog("SmartCardGetPin return error a0000035"));
}

TEST_F(SmartCardE2eTest, RefusesARevokedCard) {
  CacheRevocationLists();
  Insert(Pki().revokedLeaf());
  ExpectRefused("Untrusted Chain. Error: 17");
}

// A container whose certificate holds no RSA key (SoftHSM2 takes only the certificate).
TEST_F(SmartCardE2eTest, RefusesACardWithoutAnRsaKey) {
  Insert(Pki().ecLeaf());
  ExpectRefused("invalid public key type.");
}

TEST_F(SmartCardE2eTest, RefusesACardWithoutItsIntermediate) {
  Insert(Pki().leaf(), false);
  ExpectRefused("Untrusted Chain. Error: 14");
}

// Between the enrollment and the authentication: each answers the applet no.
TEST_F(SmartCardE2eTest, MissingBundleFailsTheAuthentication) {
  ExpectAuthenticationRefused(
      [this] {
        const auto registry = platform::OpenRegistry(engine->StateDir() + "/registry.db");
        ASSERT_TRUE(registry->OpenKey(UserCardKey(), platform::reg_access::kSetValue)
                        ->DeleteValue("p7bBlob"));
      },
      token->UserPin(), "Failed reading p7b blob from registry");
}

TEST_F(SmartCardE2eTest, PulledCardFailsTheAuthentication) {
  ExpectAuthenticationRefused([this] { Pull(); }, token->UserPin(),
                              "The enrolled smart card is not present");
}

TEST_F(SmartCardE2eTest, WrongPinFailsTheAuthentication) {
  ExpectAuthenticationRefused([] {}, "000000", "SmartCardSignHash return error a0000051");
}

// Enrollment without a card: no token in the module, or no module at all.
TEST_F(SmartCardE2eTest, ReportsAMissingTokenAsNoReader) {
  ASSERT_NO_FATAL_FAILURE(StartWithPolicy());
  Pull();
  const ProgramResult enrolled = Enroll(token->UserPin());
  EXPECT_NE(enrolled.out.find("result=0xA0000066"), std::string::npos) << enrolled.out;
  EXPECT_TRUE(engine->WaitForLog("SCardListReaders return with error."));
}

TEST_F(SmartCardE2eTest, ReportsAMissingModuleAsNoCardStorage) {
  SetCardValue("Pkcs11Module", platform::RegValue::String(engine->Root() + "/no-such-module.so"));
  ExpectRefused("Open smart card storage failed!!!");
}

}  // namespace
}  // namespace keystone::testing
