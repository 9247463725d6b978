keystone_benchmark(registry_bench SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/registry_bench.cc
  DEPS keystone_platform)
