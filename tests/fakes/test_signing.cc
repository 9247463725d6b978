#include "tests/fakes/test_signing.h"

#include <filesystem>
#include <vector>

#include "platform/signed_file_verifier.h"
#include "tests/fakes/program_runner.h"

namespace keystone::testing {

std::string ThumbprintOf(const std::string& certificatePath) {
  const std::string text = ReadFileText(certificatePath);
  return platform::CertificateThumbprint(std::vector<uint8_t>(text.begin(), text.end()));
}

std::string CopySigned(const std::string& file, const std::string& dir, const std::string& name,
                       const std::string& signatureSuffix) {
  namespace fs = std::filesystem;
  const std::string copy = dir + "/" + name;
  fs::copy_file(file, copy, fs::copy_options::overwrite_existing);
  fs::copy_file(file + signatureSuffix, copy + ".sig", fs::copy_options::overwrite_existing);
  return copy;
}

}  // namespace keystone::testing
