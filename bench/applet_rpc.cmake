# An applet message through the engine (RPC, command handler, queue, simulated applet) beside the
# same request straight to the simulated applet's library.
if(TARGET kiln-sim AND TARGET keystone-engine AND TARGET keystone_client)
  keystone_benchmark(applet_rpc_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/applet_rpc_bench.cc
                     DEPS keystone_client keystone_tlv kiln-sim)
  target_compile_definitions(applet_rpc_bench PRIVATE
                             KEYSTONE_ENGINE_BINARY="$<TARGET_FILE:keystone-engine>")
  add_dependencies(applet_rpc_bench keystone-engine)
endif()
