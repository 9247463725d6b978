# Proximity, device objects and the manager.
list(APPEND bluetooth_sources)
