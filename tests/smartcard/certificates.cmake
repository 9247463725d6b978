# Certificate handling: readers, card keys, chains, bundles, the revocation-list cache.
pkg_check_modules(SC_TESTS_P11KIT REQUIRED p11-kit-1)
keystone_test_suite(smartcard_certificates_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/certificate_store_cert_test.cc
    ${CMAKE_CURRENT_LIST_DIR}/crl_cache_test.cc
    ${CMAKE_CURRENT_LIST_DIR}/crl_http_fetch_test.cc
    ${CMAKE_CURRENT_LIST_DIR}/smartcard_cert_handler_test.cc
    ${CMAKE_CURRENT_LIST_DIR}/smartcard_cert_list_command_test.cc
  DEPS keystone_smartcard OpenSSL::Crypto)
keystone_test_binaries(smartcard_certificates_tests)
target_include_directories(smartcard_certificates_tests PRIVATE ${SC_TESTS_P11KIT_INCLUDE_DIRS})

# The whole stack with a virtual card: pcscd's socket path is fixed, so one test at a time.
pkg_check_modules(LIBCACARD IMPORTED_TARGET libcacard)
if(LIBCACARD_FOUND)
  add_executable(keystone-test-vcard-bridge ${CMAKE_CURRENT_LIST_DIR}/vcard_bridge.cc)
  target_link_libraries(keystone-test-vcard-bridge PRIVATE PkgConfig::LIBCACARD keystone_warnings)
  add_executable(smartcard_vcard_tests ${CMAKE_CURRENT_LIST_DIR}/smartcard_cert_vcard_test.cc)
  target_link_libraries(smartcard_vcard_tests PRIVATE keystone_smartcard keystone_test_fakes
    OpenSSL::Crypto GTest::gmock_main keystone_warnings)
  target_compile_definitions(smartcard_vcard_tests PRIVATE
    KEYSTONE_TEST_VCARD_BRIDGE="$<TARGET_FILE:keystone-test-vcard-bridge>")
  add_dependencies(smartcard_vcard_tests keystone-test-vcard-bridge)
  gtest_discover_tests(smartcard_vcard_tests DISCOVERY_TIMEOUT 120
    PROPERTIES TIMEOUT 120 RUN_SERIAL TRUE RESOURCE_LOCK pcscd)
endif()
