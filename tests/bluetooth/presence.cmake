# Phone presence: the device state, the monitor and its retry budgets.
keystone_test_suite(bluetooth_presence_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/soft_bt_device_test.cc
          ${CMAKE_CURRENT_LIST_DIR}/soft_bt_manager_test.cc
  DEPS keystone_bluetooth keystone_service)
