# TLV fuzz target. The main build uses g++, so the fuzzer is compiled by clang++ directly from the
# codec sources. CTest builds it and its seed corpus on demand and runs it for a bounded number of
# inputs; without a clang++ that links libFuzzer the test reports itself skipped.

find_program(KEYSTONE_FUZZ_CLANGXX NAMES clang++ clang++-19 clang++-18 clang++-17 clang++-16
                                         clang++-15 clang++-14)
set(tlv_fuzz_runs 200000 CACHE STRING "Inputs the tlv_fuzz test runs")

set(tlv_fuzz_usable FALSE)
if(KEYSTONE_FUZZ_CLANGXX)
  set(probe_dir ${CMAKE_CURRENT_BINARY_DIR}/libfuzzer_probe)
  file(MAKE_DIRECTORY ${probe_dir})
  file(WRITE ${probe_dir}/probe.cc
       "#include <cstddef>\n#include <cstdint>\n"
       "extern \"C\" int LLVMFuzzerTestOneInput(const uint8_t*, size_t) { return 0; }\n")
  execute_process(COMMAND ${KEYSTONE_FUZZ_CLANGXX} -fsanitize=fuzzer,address,undefined
                          ${probe_dir}/probe.cc -o ${probe_dir}/probe
                  RESULT_VARIABLE probe_result OUTPUT_QUIET ERROR_QUIET)
  if(probe_result EQUAL 0)
    set(tlv_fuzz_usable TRUE)
  endif()
endif()

if(tlv_fuzz_usable)
  file(GLOB tlv_fuzz_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tlv/*.cc)
  file(GLOB tlv_fuzz_headers CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tlv/*.h)
  set(tlv_fuzzer ${CMAKE_BINARY_DIR}/bin/tlv_fuzzer)
  add_custom_command(
    OUTPUT ${tlv_fuzzer}
    COMMAND ${KEYSTONE_FUZZ_CLANGXX} -std=c++20 -O1 -g -fno-omit-frame-pointer
            -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
            -I${PROJECT_SOURCE_DIR} ${tlv_fuzz_sources}
            ${CMAKE_CURRENT_SOURCE_DIR}/tlv_fuzzer.cc -o ${tlv_fuzzer}
    DEPENDS ${tlv_fuzz_sources} ${tlv_fuzz_headers} ${CMAKE_CURRENT_SOURCE_DIR}/tlv_fuzzer.cc
    COMMENT "Building tlv_fuzzer with clang++ and libFuzzer"
    VERBATIM)
  add_custom_target(tlv_fuzzer DEPENDS ${tlv_fuzzer})

  add_executable(tlv_seed_corpus EXCLUDE_FROM_ALL ${CMAKE_CURRENT_SOURCE_DIR}/tlv_seed_corpus.cc)
  target_link_libraries(tlv_seed_corpus PRIVATE keystone_tlv keystone_warnings)

  set(tlv_corpus ${CMAKE_CURRENT_BINARY_DIR}/tlv_corpus)
  set(tlv_scratch ${CMAKE_CURRENT_BINARY_DIR}/tlv_scratch)
  file(MAKE_DIRECTORY ${tlv_scratch})
  add_test(NAME tlv_fuzz_build
           COMMAND ${CMAKE_COMMAND} --build ${CMAKE_BINARY_DIR} --target tlv_fuzzer tlv_seed_corpus)
  add_test(NAME tlv_fuzz_corpus COMMAND $<TARGET_FILE:tlv_seed_corpus> ${tlv_corpus})
  # New inputs go to the scratch directory (libFuzzer writes to the first one), so the seeds stay
  # as generated.
  add_test(NAME tlv_fuzz
           COMMAND ${CMAKE_COMMAND} -E env UBSAN_OPTIONS=halt_on_error=1
                   ${tlv_fuzzer} -runs=${tlv_fuzz_runs} -max_len=4096 -max_total_time=60
                   -artifact_prefix=${CMAKE_CURRENT_BINARY_DIR}/tlv_crash- ${tlv_scratch}
                   ${tlv_corpus})
  set_tests_properties(tlv_fuzz_build PROPERTIES FIXTURES_SETUP tlv_fuzz_binaries TIMEOUT 600)
  set_tests_properties(tlv_fuzz_corpus PROPERTIES FIXTURES_REQUIRED tlv_fuzz_binaries
                                                  FIXTURES_SETUP tlv_fuzz_seeds)
  set_tests_properties(tlv_fuzz PROPERTIES FIXTURES_REQUIRED "tlv_fuzz_binaries;tlv_fuzz_seeds"
                                           TIMEOUT 120)
else()
  add_test(NAME tlv_fuzz COMMAND ${CMAKE_COMMAND} -E echo
           "tlv_fuzz skipped: no clang++ with libFuzzer (-fsanitize=fuzzer) was found")
  set_tests_properties(tlv_fuzz PROPERTIES SKIP_REGULAR_EXPRESSION "tlv_fuzz skipped")
endif()
