# The desktop program's way to the screen: verifying a signed program, starting it as a user and
# waiting for it, against hashing the file and posix_spawn of the same file.
if(TARGET keystone-test-desktop-program AND TARGET keystone-desktop-auth)
  keystone_benchmark(desktop_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/desktop_bench.cc
    DEPS keystone_platform OpenSSL::Crypto)
  target_compile_definitions(desktop_bench PRIVATE
    KEYSTONE_TEST_DESKTOP_PROGRAM="$<TARGET_FILE:keystone-test-desktop-program>"
    KEYSTONE_DESKTOP_AUTH_BINARY="$<TARGET_FILE:keystone-desktop-auth>"
    KEYSTONE_TEST_SIGNER_CERT="${KEYSTONE_TEST_SIGNER_CERT}")
  add_dependencies(desktop_bench keystone-test-desktop-program keystone-desktop-auth)
endif()
