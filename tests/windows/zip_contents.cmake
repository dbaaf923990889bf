# Makes the Windows zip with cpack and checks that it holds tavro.dll, the
# headers, tavro.def, tavro.lib and the README, and that tavro.lib imports
# exactly the names of the export list (TAVRO_EXPORT_NAMES in tavro.h).
#
#   cmake -DNM=<nm> -DCPACK=<cpack> -DBUILD=<build dir> -DSCRATCH=<dir>
#         -DEXPORT_LIST=<tavro.h> -P zip_contents.cmake

file(REMOVE_RECURSE "${SCRATCH}")
file(MAKE_DIRECTORY "${SCRATCH}")
execute_process(COMMAND "${CPACK}" -G ZIP -B "${SCRATCH}" WORKING_DIRECTORY "${BUILD}"
  OUTPUT_VARIABLE out ERROR_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cpack -G ZIP failed (${rc}):\n${out}")
endif()
file(GLOB zips "${SCRATCH}/*.zip")
list(LENGTH zips n)
if(NOT n EQUAL 1)
  message(FATAL_ERROR "cpack made ${n} zips in ${SCRATCH}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E tar tf "${zips}" OUTPUT_VARIABLE listing
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cannot list ${zips}")
endif()
message(STATUS "${zips}:\n${listing}")
foreach(f tavro.dll tavro.h tavro_version.h tavro.def tavro.lib README.md)
  string(FIND "${listing}" "/${f}\n" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "the zip lacks ${f}")
  endif()
endforeach()

# The export list.
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/export_names.cmake)
tavro_export_names(want "${EXPORT_LIST}")
list(SORT want)

# The names tavro.lib imports: its __imp_ symbols.
execute_process(COMMAND "${NM}" "${BUILD}/tavro.lib" OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${NM} ${BUILD}/tavro.lib failed")
endif()
string(REGEX MATCHALL " I __imp_[A-Za-z0-9_]+" imps "${symbols}")
set(got "")
foreach(imp IN LISTS imps)
  string(REPLACE " I __imp_" "" name "${imp}")
  list(APPEND got "${name}")
endforeach()
list(REMOVE_DUPLICATES got)
list(SORT got)
if(NOT got STREQUAL want)
  message(FATAL_ERROR "tavro.lib imports ${got}\nthe export list is ${want}")
endif()
list(LENGTH got n)
message(STATUS "tavro.lib imports the ${n} exported names")
