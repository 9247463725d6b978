# The smart-card factor: its policy and registry values, and its flows end to end through the
# flow runner, the applet channel and the simulated applet (libkiln-sim.so).
set(sources
  ${CMAKE_CURRENT_LIST_DIR}/smart_card_authenticate_flow_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/smart_card_controller_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/smart_card_enrollment_flow_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/smart_card_policy_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/smart_card_test_pki.cc)
keystone_test_suite(smartcard_factor_tests SOURCES ${sources}
                    DEPS keystone_smartcard keystone_flows keystone_engine keystone_applet
                         kiln_sim_core OpenSSL::Crypto)
keystone_test_binaries(smartcard_factor_tests)
