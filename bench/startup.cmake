# Time from starting keystone-engine to its READY=1 notification.
if(TARGET keystone-engine)
  keystone_benchmark(startup_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/startup_bench.cc DEPS Threads::Threads)
  target_compile_definitions(startup_bench PRIVATE
    KEYSTONE_ENGINE_BINARY="$<TARGET_FILE:keystone-engine>")
  add_dependencies(startup_bench keystone-engine)
endif()
