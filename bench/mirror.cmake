# "Update All" beside the same writes in one transaction; discovery kind 1 beside a
# GetSessionIdRpc round trip.
if(TARGET kiln_sim_core AND TARGET keystone_client)
  keystone_benchmark(mirror_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/mirror_bench.cc
    DEPS keystone_engine_rpc keystone_flows keystone_client keystone_test_fakes kiln_sim_core)
endif()
