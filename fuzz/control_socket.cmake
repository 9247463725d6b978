# Fuzz target of the administrators' control socket: its request-line parser, and a real server
# in a temporary runtime directory splitting a connection's bytes into lines. As for the other
# targets, the main build uses g++, so the fuzzer is compiled by clang++ directly from the
# socket's, the logger's and the platform paths' sources; CTest builds it and its seed corpus on
# demand and runs a bounded number of inputs. Without a clang++ that links libFuzzer the test
# reports itself skipped.

find_program(KEYSTONE_FUZZ_CLANGXX NAMES clang++ clang++-19 clang++-18 clang++-17 clang++-16
                                         clang++-15 clang++-14)
set(control_socket_fuzz_runs 60000 CACHE STRING "Inputs the control_socket_fuzz test runs")

set(control_socket_fuzz_usable FALSE)
if(KEYSTONE_FUZZ_CLANGXX AND NOT WIN32 AND TARGET keystone_platform)
  set(probe_dir ${CMAKE_CURRENT_BINARY_DIR}/control_socket_probe)
  file(MAKE_DIRECTORY ${probe_dir})
  file(WRITE ${probe_dir}/probe.cc
       "#include <cstddef>\n#include <cstdint>\n"
       "extern \"C\" int LLVMFuzzerTestOneInput(const uint8_t*, size_t) { return 0; }\n")
  execute_process(COMMAND ${KEYSTONE_FUZZ_CLANGXX} -fsanitize=fuzzer,address,undefined
                          ${probe_dir}/probe.cc -o ${probe_dir}/probe
                  RESULT_VARIABLE probe_result OUTPUT_QUIET ERROR_QUIET)
  if(probe_result EQUAL 0)
    set(control_socket_fuzz_usable TRUE)
  endif()
endif()

if(control_socket_fuzz_usable)
  file(GLOB control_socket_log_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/log/*.cc)
  file(GLOB control_socket_log_headers CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/log/*.h)
  set(control_socket_fuzz_sources ${PROJECT_SOURCE_DIR}/platform/posix/control_socket.cc
                                  ${PROJECT_SOURCE_DIR}/platform/posix/paths.cc
                                  ${control_socket_log_sources})
  set(control_socket_fuzz_headers ${PROJECT_SOURCE_DIR}/platform/posix/control_socket.h
                                  ${PROJECT_SOURCE_DIR}/platform/control_client.h
                                  ${PROJECT_SOURCE_DIR}/platform/service_host.h
                                  ${PROJECT_SOURCE_DIR}/platform/paths.h
                                  ${PROJECT_SOURCE_DIR}/platform/posix/error.h
                                  ${control_socket_log_headers})
  set(control_socket_fuzzer ${CMAKE_BINARY_DIR}/bin/control_socket_fuzzer)
  add_custom_command(
    OUTPUT ${control_socket_fuzzer}
    COMMAND ${KEYSTONE_FUZZ_CLANGXX} -std=c++20 -O1 -g -fno-omit-frame-pointer
            -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
            -I${PROJECT_SOURCE_DIR} ${control_socket_fuzz_sources}
            ${CMAKE_CURRENT_SOURCE_DIR}/control_socket_fuzzer.cc -o ${control_socket_fuzzer}
    DEPENDS ${control_socket_fuzz_sources} ${control_socket_fuzz_headers}
            ${CMAKE_CURRENT_SOURCE_DIR}/control_socket_fuzzer.cc
    COMMENT "Building control_socket_fuzzer with clang++ and libFuzzer"
    VERBATIM)
  add_custom_target(control_socket_fuzzer DEPENDS ${control_socket_fuzzer})

  add_executable(control_socket_seed_corpus EXCLUDE_FROM_ALL
                 ${CMAKE_CURRENT_SOURCE_DIR}/control_socket_seed_corpus.cc)
  target_link_libraries(control_socket_seed_corpus PRIVATE keystone_platform keystone_log
                                                           keystone_warnings)

  set(control_socket_corpus ${CMAKE_CURRENT_BINARY_DIR}/control_socket_corpus)
  set(control_socket_scratch ${CMAKE_CURRENT_BINARY_DIR}/control_socket_scratch)
  file(MAKE_DIRECTORY ${control_socket_scratch})
  add_test(NAME control_socket_fuzz_build
           COMMAND ${CMAKE_COMMAND} --build ${CMAKE_BINARY_DIR}
                   --target control_socket_fuzzer control_socket_seed_corpus)
  add_test(NAME control_socket_fuzz_corpus
           COMMAND $<TARGET_FILE:control_socket_seed_corpus> ${control_socket_corpus})
  # New inputs go to the scratch directory (libFuzzer writes to the first one), so the seeds stay
  # as generated.
  add_test(NAME control_socket_fuzz
           COMMAND ${CMAKE_COMMAND} -E env UBSAN_OPTIONS=halt_on_error=1
                   ${control_socket_fuzzer} -runs=${control_socket_fuzz_runs} -max_len=4096
                   -max_total_time=60
                   -artifact_prefix=${CMAKE_CURRENT_BINARY_DIR}/control_socket_crash-
                   ${control_socket_scratch} ${control_socket_corpus})
  set_tests_properties(control_socket_fuzz_build PROPERTIES FIXTURES_SETUP control_socket_fuzz_binaries
                                                            TIMEOUT 900)
  set_tests_properties(control_socket_fuzz_corpus PROPERTIES FIXTURES_REQUIRED control_socket_fuzz_binaries
                                                             FIXTURES_SETUP control_socket_fuzz_seeds)
  set_tests_properties(control_socket_fuzz PROPERTIES
                       FIXTURES_REQUIRED "control_socket_fuzz_binaries;control_socket_fuzz_seeds"
                       TIMEOUT 120)
else()
  add_test(NAME control_socket_fuzz COMMAND ${CMAKE_COMMAND} -E echo
           "control_socket_fuzz skipped: no clang++ with libFuzzer (-fsanitize=fuzzer) was found")
  set_tests_properties(control_socket_fuzz PROPERTIES SKIP_REGULAR_EXPRESSION "control_socket_fuzz skipped")
endif()
