# Proximity, device objects and the manager.
list(APPEND bluetooth_sources
  ${CMAKE_CURRENT_LIST_DIR}/proximity.cc)
