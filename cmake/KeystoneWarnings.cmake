# One list of warnings for every target of the project; warnings are errors.
add_library(keystone_warnings INTERFACE)
target_compile_options(keystone_warnings INTERFACE
  -Wall -Wextra -Wshadow -Wnon-virtual-dtor -Wcast-qual -Wformat=2 -Wpedantic
  -Wno-missing-field-initializers -Werror)
# Log records name their source file relative to the source tree, as the build laid it out.
target_compile_options(keystone_warnings INTERFACE "-fmacro-prefix-map=${PROJECT_SOURCE_DIR}/=")
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  # The lock annotations (GUARDED_BY, REQUIRES, ...) are checked only by clang.
  target_compile_options(keystone_warnings INTERFACE -Wthread-safety -Wthread-safety-beta)
endif()

# Adds a project library from the sources of one directory (globbed, so each file added
# to a layer is picked up without touching a shared list).
function(keystone_layer name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;PRIVATE_DEPS" ${ARGN})
  if(ARG_SOURCES)
    add_library(${name} STATIC ${ARG_SOURCES})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} PUBLIC ${ARG_DEPS} PRIVATE keystone_warnings ${ARG_PRIVATE_DEPS})
  else()
    # A layer of headers only, so far.
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE ${ARG_DEPS})
  endif()
endfunction()
