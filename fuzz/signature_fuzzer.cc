// The first byte picks what the rest is: 0 a SID text as a client sends it; anything else the
// content of "<file>.sig" beside a fixed file, checked as the engine checks a program before it
// starts it. The verifier may only refuse with UntrustedFileError; anything else escapes and is a
// finding.

#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/signature_fuzz_content.h"
#include "platform/sid.h"
#include "platform/signed_file_verifier.h"

namespace {

// A directory of the process's own with the signed file in it.
const std::string& SignedFile() {
  static const std::string path = [] {
    char pattern[] = "/tmp/keystone-signature-fuzz-XXXXXX";
    const char* dir = ::mkdtemp(pattern);
    if (!dir) ::abort();
    const std::string file = std::string(dir) + "/program";
    std::ofstream(file, std::ios::binary) << keystone::fuzz::kSignedContent;
    return file;
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] == 0) {
    if (const std::optional<platform::Sid> sid = platform::ParseSid(rest)) {
      if (sid->subAuthorities.size() > platform::Sid::kMaxSubAuthorities ||
          sid->authority > platform::Sid::kMaxAuthority) {
        ::abort();
      }
    }
    return 0;
  }
  static const std::unique_ptr<platform::SignedFileVerifier> verifier =
      platform::CreateSignedFileVerifier();
  std::ofstream(SignedFile() + ".sig", std::ios::binary | std::ios::trunc) << rest;
  const std::vector<std::string> trusted{std::string(64, 'A')};
  try {
    verifier->Verify(SignedFile(), trusted);
    ::abort();  // nothing signs with a certificate of that thumbprint
  } catch (const platform::UntrustedFileError&) {
  }
  return 0;
}
