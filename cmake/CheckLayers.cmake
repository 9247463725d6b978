# Fails when a layer includes a header of a layer above it (or of itself through another
# directory's name), so the directories stay a stack with no cycle. Run as a test:
#   cmake -DSOURCE_DIR=<repo> -P cmake/CheckLayers.cmake
# Tests, benchmarks and fuzz targets sit above every layer and are not checked.
include(${CMAKE_CURRENT_LIST_DIR}/KeystoneLayers.cmake)
set(layers ${KEYSTONE_LAYERS})

if(NOT SOURCE_DIR)
  message(FATAL_ERROR "CheckLayers: pass -DSOURCE_DIR=<repository root>")
endif()

set(violations "")
set(checked 0)
list(LENGTH layers count)
foreach(layer ${layers})
  list(FIND layers ${layer} own)
  file(GLOB_RECURSE files "${SOURCE_DIR}/${layer}/*.h" "${SOURCE_DIR}/${layer}/*.cc")
  foreach(file ${files})
    math(EXPR checked "${checked} + 1")
    file(STRINGS ${file} includes REGEX "^[ \t]*#[ \t]*include[ \t]+\"[^\"/]+/")
    foreach(line ${includes})
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]+\"([^\"/]+)/.*$" "\\1" target "${line}")
      list(FIND layers ${target} index)
      if(index GREATER_EQUAL own AND NOT target STREQUAL layer)
        file(RELATIVE_PATH relative ${SOURCE_DIR} ${file})
        string(STRIP "${line}" line)
        list(APPEND violations "  ${relative}: ${line} (${layer} may not depend on ${target})")
      endif()
    endforeach()
  endforeach()
endforeach()

if(violations)
  list(JOIN violations "\n" text)
  message(FATAL_ERROR "Upward or circular layer dependencies:\n${text}")
endif()
message(STATUS "Layers: ${count} layers, ${checked} files, no upward include")
