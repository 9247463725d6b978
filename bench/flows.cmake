# An enrollment and a factor authentication through the flow runner (test factor, canned applet),
# beside a thread's start and join.
if(TARGET kiln_sim_core)
  keystone_benchmark(flows_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/flows_bench.cc
    DEPS keystone_flows keystone_test_fakes kiln_sim_core)
endif()
