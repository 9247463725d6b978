# The host RSSI finder, and the BLE bridge with its signed loading.
set(dir ${CMAKE_CURRENT_LIST_DIR}/..)
keystone_test_suite(bluetooth_ble_tests
  SOURCES ${dir}/bluetooth/rssi_finder_test.cc
  DEPS keystone_bluetooth)
