# SendMessageToBtDeviceRpc through a real keystone-engine to a simulated phone, beside a raw
# socket round trip of the same size.
if(TARGET keystone-engine AND TARGET keystone_client)
  keystone_benchmark(bt_engine_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/bt_engine_bench.cc
                     DEPS keystone_client keystone_phone_sim)
  target_compile_definitions(bt_engine_bench PRIVATE
                             KEYSTONE_ENGINE_BINARY="$<TARGET_FILE:keystone-engine>")
  add_dependencies(bt_engine_bench keystone-engine)
endif()
