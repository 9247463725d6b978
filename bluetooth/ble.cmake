# The host RSSI finder and the BLE bridge: its ABI, the loader that checks a bridge's signature
# and the adapter of a bridge to the provider interface.
list(APPEND bluetooth_sources
  ${CMAKE_CURRENT_LIST_DIR}/rssi_finder.cc
  ${CMAKE_CURRENT_LIST_DIR}/rssi_finder_answer.cc)
list(APPEND bluetooth_sources
  ${CMAKE_CURRENT_LIST_DIR}/ble_bridge_loader.cc
  ${CMAKE_CURRENT_LIST_DIR}/ble_device_record.cc
  ${CMAKE_CURRENT_LIST_DIR}/gatt10_bridge.cc)
