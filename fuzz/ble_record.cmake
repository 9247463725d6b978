# The BLE bridge's device records, read from a bridge library's scan.
keystone_fuzz_target(ble_record RUNS 100000 MAX_LEN 600
                     SOURCES ${PROJECT_SOURCE_DIR}/bluetooth/ble_device_record.cc
                             ${PROJECT_SOURCE_DIR}/platform/bluetooth.cc
                     DEPENDS ${PROJECT_SOURCE_DIR}/bluetooth/ble_device_record.h
                             ${PROJECT_SOURCE_DIR}/bluetooth/ble_bridge_abi.h
                             ${PROJECT_SOURCE_DIR}/platform/bluetooth.h
                     CORPUS_LIBS keystone_bluetooth)
