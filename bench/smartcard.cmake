# Chain verification with two revocation lists and a signature on a SoftHSM2 token, beside the
# bare OpenSSL and PKCS#11 calls.
pkg_check_modules(BENCH_P11KIT REQUIRED p11-kit-1)
keystone_benchmark(smartcard_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/smartcard_bench.cc
  DEPS keystone_smartcard keystone_test_fakes OpenSSL::Crypto)
target_include_directories(smartcard_bench PRIVATE ${BENCH_P11KIT_INCLUDE_DIRS})
