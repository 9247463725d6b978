# What hostile local users can make a running engine hold: memory, descriptors, threads.
if(TARGET keystone-engine AND TARGET keystone_client)
  keystone_benchmark(hostile_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/hostile_bench.cc
                     DEPS keystone_client keystone_platform)
  target_compile_definitions(hostile_bench PRIVATE
                             KEYSTONE_ENGINE_BINARY="$<TARGET_FILE:keystone-engine>")
  add_dependencies(hostile_bench keystone-engine)
endif()
