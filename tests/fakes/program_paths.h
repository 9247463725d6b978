#pragma once

// The built programs' paths as keystone_test_binaries gives them to a test suite; empty when the
// program is not part of the build. Only test sources include this (the fakes library is not given
// the definitions); namespace-scope constexpr keeps each copy local to its file.

namespace keystone::testing {

#ifdef KEYSTONE_ENGINE_BINARY
constexpr const char* kEngineBinary = KEYSTONE_ENGINE_BINARY;
#else
constexpr const char* kEngineBinary = "";
#endif
#ifdef KEYSTONECTL_BINARY
constexpr const char* kKeystonectlBinary = KEYSTONECTL_BINARY;
#else
constexpr const char* kKeystonectlBinary = "";
#endif
#ifdef KILN_SIM_LIBRARY
constexpr const char* kKilnSimLibrary = KILN_SIM_LIBRARY;
#else
constexpr const char* kKilnSimLibrary = "";
#endif

#ifdef KEYSTONE_DESKTOP_AUTH_BINARY
constexpr const char* kDesktopAuthBinary = KEYSTONE_DESKTOP_AUTH_BINARY;
#else
constexpr const char* kDesktopAuthBinary = "";
#endif
// Signed by the test signer (<file>.sig) and by the foreign signer (<file>.foreign-sig).
#ifdef KEYSTONE_TEST_DESKTOP_PROGRAM
constexpr const char* kTestDesktopProgram = KEYSTONE_TEST_DESKTOP_PROGRAM;
#else
constexpr const char* kTestDesktopProgram = "";
#endif
#ifdef KEYSTONE_TEST_ATTESTATION_LIBRARY
constexpr const char* kTestAttestationLibrary = KEYSTONE_TEST_ATTESTATION_LIBRARY;
#else
constexpr const char* kTestAttestationLibrary = "";
#endif
// The certificates of the build's test and foreign signers.
#ifdef KEYSTONE_TEST_SIGNER_CERT
constexpr const char* kTestSignerCert = KEYSTONE_TEST_SIGNER_CERT;
constexpr const char* kForeignSignerCert = KEYSTONE_FOREIGN_SIGNER_CERT;
#else
constexpr const char* kTestSignerCert = "";
constexpr const char* kForeignSignerCert = "";
#endif

}  // namespace keystone::testing
