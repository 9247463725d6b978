# Providers: the classic provider over the platform Bluetooth facility, and the factory.
list(APPEND bluetooth_sources
  ${CMAKE_CURRENT_LIST_DIR}/bluetooth_address.cc
  ${CMAKE_CURRENT_LIST_DIR}/classic_bluetooth.cc
  ${CMAKE_CURRENT_LIST_DIR}/classic_bt_provider.cc
  ${CMAKE_CURRENT_LIST_DIR}/provider_factory.cc)
