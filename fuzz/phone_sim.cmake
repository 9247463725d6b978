# The phone simulator's control protocol: reply, line, name, device and service parsers.
keystone_fuzz_target(phone_sim RUNS 60000 MAX_LEN 8192
                     SOURCES ${PROJECT_SOURCE_DIR}/sim/phones/phone_protocol.cc
                             ${PROJECT_SOURCE_DIR}/platform/bluetooth.cc
                     DEPENDS ${PROJECT_SOURCE_DIR}/sim/phones/phone_protocol.h
                             ${PROJECT_SOURCE_DIR}/platform/bluetooth.h
                             ${PROJECT_SOURCE_DIR}/platform/unix_socket.h
                     CORPUS_LIBS keystone_phone_sim)
