# The proximity decision per RSSI sample, and SendMessageToBtDeviceRpc beside a raw socket round
# trip.
keystone_benchmark(bluetooth_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/bluetooth_bench.cc
  DEPS keystone_engine_rpc keystone_bluetooth keystone_rpc keystone_client keystone_test_fakes)
