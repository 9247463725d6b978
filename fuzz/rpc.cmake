# Fuzz target of the RPC protocol: the server's frame reader, every operation's request decoding
# in its server stub, and the client library's request encoding and reply decoding. As for the
# other targets, the main build uses g++, so the fuzzer is compiled by clang++ directly from the
# protocol's, the stubs' and the socket's sources; CTest builds it and its seed corpus on demand
# and runs a bounded number of inputs. Without a clang++ that links libFuzzer the test reports
# itself skipped.

find_program(KEYSTONE_FUZZ_CLANGXX NAMES clang++ clang++-19 clang++-18 clang++-17 clang++-16
                                         clang++-15 clang++-14)
set(rpc_fuzz_runs 120000 CACHE STRING "Inputs the rpc_fuzz test runs")

set(rpc_fuzz_usable FALSE)
if(KEYSTONE_FUZZ_CLANGXX AND TARGET keystone_rpc AND TARGET keystone_tlv)
  set(probe_dir ${CMAKE_CURRENT_BINARY_DIR}/rpc_probe)
  file(MAKE_DIRECTORY ${probe_dir})
  file(WRITE ${probe_dir}/probe.cc
       "#include <cstddef>\n#include <cstdint>\n"
       "extern \"C\" int LLVMFuzzerTestOneInput(const uint8_t*, size_t) { return 0; }\n")
  execute_process(COMMAND ${KEYSTONE_FUZZ_CLANGXX} -fsanitize=fuzzer,address,undefined
                          ${probe_dir}/probe.cc -o ${probe_dir}/probe
                  RESULT_VARIABLE probe_result OUTPUT_QUIET ERROR_QUIET)
  if(probe_result EQUAL 0)
    set(rpc_fuzz_usable TRUE)
  endif()
endif()

if(rpc_fuzz_usable)
  set(rpc_fuzz_sources ${PROJECT_SOURCE_DIR}/rpc/protocol.cc ${PROJECT_SOURCE_DIR}/rpc/frame_io.cc
                       ${PROJECT_SOURCE_DIR}/rpc/stubs.cc
                       ${PROJECT_SOURCE_DIR}/platform/posix/unix_socket.cc
                       ${PROJECT_SOURCE_DIR}/platform/posix/paths.cc)
  file(GLOB rpc_fuzz_headers CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/rpc/*.h)
  list(APPEND rpc_fuzz_headers ${PROJECT_SOURCE_DIR}/platform/unix_socket.h
              ${PROJECT_SOURCE_DIR}/platform/paths.h ${PROJECT_SOURCE_DIR}/platform/posix/error.h
              ${CMAKE_CURRENT_SOURCE_DIR}/rpc_fuzz_calls.h)
  set(rpc_fuzzer ${CMAKE_BINARY_DIR}/bin/rpc_fuzzer)
  add_custom_command(
    OUTPUT ${rpc_fuzzer}
    COMMAND ${KEYSTONE_FUZZ_CLANGXX} -std=c++20 -O1 -g -fno-omit-frame-pointer
            -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
            -I${PROJECT_SOURCE_DIR} ${rpc_fuzz_sources}
            ${CMAKE_CURRENT_SOURCE_DIR}/rpc_fuzzer.cc -o ${rpc_fuzzer}
    DEPENDS ${rpc_fuzz_sources} ${rpc_fuzz_headers} ${CMAKE_CURRENT_SOURCE_DIR}/rpc_fuzzer.cc
    COMMENT "Building rpc_fuzzer with clang++ and libFuzzer"
    VERBATIM)
  add_custom_target(rpc_fuzzer DEPENDS ${rpc_fuzzer})

  add_executable(rpc_seed_corpus EXCLUDE_FROM_ALL ${CMAKE_CURRENT_SOURCE_DIR}/rpc_seed_corpus.cc)
  target_link_libraries(rpc_seed_corpus PRIVATE keystone_rpc keystone_tlv keystone_warnings)

  set(rpc_corpus ${CMAKE_CURRENT_BINARY_DIR}/rpc_corpus)
  set(rpc_scratch ${CMAKE_CURRENT_BINARY_DIR}/rpc_scratch)
  file(MAKE_DIRECTORY ${rpc_scratch})
  add_test(NAME rpc_fuzz_build
           COMMAND ${CMAKE_COMMAND} --build ${CMAKE_BINARY_DIR} --target rpc_fuzzer rpc_seed_corpus)
  add_test(NAME rpc_fuzz_corpus COMMAND $<TARGET_FILE:rpc_seed_corpus> ${rpc_corpus})
  # New inputs go to the scratch directory (libFuzzer writes to the first one), so the seeds stay
  # as generated.
  add_test(NAME rpc_fuzz
           COMMAND ${CMAKE_COMMAND} -E env UBSAN_OPTIONS=halt_on_error=1
                   ${rpc_fuzzer} -runs=${rpc_fuzz_runs} -max_len=8192 -max_total_time=60
                   -artifact_prefix=${CMAKE_CURRENT_BINARY_DIR}/rpc_crash- ${rpc_scratch}
                   ${rpc_corpus})
  set_tests_properties(rpc_fuzz_build PROPERTIES FIXTURES_SETUP rpc_fuzz_binaries TIMEOUT 900)
  set_tests_properties(rpc_fuzz_corpus PROPERTIES FIXTURES_REQUIRED rpc_fuzz_binaries
                                                  FIXTURES_SETUP rpc_fuzz_seeds)
  set_tests_properties(rpc_fuzz PROPERTIES FIXTURES_REQUIRED "rpc_fuzz_binaries;rpc_fuzz_seeds"
                                           TIMEOUT 120)
else()
  add_test(NAME rpc_fuzz COMMAND ${CMAKE_COMMAND} -E echo
           "rpc_fuzz skipped: no clang++ with libFuzzer (-fsanitize=fuzzer) was found")
  set_tests_properties(rpc_fuzz PROPERTIES SKIP_REGULAR_EXPRESSION "rpc_fuzz skipped")
endif()
