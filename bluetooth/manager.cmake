# Proximity, device objects and the manager.
list(APPEND bluetooth_sources
  ${CMAKE_CURRENT_LIST_DIR}/proximity.cc
  ${CMAKE_CURRENT_LIST_DIR}/bt_device.cc
  ${CMAKE_CURRENT_LIST_DIR}/bt_device_ble.cc
  ${CMAKE_CURRENT_LIST_DIR}/bt_device_id.cc
  ${CMAKE_CURRENT_LIST_DIR}/bt_device_classic.cc
  ${CMAKE_CURRENT_LIST_DIR}/bt_device_legacy.cc
  ${CMAKE_CURRENT_LIST_DIR}/bt_manager.cc)
