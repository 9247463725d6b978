#pragma once

// The files the build signed for tests (tests/fakes/program_paths.h names them), in a test's
// hands.

#include <string>

namespace keystone::testing {

// The SHA-256 thumbprint of the certificate in the file, as TrustedSigners holds it.
std::string ThumbprintOf(const std::string& certificatePath);

// Copies file to dir/name and file + signatureSuffix to dir/name.sig; returns dir/name.
std::string CopySigned(const std::string& file, const std::string& dir, const std::string& name,
                       const std::string& signatureSuffix = ".sig");

}  // namespace keystone::testing
