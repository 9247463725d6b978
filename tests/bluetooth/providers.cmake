# The classic provider and its factory, the Bluetooth facility on BlueZ, and the simulated phones
# the provider is tested against (the real keystone-phone-sim program).
set(dir ${CMAKE_CURRENT_LIST_DIR}/..)
keystone_test_suite(bluetooth_provider_tests
  SOURCES ${dir}/bluetooth/classic_bt_provider_test.cc
          ${dir}/bluetooth/provider_address_test.cc
          ${dir}/bluetooth/provider_factory_test.cc
          ${dir}/platform/bluez_bluetooth_test.cc
          ${dir}/sim/phone_sim_command_test.cc
          ${dir}/sim/phone_sim_protocol_test.cc
          ${dir}/sim/phone_sim_radio_time_test.cc
          ${dir}/sim/phone_sim_selection_test.cc
          ${dir}/sim/phone_sim_stack_test.cc
          ${dir}/sim/phone_sim_test.cc
  DEPS keystone_bluetooth keystone_phone_sim)
target_compile_definitions(bluetooth_provider_tests PRIVATE
  KEYSTONE_PHONE_SIM_BINARY="$<TARGET_FILE:keystone-phone-sim>")
add_dependencies(bluetooth_provider_tests keystone-phone-sim)
