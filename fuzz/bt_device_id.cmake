# The Bluetooth manager's parsers of untrusted texts (provider addresses, the "Android_Device"
# registry value) and its scan-record packing of provider-supplied names.
keystone_fuzz_target(bt_device_id RUNS 100000 MAX_LEN 256
                     SOURCES ${PROJECT_SOURCE_DIR}/bluetooth/bt_device_id.cc
                     DEPENDS ${PROJECT_SOURCE_DIR}/bluetooth/bt_device_id.h
                             ${PROJECT_SOURCE_DIR}/bluetooth/bluetooth_exceptions.h
                             ${PROJECT_SOURCE_DIR}/bluetooth/bt_provider.h
                     CORPUS_LIBS keystone_bluetooth)
