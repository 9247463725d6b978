# Operations 7 to 14 end to end: a real keystone-engine on simulated phones (an in-process
# phone simulator the engine reaches through its SimulatedPhones value).
keystone_test_suite(bluetooth_e2e_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/bt_e2e_test.cc
  DEPS keystone_phone_sim keystone_client keystone_rpc)
keystone_test_binaries(bluetooth_e2e_tests)
