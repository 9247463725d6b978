# The smart-card factor end to end: a real keystone-engine with a SoftHSM2 token as its card,
# driven through keystonectl and the client library.
keystone_test_suite(smartcard_e2e_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/smart_card_e2e_test.cc
  DEPS keystone_client keystone_rpc keystone_platform OpenSSL::Crypto)
keystone_test_binaries(smartcard_e2e_tests)
