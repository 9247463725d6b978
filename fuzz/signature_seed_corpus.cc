// Writes the seed corpus of the signature fuzz target into the directory named by argv[1]: SID
// texts (well formed and near misses), and detached signatures of the fuzz target's file made with
// a fresh key: as the administrator's openssl command makes them, with content attached, without
// the signer's certificate, and over other bytes. Each seed is checked against the verifier's
// verdict first, so a seed that no longer means what it says stops the generator.

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include "fuzz/signature_fuzz_content.h"
#include "platform/sid.h"
#include "platform/signed_file_verifier.h"

namespace {

namespace fs = std::filesystem;

template <typename T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* object) const { Free(object); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using CertPtr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using CmsPtr = std::unique_ptr<CMS_ContentInfo, Deleter<CMS_ContentInfo, CMS_ContentInfo_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;

[[noreturn]] void Die(const std::string& why) {
  std::fprintf(stderr, "signature_seed_corpus: %s\n", why.c_str());
  std::exit(1);
}

CertPtr SelfSigned(EVP_PKEY* key) {
  CertPtr cert(X509_new());
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400);
  X509_set_pubkey(cert.get(), key);
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("fuzz signer"), -1, -1, 0);
  X509_set_issuer_name(cert.get(), name);
  if (X509_sign(cert.get(), key, EVP_sha256()) == 0) Die("cannot sign the certificate");
  return cert;
}

std::string Sign(X509* cert, EVP_PKEY* key, std::string_view content, unsigned flags) {
  BioPtr in(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
  CmsPtr cms(CMS_sign(cert, key, nullptr, in.get(), flags | CMS_BINARY));
  if (!cms) Die("CMS_sign failed");
  unsigned char* der = nullptr;
  const int size = i2d_CMS_ContentInfo(cms.get(), &der);
  if (size <= 0) Die("cannot encode the signature");
  std::string bytes(reinterpret_cast<char*>(der), static_cast<size_t>(size));
  OPENSSL_free(der);
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) Die("usage: signature_seed_corpus DIRECTORY");
  const fs::path dir = argv[1];
  fs::create_directories(dir);
  int count = 0;
  const auto write = [&](char form, const std::string& body) {
    std::ofstream(dir / ("seed-" + std::to_string(count++)), std::ios::binary | std::ios::trunc)
        << form << body;
  };

  for (const char* sid : {"S-1-5-18", "S-1-5-21-1-2-3-1000", "s-1-0x0000000000FF-7", "S-1-5"}) {
    if (!platform::ParseSid(sid)) Die(std::string("not a SID: ") + sid);
    write(0, sid);
  }
  for (const char* bad : {"S-1-5-", "S-2-5-18", "S-1-5-4294967296", "S-1-0x1000000000000"}) {
    if (platform::ParseSid(bad)) Die(std::string("a SID: ") + bad);
    write(0, bad);
  }

  KeyPtr key(EVP_EC_gen("P-256"));
  if (!key) Die("cannot make a key");
  const CertPtr cert = SelfSigned(key.get());
  const std::string content(keystone::fuzz::kSignedContent);
  const struct {
    std::string signature;
    platform::UntrustedReason reason;
  } seeds[] = {
      {Sign(cert.get(), key.get(), content, CMS_DETACHED), platform::UntrustedReason::kSignerNotTrusted},
      {Sign(cert.get(), key.get(), content, 0), platform::UntrustedReason::kSignatureMalformed},
      {Sign(cert.get(), key.get(), content, CMS_DETACHED | CMS_NOCERTS),
       platform::UntrustedReason::kSignatureMalformed},
      {Sign(cert.get(), key.get(), content + "!", CMS_DETACHED),
       platform::UntrustedReason::kSignatureMismatch},
  };
  const fs::path scratch = fs::temp_directory_path() / ("signature-seeds-" + std::to_string(::getpid()));
  fs::create_directories(scratch);
  std::ofstream(scratch / "program", std::ios::binary) << content;
  const auto verifier = platform::CreateSignedFileVerifier();
  const std::vector<std::string> trusted{std::string(64, 'A')};
  for (const auto& seed : seeds) {
    std::ofstream(scratch / "program.sig", std::ios::binary | std::ios::trunc) << seed.signature;
    try {
      verifier->Verify((scratch / "program").string(), trusted);
      Die("a seed was trusted");
    } catch (const platform::UntrustedFileError& e) {
      if (e.Reason() != seed.reason) Die(std::string("unexpected verdict: ") + e.what());
    }
    write(1, seed.signature);
  }
  fs::remove_all(scratch);
  return 0;
}
