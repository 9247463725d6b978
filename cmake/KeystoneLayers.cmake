# The project's layers, lowest first: each directory is one library and may include only the
# layers listed before it (cmake/CheckLayers.cmake enforces this as a test). service/ is the
# composition root that assembles the engine program, so it comes last.
set(KEYSTONE_LAYERS common log platform tlv storage applet engine flows smartcard bluetooth rpc sim tools service)
