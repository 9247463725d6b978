# Phone presence: the device state, the monitor and its retry budgets.
keystone_test_suite(bluetooth_presence_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/soft_bt_device_test.cc
          ${CMAKE_CURRENT_LIST_DIR}/soft_bt_manager_test.cc
  DEPS keystone_bluetooth keystone_service)

# A real engine over the simulated phones, driven with keystonectl.
keystone_test_suite(bluetooth_presence_e2e_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/presence_e2e_test.cc
  DEPS keystone_phone_sim keystone_platform)
target_compile_definitions(bluetooth_presence_e2e_tests PRIVATE
  KEYSTONE_PHONE_SIM_BINARY="$<TARGET_FILE:keystone-phone-sim>")
add_dependencies(bluetooth_presence_e2e_tests keystone-phone-sim)
keystone_test_binaries(bluetooth_presence_e2e_tests)
