keystone_benchmark(tlv_bench SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tlv_bench.cc DEPS keystone_tlv)
