# Signing in the build. Two key pairs are made in the build tree (never in the sources) for tests
# only: the test signer, with which the build signs its own programs the engine runs or loads
# (the engine trusts it only when an administrator puts its thumbprint in TrustedSigners), and
# a foreign signer, whose signatures the tests expect to be refused. Signing is the
# administrator's command of docs/signed-files.md.
find_program(KEYSTONE_OPENSSL_PROGRAM openssl REQUIRED)

set(KEYSTONE_SIGNING_DIR ${CMAKE_BINARY_DIR}/test-signing)
set(KEYSTONE_TEST_SIGNER_KEY ${KEYSTONE_SIGNING_DIR}/test-signer.key)
set(KEYSTONE_TEST_SIGNER_CERT ${KEYSTONE_SIGNING_DIR}/test-signer.crt)
set(KEYSTONE_FOREIGN_SIGNER_KEY ${KEYSTONE_SIGNING_DIR}/foreign-signer.key)
set(KEYSTONE_FOREIGN_SIGNER_CERT ${KEYSTONE_SIGNING_DIR}/foreign-signer.crt)

foreach(signer test foreign)
  string(TOUPPER ${signer} upper)
  add_custom_command(
    OUTPUT ${KEYSTONE_${upper}_SIGNER_KEY} ${KEYSTONE_${upper}_SIGNER_CERT}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${KEYSTONE_SIGNING_DIR}
    COMMAND ${KEYSTONE_OPENSSL_PROGRAM} req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1
            -nodes -keyout ${KEYSTONE_${upper}_SIGNER_KEY} -out ${KEYSTONE_${upper}_SIGNER_CERT}
            -days 3650 -subj "/CN=Keystone ${signer} signer - for tests only"
            -addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=codeSigning"
    COMMENT "Making the ${signer} signer's key pair (for tests only)"
    VERBATIM)
endforeach()
add_custom_target(keystone_signing_keys
  DEPENDS ${KEYSTONE_TEST_SIGNER_CERT} ${KEYSTONE_FOREIGN_SIGNER_CERT})

# keystone_sign(<target> [FOREIGN]): after each link, writes <file>.sig signed by the test
# signer; with FOREIGN also <file>.foreign-sig signed by the foreign signer.
function(keystone_sign target)
  cmake_parse_arguments(ARG "FOREIGN" "" "" ${ARGN})
  add_dependencies(${target} keystone_signing_keys)
  set(file $<TARGET_FILE:${target}>)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${KEYSTONE_OPENSSL_PROGRAM} cms -sign -binary -md sha256 -in ${file}
            -signer ${KEYSTONE_TEST_SIGNER_CERT} -inkey ${KEYSTONE_TEST_SIGNER_KEY}
            -outform DER -out ${file}.sig
    VERBATIM)
  if(ARG_FOREIGN)
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${KEYSTONE_OPENSSL_PROGRAM} cms -sign -binary -md sha256 -in ${file}
              -signer ${KEYSTONE_FOREIGN_SIGNER_CERT} -inkey ${KEYSTONE_FOREIGN_SIGNER_KEY}
              -outform DER -out ${file}.foreign-sig
      VERBATIM)
  endif()
endfunction()
