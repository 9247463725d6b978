# The control socket's status request against a running engine, beside GetSessionIdRpc.
if(TARGET keystone-engine AND TARGET keystone_client)
  keystone_benchmark(status_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/status_bench.cc
                     DEPS keystone_client keystone_platform)
  target_include_directories(status_bench PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_definitions(status_bench PRIVATE
                             KEYSTONE_ENGINE_BINARY="$<TARGET_FILE:keystone-engine>")
  add_dependencies(status_bench keystone-engine)
endif()
