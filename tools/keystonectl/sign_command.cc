// keystonectl sign: whether the engine would trust a signed file, and the thumbprint of a
// signer's certificate as the engine's TrustedSigners list takes it.

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "common/config_keys.h"
#include "platform/registry.h"
#include "platform/signed_file_verifier.h"
#include "platform/trusted_signers.h"
#include "tools/keystonectl/command.h"

namespace keystonectl {
namespace {

constexpr int kNotTrusted = 1;

int Verify(const std::string& file) {
  platform::TrustedSigners signers;
  try {
    signers = platform::ReadTrustedSigners(*platform::OpenSystemRegistry());
  } catch (const std::exception& e) {
    return Fail(kExitFailure,
                std::string("cannot read ") + keystone::kTrustedSignersValue + ": " + e.what());
  }
  for (const std::string& entry : signers.rejected) {
    std::fprintf(stderr, "keystonectl: ignoring %s entry '%s': not a SHA-256 thumbprint\n",
                 keystone::kTrustedSignersValue, entry.c_str());
  }
  std::printf("file: %s\ntrusted signers: %zu\n", file.c_str(), signers.thumbprints.size());
  try {
    const platform::VerifiedFile verified =
        platform::CreateSignedFileVerifier()->Verify(file, signers.thumbprints);
    std::printf("verdict: trusted\nsigner: %s\n", verified.SignerThumbprint().c_str());
    return kExitOk;
  } catch (const platform::UntrustedFileError& e) {
    std::printf("verdict: not trusted (%s)\nreason: %s\n", platform::UntrustedReasonName(e.Reason()),
                e.what());
    if (!e.SignerThumbprint().empty()) std::printf("signer: %s\n", e.SignerThumbprint().c_str());
    return kNotTrusted;
  }
}

int Thumbprint(const std::string& certificate) {
  std::FILE* in = std::fopen(certificate.c_str(), "rb");
  if (!in) return Fail(kExitFailure, "cannot open " + certificate);
  std::vector<uint8_t> bytes;
  constexpr size_t kMaxCertificate = 1 << 20;
  for (int c; bytes.size() <= kMaxCertificate && (c = std::fgetc(in)) != EOF;) {
    bytes.push_back(static_cast<uint8_t>(c));
  }
  std::fclose(in);
  if (bytes.size() > kMaxCertificate) return Fail(kExitFailure, certificate + " is too large");
  try {
    std::printf("%s\n", platform::CertificateThumbprint(bytes).c_str());
    return kExitOk;
  } catch (const std::invalid_argument& e) {
    return Fail(kExitFailure, certificate + ": " + e.what());
  }
}

int RunSign(const std::vector<std::string>& args) {
  if (args.size() == 2 && args[0] == "verify") return Verify(args[1]);
  if (args.size() == 2 && args[0] == "thumbprint") return Thumbprint(args[1]);
  return Fail(kExitUsage, "usage: keystonectl sign verify FILE | sign thumbprint CERTIFICATE");
}

const RegisterCommand kSignCommand({
    "sign",
    "check a signed program or plug-in as the engine does; a signer's thumbprint",
    "usage: keystonectl sign verify FILE\n"
    "       keystonectl sign thumbprint CERTIFICATE\n"
    "\n"
    "verify checks FILE against its detached signature FILE.sig and the trusted signers in the\n"
    "registry (REG_MULTI_SZ TrustedSigners under HKLM\\SOFTWARE\\Ostra\\Ostra Keystone\\Engine,\n"
    "in $KEYSTONE_STATE_DIR/registry.db) exactly as the engine does before it starts a program or\n"
    "loads a plug-in, and prints the verdict, why, and the signer when the signature verified.\n"
    "Exit status 0 when trusted, 1 when not.\n"
    "\n"
    "thumbprint prints the SHA-256 thumbprint of a certificate (PEM or DER) as TrustedSigners\n"
    "takes it. docs/signed-files.md shows how to sign a file.",
    RunSign,
});

}  // namespace
}  // namespace keystonectl
