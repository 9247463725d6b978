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

}  // namespace keystone::testing
