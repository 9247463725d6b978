# The host RSSI finder, and the BLE bridge with its signed loading (against the simulated bridge
# the build signs).
set(dir ${CMAKE_CURRENT_LIST_DIR}/..)
keystone_test_suite(bluetooth_ble_tests
  SOURCES ${dir}/bluetooth/ble_bridge_test.cc
          ${dir}/bluetooth/ble_device_record_test.cc
          ${dir}/bluetooth/rssi_finder_test.cc
  DEPS keystone_bluetooth keystone_phone_sim)
keystone_test_binaries(bluetooth_ble_tests)
target_compile_definitions(bluetooth_ble_tests PRIVATE
  KEYSTONE_SIM_BLE_BRIDGE="$<TARGET_FILE:keystone-sim-ble-bridge>")
add_dependencies(bluetooth_ble_tests keystone-sim-ble-bridge)
target_compile_definitions(bluetooth_ble_tests PRIVATE
  KEYSTONE_BLUEZ_GATT_BRIDGE="$<TARGET_FILE:keystone-bluez-gatt-bridge>")
add_dependencies(bluetooth_ble_tests keystone-bluez-gatt-bridge)
target_compile_definitions(bluetooth_ble_tests PRIVATE
  KEYSTONE_PHONE_SIM_BINARY="$<TARGET_FILE:keystone-phone-sim>")
add_dependencies(bluetooth_ble_tests keystone-phone-sim)
# The BlueZ bridge's tests stand BlueZ up on a bus of their own.
pkg_check_modules(BLE_TEST_SYSTEMD REQUIRED IMPORTED_TARGET libsystemd)
target_link_libraries(bluetooth_ble_tests PRIVATE PkgConfig::BLE_TEST_SYSTEMD)
