keystone_benchmark(kiln_adapter_bench SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/kiln_adapter_bench.cc
  DEPS keystone_applet)
