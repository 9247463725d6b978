// keystonectl smartcard list over a SoftHSM2 token.

#include <gtest/gtest.h>

#include "tests/fakes/program_runner.h"
#include "tests/fakes/softhsm_token.h"
#include "tests/fakes/test_pki.h"

namespace keystone::testing {
namespace {

class SmartcardListCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (SoftHsmToken::ModulePath().empty()) GTEST_SKIP() << "SoftHSM2 is not installed";
    token = std::make_unique<SoftHsmToken>();
    token->Import(pki.leaf(), {0x01}, "Test User");
    token->ImportCertificateOnly(pki.root(), {0xC2}, "root");
  }

  ProgramResult List(std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"smartcard", "list", "--tokens", "--module",
                                     SoftHsmToken::ModulePath()};
    args.insert(args.end(), extra.begin(), extra.end());
    ProgramOptions options;
    options.env = {{"SOFTHSM2_CONF", token->ConfPath()}};
    return RunProgram(KEYSTONECTL_BINARY, args, options);
  }

  const TestPki& pki = TestPki::Shared();
  std::unique_ptr<SoftHsmToken> token;
};

TEST_F(SmartcardListCommandTest, ShowsEachContainersCertificateDetails) {
  const ProgramResult result = List();
  ASSERT_EQ(result.exitCode, 0) << result.err;
  EXPECT_NE(result.out.find("card: " + token->Label()), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("pin: needed"), std::string::npos);
  EXPECT_NE(result.out.find("container 01 \"Test User\""), std::string::npos);
  EXPECT_NE(result.out.find("sha256: " + pki.leaf().sha256), std::string::npos);
  EXPECT_NE(result.out.find("sha1: " + pki.leaf().sha1), std::string::npos);
  EXPECT_NE(result.out.find("1.3.6.1.4.1.311.20.2.2 (smart-card logon)"), std::string::npos);
  EXPECT_NE(result.out.find("ca-certificate c2"), std::string::npos);
}

TEST_F(SmartcardListCommandTest, ReaderFilterThatMatchesNothingListsNothing) {
  const ProgramResult result = List({"--reader", "no such reader"});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(result.out, "");
}

TEST_F(SmartcardListCommandTest, MissingModuleFailsWithTheStorageError) {
  const ProgramResult result = RunProgram(
      KEYSTONECTL_BINARY, {"smartcard", "list", "--tokens", "--module", "/nonexistent.so"});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_NE(result.err.find("Open smart card storage failed!!! (status 0xA0000065)"),
            std::string::npos)
      << result.err;
}

}  // namespace
}  // namespace keystone::testing
