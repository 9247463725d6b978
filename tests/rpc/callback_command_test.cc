// keystonectl callbacks, run as a program: what the engine's calls get from it.

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include "common/config_keys.h"
#include "common/status.h"
#include "platform/registry.h"
#include "platform/unix_socket.h"
#include "rpc/protocol.h"
#include "rpc/server_to_client.h"
#include "tests/fakes/eventually.h"
#include "tests/fakes/program_runner.h"
#include "tests/fakes/softhsm_token.h"
#include "tests/fakes/test_pki.h"

namespace rpc {
namespace {

using keystone::testing::EnvChanges;
using std::chrono::milliseconds;

constexpr uint32_t kEndpoint = 11;

class CallbackCommandTest : public ::testing::Test {
 protected:
  // Starts "keystonectl callbacks serve" and waits until it listens.
  void Serve(const std::string& pin) {
    env = {{"KEYSTONE_RUNTIME_DIR", dir.Path()},
           {"KEYSTONE_STATE_DIR", dir.File("state")},
           {"KS_TEST_PIN", pin}};
    // What the engine makes when it starts.
    std::filesystem::create_directory(CallbackDirectory(dir.Path()));
    std::filesystem::permissions(CallbackDirectory(dir.Path()),
                                 std::filesystem::perms(kCallbackDirectoryMode));
    pid = keystone::testing::SpawnProgram(KEYSTONECTL_BINARY,
                                          {"callbacks", "serve", std::to_string(kEndpoint),
                                           "--pin-from-env", "KS_TEST_PIN", "--assume-yes"},
                                          env, dir.File("serve.log"));
    ASSERT_TRUE(keystone::testing::Eventually([&] {
      return keystone::testing::ReadFileText(dir.File("serve.log")).find("serving callbacks at") !=
             std::string::npos;
    })) << keystone::testing::ReadFileText(dir.File("serve.log"));
  }
  int StopServing() {
    ::kill(pid, SIGINT);
    const int code = keystone::testing::WaitForExit(pid, milliseconds(10'000));
    pid = -1;
    return code;
  }
  void TearDown() override {
    if (pid > 0) StopServing();
  }
  mfab::Server2ClientInvoke Invoke() const {
    mfab::Server2ClientOptions options;
    options.runtimeDirectory = dir.Path();
    options.callTimeout = milliseconds(10'000);
    return mfab::Server2ClientInvoke(kEndpoint, 3, platform::CurrentUserId(), options);
  }

  keystone::testing::TempDirectory dir;
  EnvChanges env;
  pid_t pid = -1;
};

// Pings answer 0 while it serves and 1708 once an interrupt stopped it.
TEST_F(CallbackCommandTest, ServesThePinUntilInterrupted) {
  Serve("975310");
  std::string pin;
  EXPECT_EQ(mfab::CallRpcClientFunction(Invoke(), 1, pin), 0u);
  EXPECT_EQ(pin, "975310");
  const auto ping = [&] {
    return keystone::testing::RunProgram(
        KEYSTONECTL_BINARY, {"callbacks", "ping", std::to_string(kEndpoint)}, {env});
  };
  keystone::testing::ProgramResult pinged = ping();
  EXPECT_EQ(pinged.exitCode, 0) << pinged.err;
  const std::string socket = CallbackEndpointPath(dir.Path(), platform::CurrentUserId(), kEndpoint);
  EXPECT_NE(pinged.out.find(socket + ": 0"), std::string::npos) << pinged.out;
  EXPECT_EQ(StopServing(), 0);
  EXPECT_FALSE(std::filesystem::exists(socket));
  pinged = ping();
  EXPECT_EQ(pinged.exitCode, 1);
  EXPECT_NE(pinged.out.find(socket + ": 1708"), std::string::npos) << pinged.out;
}

TEST_F(CallbackCommandTest, RefusesAPinLongerThanTheEngineTakes) {
  Serve(std::string(257, '1'));
  std::string pin;
  EXPECT_EQ(mfab::CallRpcClientFunction(Invoke(), 1, pin), keystone::kStatusInvalidParameter);
  EXPECT_TRUE(pin.empty());
}

bool SignedBy(const keystone::testing::TestCertificate& certificate, const mfab::Bytes& data,
              const mfab::Bytes& signature) {
  const uint8_t* in = certificate.der.data();
  X509* x509 = d2i_X509(nullptr, &in, static_cast<long>(certificate.der.size()));
  EVP_PKEY* key = x509 ? X509_get0_pubkey(x509) : nullptr;
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  const bool good = key && context &&
                    EVP_DigestVerifyInit(context, nullptr, EVP_sha256(), nullptr, key) == 1 &&
                    EVP_DigestVerify(context, signature.data(), signature.size(), data.data(),
                                     data.size()) == 1;
  EVP_MD_CTX_free(context);
  X509_free(x509);
  return good;
}

// The signature is made with the key of the card that holds the named certificate; a
// certificate no card holds gets the certificate-unavailable status and no signature.
TEST_F(CallbackCommandTest, SignsWithTheKeyOfTheNamedCertificate) {
  if (keystone::testing::SoftHsmToken::ModulePath().empty()) GTEST_SKIP() << "no SoftHSM2";
  keystone::testing::SoftHsmToken token;
  const keystone::testing::TestPki& pki = keystone::testing::TestPki::Shared();
  token.Import(pki.intermediate(), {0x02}, "issuer");
  token.Import(pki.leaf(), {0x01}, "card key");
  {
    std::filesystem::create_directories(dir.File("state"));
    const auto registry = platform::OpenRegistry(dir.File("state") + "/registry.db");
    platform::WriteRegistryValue(*registry, keystone::kPhysicalSmartcardKey, "Pkcs11Module",
                                 platform::RegValue::String(token.ModulePath()));
    platform::WriteRegistryValue(*registry, keystone::kPhysicalSmartcardKey, "TokensAsReaders",
                                 platform::RegValue::Dword(1));
  }
  Serve(token.UserPin());
  const mfab::Bytes nonce(32, 7);
  mfab::Bytes signature;
  ASSERT_EQ(mfab::CallRpcClientFunction(Invoke(), nonce, signature, pki.leaf().sha1), 0u)
      << keystone::testing::ReadFileText(dir.File("serve.log"));
  EXPECT_TRUE(SignedBy(pki.leaf(), nonce, signature));

  mfab::Bytes none;
  EXPECT_EQ(mfab::CallRpcClientFunction(Invoke(), nonce, none, pki.revokedLeaf().sha1),
            keystone::kStatusCertificateUnavailable);
  EXPECT_TRUE(none.empty());
}

}  // namespace
}  // namespace rpc
