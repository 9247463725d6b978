#include "platform/signed_file_verifier.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <optional>
#include <system_error>
#include <vector>

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "platform/posix/error.h"
#include "platform/posix/unique_fd.h"
#include "platform/posix/verified_content.h"

#ifndef MFD_EXEC
#define MFD_EXEC 0x0010U  // Linux 6.3: say that the memfd may be executed
#endif

namespace platform {
namespace {

constexpr const char* kSignatureSuffix = ".sig";
constexpr size_t kChunk = 64 * 1024;

template <typename T, void (*Free)(T*)>
struct OpenSslDeleter {
  void operator()(T* object) const { Free(object); }
};
using CmsPtr = std::unique_ptr<CMS_ContentInfo, OpenSslDeleter<CMS_ContentInfo, CMS_ContentInfo_free>>;
using BioPtr = std::unique_ptr<BIO, OpenSslDeleter<BIO, BIO_free_all>>;
using X509Ptr = std::unique_ptr<X509, OpenSslDeleter<X509, X509_free>>;

void FreeX509Stack(STACK_OF(X509) * stack) { sk_X509_free(stack); }
using X509StackPtr = std::unique_ptr<STACK_OF(X509), OpenSslDeleter<STACK_OF(X509), FreeX509Stack>>;

// OpenSSL's most recent reason on this thread, and an empty queue afterwards.
std::string OpenSslReason() {
  unsigned long code = 0;
  unsigned long last = 0;
  while ((code = ERR_get_error()) != 0) last = code;
  if (last == 0) return "no reason given";
  std::array<char, 256> text{};
  ERR_error_string_n(last, text.data(), text.size());
  return text.data();
}

std::string Hex(const unsigned char* bytes, size_t size) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (size_t i = 0; i < size; ++i) {
    text.push_back(kDigits[bytes[i] >> 4]);
    text.push_back(kDigits[bytes[i] & 0xF]);
  }
  return text;
}

std::string Thumbprint(const X509* certificate) {
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int size = 0;
  if (X509_digest(certificate, EVP_sha256(), digest.data(), &size) != 1) {
    throw std::runtime_error("SHA-256 of the signer certificate failed: " + OpenSslReason());
  }
  return Hex(digest.data(), size);
}

// Opens a file for one read; a FIFO or device must not block the open or be read at all.
// Returns -1 with errno set when it cannot be opened, or errno ENODEV when it is no regular file.
int OpenRegularFile(const std::string& path) {
  posix::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (fd.get() < 0) return -1;
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0) return -1;
  if (!S_ISREG(status.st_mode)) {
    errno = ENODEV;
    return -1;
  }
  return fd.Release();
}

// The whole content of an open file, or nullopt when it holds more than maxBytes.
std::optional<std::vector<uint8_t>> ReadAll(int fd, size_t maxBytes) {
  std::vector<uint8_t> bytes;
  std::vector<uint8_t> chunk(kChunk);
  for (;;) {
    const ssize_t got = ::read(fd, chunk.data(), chunk.size());
    if (got < 0 && errno == EINTR) continue;
    posix::ThrowIfFailed(got, "read");
    if (got == 0) return bytes;
    if (bytes.size() + static_cast<size_t>(got) > maxBytes) return std::nullopt;
    bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + got);
  }
}

void WriteAll(int fd, const uint8_t* bytes, size_t size) {
  while (size > 0) {
    const ssize_t put = ::write(fd, bytes, size);
    if (put < 0 && errno == EINTR) continue;
    posix::ThrowIfFailed(put, "write", "memfd");
    bytes += put;
    size -= static_cast<size_t>(put);
  }
}

class CmsSignedFileVerifier final : public SignedFileVerifier {
 public:
  explicit CmsSignedFileVerifier(SignedFileVerifierOptions verifierOptions)
      : options(verifierOptions) {}

  VerifiedFile Verify(const std::string& path,
                      std::span<const std::string> trustedThumbprints) override {
    std::unique_ptr<VerifiedContent> content = ReadFile(path);
    const std::vector<uint8_t> signature = ReadSignature(path + kSignatureSuffix);
    std::string signer = CheckSignature(content->Bytes(), signature, path);
    if (trustedThumbprints.empty()) {
      throw UntrustedFileError(UntrustedReason::kNoTrustedSigners,
                               path + ": no signer is trusted (the TrustedSigners list is empty)",
                               signer);
    }
    if (std::find(trustedThumbprints.begin(), trustedThumbprints.end(), signer) ==
        trustedThumbprints.end()) {
      throw UntrustedFileError(UntrustedReason::kSignerNotTrusted,
                               path + ": the signer " + signer + " is not a trusted signer",
                               signer);
    }
    return VerifiedFile(path, std::move(signer), std::move(content));
  }

 private:
  std::unique_ptr<VerifiedContent> ReadFile(const std::string& path) const {
    posix::UniqueFd fd(OpenRegularFile(path));
    if (fd.get() < 0) {
      throw UntrustedFileError(UntrustedReason::kFileUnreadable,
                               path + ": cannot open the file (" + std::strerror(errno) + ")");
    }
    return VerifiedContent::CopySealed(fd.get(), path, options.maxFileSize);
  }

  std::vector<uint8_t> ReadSignature(const std::string& path) const {
    posix::UniqueFd fd(OpenRegularFile(path));
    if (fd.get() < 0) {
      const int error = errno;
      throw UntrustedFileError(error == ENOENT ? UntrustedReason::kSignatureMissing
                                               : UntrustedReason::kSignatureUnreadable,
                               path + ": cannot open the signature (" + std::strerror(error) +
                                   ")");
    }
    std::optional<std::vector<uint8_t>> bytes;
    try {
      bytes = ReadAll(fd.get(), options.maxSignatureSize);
    } catch (const std::system_error& e) {
      throw UntrustedFileError(UntrustedReason::kSignatureUnreadable,
                               path + ": cannot read the signature (" + e.what() + ")");
    }
    if (!bytes) {
      throw UntrustedFileError(UntrustedReason::kSignatureUnreadable,
                               path + ": larger than " + std::to_string(options.maxSignatureSize) +
                                   " bytes");
    }
    return std::move(*bytes);
  }

  // Verifies the detached signature over bytes; returns the signer's thumbprint.
  static std::string CheckSignature(std::span<const uint8_t> bytes,
                                    const std::vector<uint8_t>& signature,
                                    const std::string& path) {
    ERR_clear_error();
    const auto malformed = [&](const std::string& why) {
      ERR_clear_error();
      return UntrustedFileError(UntrustedReason::kSignatureMalformed,
                                path + kSignatureSuffix + ": " + why);
    };
    const unsigned char* cursor = signature.data();
    CmsPtr cms(d2i_CMS_ContentInfo(nullptr, &cursor, static_cast<long>(signature.size())));
    if (!cms) throw malformed("not a DER CMS structure (" + OpenSslReason() + ")");
    if (cursor != signature.data() + signature.size()) {
      throw malformed("bytes follow the CMS structure");
    }
    if (OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed) {
      throw malformed("not a SignedData structure");
    }
    if (CMS_is_detached(cms.get()) != 1) {
      throw malformed("it carries content of its own; a detached signature is needed");
    }
    STACK_OF(CMS_SignerInfo)* signerInfos = CMS_get0_SignerInfos(cms.get());
    const int signerCount = signerInfos ? sk_CMS_SignerInfo_num(signerInfos) : 0;
    if (signerCount != 1) {
      throw malformed(std::to_string(signerCount) + " signers; exactly one is needed");
    }
    X509_ALGOR* digestAlgorithm = nullptr;
    CMS_SignerInfo_get0_algs(sk_CMS_SignerInfo_value(signerInfos, 0), nullptr, nullptr,
                             &digestAlgorithm, nullptr);
    const ASN1_OBJECT* digestObject = nullptr;
    if (digestAlgorithm) X509_ALGOR_get0(&digestObject, nullptr, nullptr, digestAlgorithm);
    const int digest = digestObject ? OBJ_obj2nid(digestObject) : NID_undef;
    if (digest != NID_sha256 && digest != NID_sha384 && digest != NID_sha512) {
      throw malformed(std::string("digest ") + (digest == NID_undef ? "?" : OBJ_nid2sn(digest)) +
                      " is not accepted (SHA-256, SHA-384 or SHA-512)");
    }

    // BIO_new_mem_buf wants a non-null pointer, also for an empty file. The buffer in front keeps
    // CMS_verify from copying a memory BIO, a copy OpenSSL 3.0 leaks when it cannot set up the
    // signature's digests.
    static const uint8_t kNothing = 0;
    BIO* memory = BIO_new_mem_buf(bytes.empty() ? &kNothing : bytes.data(),
                                  static_cast<int>(bytes.size()));
    BIO* buffer = BIO_new(BIO_f_buffer());
    if (!memory || !buffer) {
      BIO_free(memory);
      BIO_free(buffer);
      throw std::bad_alloc();
    }
    BioPtr data(BIO_push(buffer, memory));
    // No chain and no store: the signer is trusted by its thumbprint alone.
    if (CMS_verify(cms.get(), nullptr, nullptr, data.get(), nullptr,
                   CMS_BINARY | CMS_NO_SIGNER_CERT_VERIFY) != 1) {
      const unsigned long error = ERR_peek_last_error();
      if (ERR_GET_LIB(error) == ERR_LIB_CMS &&
          ERR_GET_REASON(error) == CMS_R_SIGNER_CERTIFICATE_NOT_FOUND) {
        throw malformed("the signer certificate is not in the signature");
      }
      const std::string reason = OpenSslReason();
      throw UntrustedFileError(UntrustedReason::kSignatureMismatch,
                               path + ": the signature does not verify over the file (" + reason +
                                   ")");
    }
    X509StackPtr signers(CMS_get0_signers(cms.get()));
    if (!signers || sk_X509_num(signers.get()) != 1) {
      throw malformed("the signer certificate is not in the signature");
    }
    std::string thumbprint = Thumbprint(sk_X509_value(signers.get(), 0));
    ERR_clear_error();
    return thumbprint;
  }

  const SignedFileVerifierOptions options;
};

}  // namespace

const char* UntrustedReasonName(UntrustedReason reason) {
  switch (reason) {
    case UntrustedReason::kFileUnreadable: return "file-unreadable";
    case UntrustedReason::kFileTooLarge: return "file-too-large";
    case UntrustedReason::kSignatureMissing: return "signature-missing";
    case UntrustedReason::kSignatureUnreadable: return "signature-unreadable";
    case UntrustedReason::kSignatureMalformed: return "signature-malformed";
    case UntrustedReason::kSignatureMismatch: return "signature-mismatch";
    case UntrustedReason::kNoTrustedSigners: return "no-trusted-signers";
    case UntrustedReason::kSignerNotTrusted: return "signer-not-trusted";
  }
  return "unknown";
}

std::unique_ptr<VerifiedContent> VerifiedContent::CopySealed(int sourceFd, const std::string& path,
                                                             size_t maxBytes) {
  const std::string memfdName = "keystone-verified:" + path.substr(path.rfind('/') + 1);
  int memfd = ::memfd_create(memfdName.c_str(), MFD_CLOEXEC | MFD_ALLOW_SEALING | MFD_EXEC);
  // Before Linux 6.3 the executable flag is unknown and every memfd may be executed anyway.
  if (memfd < 0 && errno == EINVAL) {
    memfd = ::memfd_create(memfdName.c_str(), MFD_CLOEXEC | MFD_ALLOW_SEALING);
  }
  posix::UniqueFd owned(posix::ThrowIfFailed(memfd, "memfd_create", path));

  size_t size = 0;
  std::vector<uint8_t> chunk(kChunk);
  for (;;) {
    const ssize_t got = ::read(sourceFd, chunk.data(), chunk.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      throw UntrustedFileError(UntrustedReason::kFileUnreadable,
                               path + ": cannot read the file (" + std::strerror(errno) + ")");
    }
    if (got == 0) break;
    size += static_cast<size_t>(got);
    if (size > maxBytes) {
      throw UntrustedFileError(UntrustedReason::kFileTooLarge,
                               path + ": larger than " + std::to_string(maxBytes) + " bytes");
    }
    WriteAll(owned.get(), chunk.data(), static_cast<size_t>(got));
  }
  posix::ThrowIfFailed(
      ::fcntl(owned.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL),
      "fcntl(F_ADD_SEALS)", path);
  auto content = std::make_unique<VerifiedContent>(owned.Release(), nullptr, 0);
  if (size > 0) {
    void* map = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, content->Descriptor(), 0);
    if (map == MAP_FAILED) posix::ThrowErrno("mmap", path);
    content->mapping = map;
    content->size = size;
  }
  return content;
}

VerifiedContent::~VerifiedContent() {
  if (mapping != nullptr) ::munmap(const_cast<void*>(mapping), size);
}

VerifiedFile::VerifiedFile(std::string filePath, std::string signerThumbprint,
                           std::unique_ptr<VerifiedContent> verifiedContent)
    : path(std::move(filePath)),
      signer(std::move(signerThumbprint)),
      content(std::move(verifiedContent)) {}
VerifiedFile::~VerifiedFile() = default;
VerifiedFile::VerifiedFile(VerifiedFile&&) noexcept = default;
VerifiedFile& VerifiedFile::operator=(VerifiedFile&&) noexcept = default;

std::span<const uint8_t> VerifiedFile::Bytes() const { return content->Bytes(); }

std::unique_ptr<SignedFileVerifier> CreateSignedFileVerifier(SignedFileVerifierOptions options) {
  return std::make_unique<CmsSignedFileVerifier>(options);
}

std::string CertificateThumbprint(std::span<const uint8_t> certificate) {
  if (certificate.empty()) throw std::invalid_argument("no certificate in PEM or DER");
  ERR_clear_error();
  BioPtr pem(BIO_new_mem_buf(certificate.data(), static_cast<int>(certificate.size())));
  if (!pem) throw std::bad_alloc();
  X509Ptr parsed(PEM_read_bio_X509(pem.get(), nullptr, nullptr, nullptr));
  if (!parsed) {
    const unsigned char* cursor = certificate.data();
    parsed.reset(d2i_X509(nullptr, &cursor, static_cast<long>(certificate.size())));
  }
  if (!parsed) {
    ERR_clear_error();
    throw std::invalid_argument("no certificate in PEM or DER");
  }
  std::string thumbprint = Thumbprint(parsed.get());
  ERR_clear_error();
  return thumbprint;
}

}  // namespace platform
