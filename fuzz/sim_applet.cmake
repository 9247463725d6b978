# The simulated applet's request handling (not its library entry points), with the codec and
# the platform paths it uses.
set(sim_fuzz_sources
  ${PROJECT_SOURCE_DIR}/sim/applet/applet.cc
  ${PROJECT_SOURCE_DIR}/sim/applet/fault_plan.cc
  ${PROJECT_SOURCE_DIR}/sim/applet/field_reader.cc
  ${PROJECT_SOURCE_DIR}/sim/applet/firmware.cc
  ${PROJECT_SOURCE_DIR}/sim/applet/piggy_back.cc
  ${PROJECT_SOURCE_DIR}/sim/applet/policy.cc
  ${PROJECT_SOURCE_DIR}/sim/applet/records.cc
  ${PROJECT_SOURCE_DIR}/sim/applet/reply.cc
  ${PROJECT_SOURCE_DIR}/sim/applet/sealing.cc
  ${PROJECT_SOURCE_DIR}/sim/applet/smart_card.cc
  ${PROJECT_SOURCE_DIR}/sim/applet/smart_card_certificates.cc
  ${PROJECT_SOURCE_DIR}/sim/applet/state_files.cc
  ${tlv_fuzz_sources})
set(sim_fuzz_headers
  ${PROJECT_SOURCE_DIR}/sim/applet/applet.h
  ${PROJECT_SOURCE_DIR}/sim/applet/fault_plan.h
  ${PROJECT_SOURCE_DIR}/sim/applet/field_reader.h
  ${PROJECT_SOURCE_DIR}/sim/applet/firmware.h
  ${PROJECT_SOURCE_DIR}/sim/applet/library.h
  ${PROJECT_SOURCE_DIR}/sim/applet/piggy_back.h
  ${PROJECT_SOURCE_DIR}/sim/applet/policy.h
  ${PROJECT_SOURCE_DIR}/sim/applet/protocol.h
  ${PROJECT_SOURCE_DIR}/sim/applet/records.h
  ${PROJECT_SOURCE_DIR}/sim/applet/reply.h
  ${PROJECT_SOURCE_DIR}/sim/applet/sealing.h
  ${PROJECT_SOURCE_DIR}/sim/applet/smart_card_certificates.h
  ${PROJECT_SOURCE_DIR}/sim/applet/state_files.h)
keystone_fuzz_target(sim_applet RUNS 30000 MAX_LEN 8192
                     SOURCES ${sim_fuzz_sources} ${KILN_SIM_PATHS_SOURCE} ${PROJECT_SOURCE_DIR}/common/hex.cc
                     DEPENDS ${sim_fuzz_headers} INCLUDES ${CMAKE_BINARY_DIR}/common/generated
                     LIBS -lcrypto CORPUS_LIBS kiln_sim_core keystone_platform)
