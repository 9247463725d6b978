#include "platform/signed_file_verifier.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/config_keys.h"
#include "platform/posix/verified_content.h"
#include "platform/registry.h"
#include "platform/trusted_signers.h"
#include "tests/fakes/memory_registry.h"
#include "tests/fakes/program_paths.h"
#include "tests/fakes/program_runner.h"
#include "tests/fakes/test_signing.h"

namespace platform {
namespace {

namespace fs = std::filesystem;
using keystone::testing::CopySigned;
using keystone::testing::kTestAttestationLibrary;
using keystone::testing::kTestDesktopProgram;
using keystone::testing::kTestSignerCert;
using keystone::testing::ReadFileText;
using keystone::testing::ThumbprintOf;

void Write(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

class SignedFileVerifierTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!*kTestDesktopProgram) GTEST_SKIP() << "the signed test program was not built";
    program = CopySigned(kTestDesktopProgram, dir.Path(), "program");
  }

  // The reason Verify gives; nullopt when it trusts the file.
  std::optional<UntrustedReason> Refusal(const std::string& path,
                                         const std::vector<std::string>& signers,
                                         SignedFileVerifier* with = nullptr) {
    try {
      (with ? with : verifier.get())->Verify(path, signers);
      return std::nullopt;
    } catch (const UntrustedFileError& e) {
      return e.Reason();
    }
  }

  keystone::testing::TempDirectory dir;
  std::unique_ptr<SignedFileVerifier> verifier = CreateSignedFileVerifier();
  std::string program;
  const std::vector<std::string> trusted{ThumbprintOf(kTestSignerCert)};
};

TEST_F(SignedFileVerifierTest, HandsOutTheBytesItVerifiedInASealedCopy) {
  const std::string original = ReadFileText(program);
  const VerifiedFile file = verifier->Verify(program, trusted);
  EXPECT_EQ(file.SignerThumbprint(), trusted[0]);
  // Replacing the file afterwards changes nothing of what was verified.
  Write(program, "replaced");
  EXPECT_EQ(std::string(file.Bytes().begin(), file.Bytes().end()), original);
  const int fd = file.Content().Descriptor();
  EXPECT_EQ(::pwrite(fd, "x", 1, 0), -1);
  EXPECT_EQ(::ftruncate(fd, 0), -1);
}

// Each way a file can fail to be trusted is told apart.
TEST_F(SignedFileVerifierTest, RefusesEachUntrustedFileForItsReason) {
  const std::string tampered = CopySigned(kTestDesktopProgram, dir.Path(), "tampered");
  std::string bytes = ReadFileText(tampered);
  bytes[bytes.size() / 2] ^= 0x01;
  Write(tampered, bytes);
  const std::string foreign =
      CopySigned(kTestDesktopProgram, dir.Path(), "foreign", ".foreign-sig");
  const std::string bare = dir.File("unsigned");
  fs::copy_file(kTestDesktopProgram, bare);
  const std::string otherSignature = dir.File("other");
  fs::copy_file(kTestDesktopProgram, otherSignature);
  Write(otherSignature + ".sig", ReadFileText(std::string(kTestAttestationLibrary) + ".sig"));
  const std::string notASignature = CopySigned(kTestDesktopProgram, dir.Path(), "text");
  Write(notASignature + ".sig", "-----BEGIN PKCS7-----\n");
  const std::string directorySignature = dir.File("dirsig");
  fs::copy_file(kTestDesktopProgram, directorySignature);
  fs::create_directory(directorySignature + ".sig");
  const std::string fifo = dir.File("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

  const struct {
    std::string path;
    std::vector<std::string> signers;
    UntrustedReason reason;
  } cases[] = {
      {tampered, trusted, UntrustedReason::kSignatureMismatch},
      {otherSignature, trusted, UntrustedReason::kSignatureMismatch},
      {foreign, trusted, UntrustedReason::kSignerNotTrusted},
      {program, {}, UntrustedReason::kNoTrustedSigners},
      {bare, trusted, UntrustedReason::kSignatureMissing},
      {dir.File("absent"), trusted, UntrustedReason::kFileUnreadable},
      {fifo, trusted, UntrustedReason::kFileUnreadable},
      {dir.Path(), trusted, UntrustedReason::kFileUnreadable},
      {notASignature, trusted, UntrustedReason::kSignatureMalformed},
      {directorySignature, trusted, UntrustedReason::kSignatureUnreadable},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Refusal(c.path, c.signers), c.reason) << c.path;
  }
}

TEST_F(SignedFileVerifierTest, RefusesTheSignatureCutAtEveryLength) {
  const std::string signature = ReadFileText(program + ".sig");
  for (size_t length = 0; length < signature.size(); ++length) {
    Write(program + ".sig", signature.substr(0, length));
    const std::optional<UntrustedReason> reason = Refusal(program, trusted);
    ASSERT_TRUE(reason == UntrustedReason::kSignatureMalformed ||
                reason == UntrustedReason::kSignatureMismatch)
        << "length " << length;
  }
  Write(program + ".sig", signature + std::string(1, '\0'));
  EXPECT_EQ(Refusal(program, trusted), UntrustedReason::kSignatureMalformed);
}

TEST_F(SignedFileVerifierTest, RefusesFilesOverItsLimits) {
  const size_t size = fs::file_size(program);
  const size_t signatureSize = fs::file_size(program + ".sig");
  const struct {
    SignedFileVerifierOptions limits;
    std::optional<UntrustedReason> reason;
  } cases[] = {
      {{size, signatureSize}, std::nullopt},
      {{size - 1, signatureSize}, UntrustedReason::kFileTooLarge},
      {{size, signatureSize - 1}, UntrustedReason::kSignatureUnreadable},
  };
  for (const auto& c : cases) {
    const std::unique_ptr<SignedFileVerifier> limited = CreateSignedFileVerifier(c.limits);
    EXPECT_EQ(Refusal(program, trusted, limited.get()), c.reason)
        << c.limits.maxFileSize << " " << c.limits.maxSignatureSize;
  }
}

TEST(CertificateThumbprintTest, RefusesBytesWithoutACertificate) {
  EXPECT_THROW(CertificateThumbprint(std::vector<uint8_t>(64, 'x')), std::invalid_argument);
  EXPECT_THROW(CertificateThumbprint({}), std::invalid_argument);
}

TEST(TrustedSignersTest, SetsAsideEntriesThatAreNotThumbprints) {
  const std::string digits(64, 'a');
  std::string colons;  // as "openssl x509 -fingerprint -sha256" prints it
  std::string normalized;
  for (int i = 0; i < 32; ++i) {
    colons += i ? ":0f" : "0f";
    normalized += "0F";
  }
  keystone::testing::MemoryRegistry registry;
  EXPECT_TRUE(ReadTrustedSigners(registry).thumbprints.empty());
  WriteRegistryValue(registry, keystone::kEngineKey, keystone::kTrustedSignersValue,
                     RegValue::MultiString({digits, colons, digits.substr(1), digits + "0",
                                            digits.substr(1) + "g"}));
  const TrustedSigners signers = ReadTrustedSigners(registry);
  EXPECT_EQ(signers.thumbprints, (std::vector<std::string>{std::string(64, 'A'), normalized}));
  EXPECT_EQ(signers.rejected.size(), 3u);
  WriteRegistryValue(registry, keystone::kEngineKey, keystone::kTrustedSignersValue,
                     RegValue::String(digits));
  EXPECT_EQ(ReadTrustedSigners(registry).thumbprints.size(), 1u);
}

}  // namespace
}  // namespace platform
