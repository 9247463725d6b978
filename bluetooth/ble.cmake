# The host RSSI finder and the BLE bridge: its ABI, the loader that checks a bridge's signature
# and the adapter of a bridge to the provider interface.
list(APPEND bluetooth_sources
  ${CMAKE_CURRENT_LIST_DIR}/rssi_finder.cc
  ${CMAKE_CURRENT_LIST_DIR}/rssi_finder_answer.cc)
