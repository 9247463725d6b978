keystone_benchmark(sealed_write_bench SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/sealed_write_bench.cc
  DEPS keystone_storage)
