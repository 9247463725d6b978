# Providers: the classic provider over the platform Bluetooth facility, and the factory.
list(APPEND bluetooth_sources)
