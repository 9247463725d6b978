# Proximity, device objects and the manager.
keystone_test_suite(bluetooth_manager_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/proximity_test.cc
          ${CMAKE_CURRENT_LIST_DIR}/bt_device_test.cc
          ${CMAKE_CURRENT_LIST_DIR}/bt_manager_test.cc
  DEPS keystone_bluetooth keystone_service)
