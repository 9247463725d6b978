#pragma once

// Trust in a file by its detached signature. Beside the file lies "<file>.sig": a CMS SignedData
// structure in DER over the file's exact bytes, without the content itself (what
// "openssl cms -sign -binary -outform DER" writes; docs/signed-files.md). The file is trusted
// when that signature verifies and the signer certificate's SHA-256 thumbprint is one of the
// trusted signers. No chain is built and no validity period is checked: trust is the thumbprint.
//
// The file is read exactly once. What a caller runs or loads afterwards is the verified copy
// (VerifiedFile), never the path again, so the file can be replaced at any moment without effect.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>

namespace platform {

// Why a file is not trusted; each one is told differently to an administrator.
enum class UntrustedReason {
  kFileUnreadable,       // missing, not a regular file, or a read failed
  kFileTooLarge,         // over SignedFileVerifierOptions::maxFileSize
  kSignatureMissing,     // there is no "<file>.sig"
  kSignatureUnreadable,  // the signature is not a regular file, too large, or a read failed
  kSignatureMalformed,   // not a detached DER SignedData with one signer, its certificate and an
                         // accepted digest (SHA-256, SHA-384 or SHA-512)
  kSignatureMismatch,    // does not verify over the file's bytes: the file or the signature changed
  kNoTrustedSigners,     // the signature verifies, but no signer is trusted at all
  kSignerNotTrusted,     // the signature verifies, but its signer is not in the list
};

// A short name of the reason ("signature-missing", ...), for tools and tests.
const char* UntrustedReasonName(UntrustedReason reason);

class UntrustedFileError : public std::runtime_error {
 public:
  UntrustedFileError(UntrustedReason reason, const std::string& what,
                     std::string signerThumbprint = {})
      : std::runtime_error(what), why(reason), signer(std::move(signerThumbprint)) {}
  UntrustedReason Reason() const { return why; }
  // The signer's thumbprint when the signature verified (the last two reasons); empty otherwise.
  const std::string& SignerThumbprint() const { return signer; }

 private:
  UntrustedReason why;
  std::string signer;
};

// The platform's sealed copy of a verified file (platform/posix/verified_content.h on Linux).
class VerifiedContent;

// The bytes of a file whose signature verified, in a copy that nothing can change any more.
// Owns the copy; move-only. Thread-safe for reading.
class VerifiedFile {
 public:
  VerifiedFile(std::string path, std::string signerThumbprint,
               std::unique_ptr<VerifiedContent> content);
  ~VerifiedFile();
  VerifiedFile(VerifiedFile&&) noexcept;
  VerifiedFile& operator=(VerifiedFile&&) noexcept;
  VerifiedFile(const VerifiedFile&) = delete;
  VerifiedFile& operator=(const VerifiedFile&) = delete;

  // Where the file was read from (for messages only).
  const std::string& Path() const { return path; }
  // 64 upper-case hexadecimal digits.
  const std::string& SignerThumbprint() const { return signer; }
  std::span<const uint8_t> Bytes() const;
  // For the platform's loaders and launchers.
  const VerifiedContent& Content() const { return *content; }

 private:
  std::string path;
  std::string signer;
  std::unique_ptr<VerifiedContent> content;
};

struct SignedFileVerifierOptions {
  size_t maxFileSize = size_t{64} << 20;
  size_t maxSignatureSize = size_t{256} << 10;
};

// Thread-safe; calls share no state.
class SignedFileVerifier {
 public:
  virtual ~SignedFileVerifier() = default;

  // Reads path and path + ".sig" once each, verifies the signature over the bytes read and
  // looks the signer up in trustedThumbprints (64 upper-case hexadecimal digits each; empty
  // trusts nothing). Returns the verified copy. Throws UntrustedFileError naming the reason, and
  // std::system_error when no sealed copy can be made (out of memory or descriptors).
  virtual VerifiedFile Verify(const std::string& path,
                              std::span<const std::string> trustedThumbprints) = 0;
};

std::unique_ptr<SignedFileVerifier> CreateSignedFileVerifier(
    SignedFileVerifierOptions options = {});

// The SHA-256 thumbprint of a certificate given in PEM or DER, as 64 upper-case hexadecimal
// digits. Throws std::invalid_argument when the bytes hold no certificate.
std::string CertificateThumbprint(std::span<const uint8_t> certificate);

}  // namespace platform
