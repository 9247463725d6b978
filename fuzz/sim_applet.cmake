# Fuzz target of the simulated applet's request handling (sim/applet). As for the TLV target, the
# main build uses g++, so the fuzzer is compiled by clang++ directly from the applet's, the codec's
# and the platform paths' sources; CTest builds it and its seed corpus on demand and runs a bounded
# number of inputs. Without a clang++ that links libFuzzer the test reports itself skipped.

find_program(KEYSTONE_FUZZ_CLANGXX NAMES clang++ clang++-19 clang++-18 clang++-17 clang++-16
                                         clang++-15 clang++-14)
set(sim_applet_fuzz_runs 30000 CACHE STRING "Inputs the sim_applet_fuzz test runs")

set(sim_applet_fuzz_usable FALSE)
if(KEYSTONE_FUZZ_CLANGXX AND TARGET kiln_sim_core)
  set(probe_dir ${CMAKE_CURRENT_BINARY_DIR}/sim_applet_probe)
  file(MAKE_DIRECTORY ${probe_dir})
  file(WRITE ${probe_dir}/probe.cc
       "#include <openssl/evp.h>\n#include <cstddef>\n#include <cstdint>\n"
       "extern \"C\" int LLVMFuzzerTestOneInput(const uint8_t*, size_t) { return EVP_MD_size(EVP_sha256()) == 0; }\n")
  execute_process(COMMAND ${KEYSTONE_FUZZ_CLANGXX} -fsanitize=fuzzer,address,undefined
                          ${probe_dir}/probe.cc -lcrypto -o ${probe_dir}/probe
                  RESULT_VARIABLE probe_result OUTPUT_QUIET ERROR_QUIET)
  if(probe_result EQUAL 0)
    set(sim_applet_fuzz_usable TRUE)
  endif()
endif()

if(sim_applet_fuzz_usable)
  file(GLOB sim_fuzz_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/sim/applet/*.cc)
  list(REMOVE_ITEM sim_fuzz_sources ${PROJECT_SOURCE_DIR}/sim/applet/kiln_exports.cc
                                    ${PROJECT_SOURCE_DIR}/sim/applet/library.cc)
  file(GLOB sim_fuzz_headers CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/sim/applet/*.h)
  file(GLOB sim_fuzz_tlv_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tlv/*.cc)
  set(sim_applet_fuzzer ${CMAKE_BINARY_DIR}/bin/sim_applet_fuzzer)
  add_custom_command(
    OUTPUT ${sim_applet_fuzzer}
    COMMAND ${KEYSTONE_FUZZ_CLANGXX} -std=c++20 -O1 -g -fno-omit-frame-pointer
            -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
            -I${PROJECT_SOURCE_DIR} -I${CMAKE_BINARY_DIR}/common/generated
            ${sim_fuzz_sources} ${sim_fuzz_tlv_sources} ${KILN_SIM_PATHS_SOURCE}
            ${CMAKE_CURRENT_SOURCE_DIR}/sim_applet_fuzzer.cc -lcrypto -o ${sim_applet_fuzzer}
    DEPENDS ${sim_fuzz_sources} ${sim_fuzz_headers} ${sim_fuzz_tlv_sources}
            ${CMAKE_CURRENT_SOURCE_DIR}/sim_applet_fuzzer.cc
    COMMENT "Building sim_applet_fuzzer with clang++ and libFuzzer"
    VERBATIM)
  add_custom_target(sim_applet_fuzzer DEPENDS ${sim_applet_fuzzer})

  add_executable(sim_applet_seed_corpus EXCLUDE_FROM_ALL ${CMAKE_CURRENT_SOURCE_DIR}/sim_applet_seed_corpus.cc)
  target_link_libraries(sim_applet_seed_corpus PRIVATE kiln_sim_core keystone_platform keystone_warnings)

  set(sim_applet_corpus ${CMAKE_CURRENT_BINARY_DIR}/sim_applet_corpus)
  set(sim_applet_scratch ${CMAKE_CURRENT_BINARY_DIR}/sim_applet_scratch)
  file(MAKE_DIRECTORY ${sim_applet_scratch})
  add_test(NAME sim_applet_fuzz_build
           COMMAND ${CMAKE_COMMAND} --build ${CMAKE_BINARY_DIR} --target sim_applet_fuzzer sim_applet_seed_corpus)
  add_test(NAME sim_applet_fuzz_corpus COMMAND $<TARGET_FILE:sim_applet_seed_corpus> ${sim_applet_corpus})
  add_test(NAME sim_applet_fuzz
           COMMAND ${CMAKE_COMMAND} -E env UBSAN_OPTIONS=halt_on_error=1
                   ${sim_applet_fuzzer} -runs=${sim_applet_fuzz_runs} -max_len=8192 -max_total_time=60
                   -artifact_prefix=${CMAKE_CURRENT_BINARY_DIR}/sim_applet_crash- ${sim_applet_scratch}
                   ${sim_applet_corpus})
  set_tests_properties(sim_applet_fuzz_build PROPERTIES FIXTURES_SETUP sim_applet_fuzz_binaries TIMEOUT 900)
  set_tests_properties(sim_applet_fuzz_corpus PROPERTIES FIXTURES_REQUIRED sim_applet_fuzz_binaries
                                                         FIXTURES_SETUP sim_applet_fuzz_seeds)
  set_tests_properties(sim_applet_fuzz PROPERTIES FIXTURES_REQUIRED "sim_applet_fuzz_binaries;sim_applet_fuzz_seeds"
                                                  TIMEOUT 120)
else()
  add_test(NAME sim_applet_fuzz COMMAND ${CMAKE_COMMAND} -E echo
           "sim_applet_fuzz skipped: no clang++ with libFuzzer (-fsanitize=fuzzer) was found")
  set_tests_properties(sim_applet_fuzz PROPERTIES SKIP_REGULAR_EXPRESSION "sim_applet_fuzz skipped")
endif()
