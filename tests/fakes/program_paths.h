#pragma once

// The built programs' paths as keystone_test_binaries gives them to a test suite. Only test
// sources of suites that call it include this (the fakes library is not given the definitions);
// namespace-scope constexpr keeps each copy local to its file.

namespace keystone::testing {

constexpr const char* kEngineBinary = KEYSTONE_ENGINE_BINARY;
constexpr const char* kKeystonectlBinary = KEYSTONECTL_BINARY;
constexpr const char* kKilnSimLibrary = KILN_SIM_LIBRARY;
// Signed by the test signer (<file>.sig) and by the foreign signer (<file>.foreign-sig).
constexpr const char* kTestDesktopProgram = KEYSTONE_TEST_DESKTOP_PROGRAM;
constexpr const char* kTestAttestationLibrary = KEYSTONE_TEST_ATTESTATION_LIBRARY;
// The certificate of the build's test signer.
constexpr const char* kTestSignerCert = KEYSTONE_TEST_SIGNER_CERT;

}  // namespace keystone::testing
