# Phone presence: the monitored phone's state, the monitor and its provider seam.
list(APPEND bluetooth_sources
  ${CMAKE_CURRENT_LIST_DIR}/soft_bt_device.cc
  ${CMAKE_CURRENT_LIST_DIR}/soft_bt_provider.cc
  ${CMAKE_CURRENT_LIST_DIR}/soft_bt_manager.cc)
