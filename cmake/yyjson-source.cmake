# SPDX-License-Identifier: MIT
# yyjson compiled from its source tree (TAVRO_YYJSON_SOURCE, holding
# src/yyjson.c and src/yyjson.h) into a static library that the shared
# library links in, under the name a package would give it: yyjson::yyjson.
# Used where no yyjson package exists, as for the Windows DLL.
set(_yyjson_src "${TAVRO_YYJSON_SOURCE}/src")
if(NOT EXISTS "${_yyjson_src}/yyjson.c" OR NOT EXISTS "${_yyjson_src}/yyjson.h")
  message(FATAL_ERROR "no yyjson source in ${TAVRO_YYJSON_SOURCE}; run scripts/setup.sh")
endif()
add_library(tavro_yyjson STATIC "${_yyjson_src}/yyjson.c")
target_include_directories(tavro_yyjson PUBLIC "${_yyjson_src}")
set_target_properties(tavro_yyjson PROPERTIES
  C_STANDARD 11
  POSITION_INDEPENDENT_CODE ON
  C_VISIBILITY_PRESET hidden)
# Its warnings are upstream's to fix, not a reason to fail this build.
target_compile_options(tavro_yyjson PRIVATE $<IF:$<C_COMPILER_ID:MSVC>,/W0,-w>)
add_library(yyjson::yyjson ALIAS tavro_yyjson)
# The header whose version the top-level file checks.
set(TAVRO_YYJSON_H "${_yyjson_src}/yyjson.h")
