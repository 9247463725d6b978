# GetSessionIdRpc round trip beside a raw socket ping-pong, and call throughput by client threads.
keystone_benchmark(rpc_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/rpc_bench.cc
  DEPS keystone_rpc keystone_client keystone_test_fakes)
