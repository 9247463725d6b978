# The classic provider's round trip to a simulated phone beside a raw socket ping-pong.
keystone_benchmark(classic_provider_bench SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/classic_provider_bench.cc
                   DEPS keystone_bluetooth keystone_phone_sim keystone_test_fakes)
