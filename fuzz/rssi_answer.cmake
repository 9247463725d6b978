# The host RSSI finder's parse of the radio's answer to Read RSSI.
keystone_fuzz_target(rssi_answer RUNS 100000 MAX_LEN 300
                     SOURCES ${PROJECT_SOURCE_DIR}/bluetooth/rssi_finder_answer.cc
                     DEPENDS ${PROJECT_SOURCE_DIR}/bluetooth/rssi_finder.h
                             ${PROJECT_SOURCE_DIR}/platform/bluetooth.h
                     CORPUS_LIBS keystone_bluetooth)
