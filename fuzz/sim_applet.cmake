# The simulated applet's request handling, with the codec and the platform paths it uses.
file(GLOB sim_fuzz_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/sim/applet/*.cc
                                             ${PROJECT_SOURCE_DIR}/tlv/*.cc)
list(REMOVE_ITEM sim_fuzz_sources ${PROJECT_SOURCE_DIR}/sim/applet/kiln_exports.cc
                                  ${PROJECT_SOURCE_DIR}/sim/applet/library.cc)
file(GLOB sim_fuzz_headers CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/sim/applet/*.h)
keystone_fuzz_target(sim_applet RUNS 30000 MAX_LEN 8192
                     SOURCES ${sim_fuzz_sources} ${KILN_SIM_PATHS_SOURCE} ${PROJECT_SOURCE_DIR}/common/hex.cc
                     DEPENDS ${sim_fuzz_headers} INCLUDES ${CMAKE_BINARY_DIR}/common/generated
                     LIBS -lcrypto CORPUS_LIBS kiln_sim_core keystone_platform)
