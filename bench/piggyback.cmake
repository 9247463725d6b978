keystone_benchmark(piggyback_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/piggyback_bench.cc
  DEPS keystone_storage)
