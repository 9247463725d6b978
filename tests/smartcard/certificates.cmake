# Certificate handling: readers, card keys, chains, bundles, the revocation-list cache.
pkg_check_modules(SC_TESTS_P11KIT REQUIRED p11-kit-1)
keystone_test_suite(smartcard_certificates_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/cert_fixtures_test.cc
    ${CMAKE_CURRENT_LIST_DIR}/certificate_store_cert_test.cc
    ${CMAKE_CURRENT_LIST_DIR}/crl_cache_test.cc
    ${CMAKE_CURRENT_LIST_DIR}/crl_http_fetch_test.cc
    ${CMAKE_CURRENT_LIST_DIR}/smartcard_cert_handler_test.cc
    ${CMAKE_CURRENT_LIST_DIR}/smartcard_cert_list_command_test.cc
  DEPS keystone_smartcard OpenSSL::Crypto)
keystone_test_binaries(smartcard_certificates_tests)
target_include_directories(smartcard_certificates_tests PRIVATE ${SC_TESTS_P11KIT_INCLUDE_DIRS})
