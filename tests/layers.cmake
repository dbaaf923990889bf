# SPDX-License-Identifier: MIT
# Checks that every file of a source folder includes only headers of its own
# module or of modules listed before it in the layer file, and that every
# module has a place there.
#
#   cmake -DSRC=<folder> -DLAYERS=<layer file> -P layers.cmake

file(STRINGS "${LAYERS}" lines REGEX "^[a-z_]+")
set(order "")
foreach(line IN LISTS lines)
  string(REGEX MATCH "^[a-z_]+" module "${line}")
  list(APPEND order "${module}")
endforeach()

file(GLOB sources "${SRC}/*.cpp" "${SRC}/*.h")
set(broken "")
foreach(source IN LISTS sources)
  get_filename_component(module "${source}" NAME_WE)
  get_filename_component(name "${source}" NAME)
  list(FIND order "${module}" own)
  if(own EQUAL -1)
    string(APPEND broken "\n  ${name}: ${module} has no place in ${LAYERS}")
    continue()
  endif()
  file(STRINGS "${source}" includes REGEX "^#include \"[a-z_]+\\.h\"")
  foreach(include IN LISTS includes)
    string(REGEX REPLACE "^#include \"([a-z_]+)\\.h\".*" "\\1" header "${include}")
    if(header STREQUAL "tavro" OR header STREQUAL "tavro_version")
      continue()
    endif()
    list(FIND order "${header}" at)
    if(at EQUAL -1)
      string(APPEND broken "\n  ${name} includes ${header}.h, which has no place in the layers")
    elseif(at GREATER own)
      string(APPEND broken "\n  ${name} (${module}) includes ${header}.h, a layer above it")
    endif()
  endforeach()
endforeach()
if(broken)
  message(FATAL_ERROR "includes against the layers of ${LAYERS}:${broken}")
endif()
list(LENGTH sources n)
message(STATUS "${n} files, every include one way")
