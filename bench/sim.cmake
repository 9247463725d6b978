# Benchmarks of the simulated applet (through libkiln-sim.so's functions, and its sealing).
if(TARGET kiln-sim)
  keystone_benchmark(sim_bench SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/sim_bench.cc
                     DEPS kiln-sim kiln_sim_core keystone_platform)
endif()
