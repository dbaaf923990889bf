# SPDX-License-Identifier: MIT
# Makes the Windows zip with cpack, twice, and checks it: the same bytes
# both times (pinned times, a fixed order); exactly the kit's files
# (bin/tavro.dll and its bin/tavro.debug, lib/tavro.lib and lib/tavro.def,
# include/tavro.h and tavro_version.h, LICENSE, README.txt) under one
# folder; nothing in it naming the source or build folder; and tavro.lib
# importing exactly the names of the export list (TAVRO_EXPORT_NAMES in
# tavro.h), from members named after the DLL.
#
#   cmake -DNM=<nm> -DAR=<ar> -DCPACK=<cpack> -DBUILD=<build dir> -DSCRATCH=<dir>
#         -DEXPORT_LIST=<tavro.h> -DSOURCE=<source dir> -DVERSION=<version>
#         -P zip_contents.cmake

file(REMOVE_RECURSE "${SCRATCH}")
foreach(run 1 2)
  file(MAKE_DIRECTORY "${SCRATCH}/${run}")
  execute_process(COMMAND "${CPACK}" -G ZIP -B "${SCRATCH}/${run}" WORKING_DIRECTORY "${BUILD}"
    OUTPUT_VARIABLE out ERROR_VARIABLE out RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "cpack -G ZIP failed (${rc}):\n${out}")
  endif()
  file(GLOB zips "${SCRATCH}/${run}/*.zip")
  list(LENGTH zips n)
  if(NOT n EQUAL 1)
    message(FATAL_ERROR "cpack made ${n} zips in ${SCRATCH}/${run}")
  endif()
  file(SHA256 "${zips}" sum_${run})
  if(run EQUAL 1)
    execute_process(COMMAND ${CMAKE_COMMAND} -E sleep 2)
  endif()
endforeach()
if(NOT sum_1 STREQUAL sum_2)
  message(FATAL_ERROR "the zip made twice differs: ${sum_1} and ${sum_2}")
endif()
set(zip "${zips}")
get_filename_component(name "${zip}" NAME)
if(NOT name STREQUAL "tavro-${VERSION}-win64.zip")
  message(FATAL_ERROR "the zip is ${name}")
endif()

set(tree "${SCRATCH}/tree")
file(ARCHIVE_EXTRACT INPUT "${zip}" DESTINATION "${tree}")
file(GLOB_RECURSE got LIST_DIRECTORIES false RELATIVE "${tree}" "${tree}/*")
list(SORT got)
set(top tavro-${VERSION}-win64)
set(want ${top}/LICENSE ${top}/README.txt ${top}/bin/tavro.debug ${top}/bin/tavro.dll
  ${top}/include/tavro.h ${top}/include/tavro_version.h ${top}/lib/tavro.def ${top}/lib/tavro.lib)
if(NOT got STREQUAL want)
  string(REPLACE ";" "\n  " got_text "${got}")
  message(FATAL_ERROR "the zip holds\n  ${got_text}")
endif()
message(STATUS "${zip}: ${sum_1}")
foreach(f IN LISTS got)
  file(STRINGS "${tree}/${f}" named REGEX "${SOURCE}")
  if(named)
    list(GET named 0 first)
    message(FATAL_ERROR "${f} names the source or build folder: ${first}")
  endif()
endforeach()
file(READ "${tree}/${top}/README.txt" readme)
foreach(topic "LoadLibraryW" "MSVC" "MinGW" "free" "lib\\\\tavro.lib")
  if(NOT readme MATCHES "${topic}")
    message(FATAL_ERROR "README.txt says nothing of ${topic}")
  endif()
endforeach()
file(READ "${tree}/${top}/README.txt" readme_hex HEX)
string(FIND "${readme_hex}" "0d0a" crlf)
if(crlf EQUAL -1)
  message(FATAL_ERROR "README.txt does not have Windows line ends")
endif()
file(READ "${tree}/${top}/LICENSE" licence)
if(NOT licence MATCHES "MIT License" OR NOT licence MATCHES "the tavro authors")
  message(FATAL_ERROR "LICENSE is not the MIT licence of the tavro authors")
endif()

# The export list.
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/export_names.cmake)
tavro_export_names(want "${EXPORT_LIST}")
list(SORT want)

# The names tavro.lib imports: its __imp_ symbols.
set(lib "${tree}/${top}/lib/tavro.lib")
execute_process(COMMAND "${NM}" "${lib}" OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${NM} ${lib} failed")
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
# Its members: named after the DLL, not the folder it was made in.
execute_process(COMMAND "${AR}" t "${lib}" OUTPUT_VARIABLE members RESULT_VARIABLE rc)
string(STRIP "${members}" members)
string(REPLACE "\n" ";" members "${members}")
foreach(m IN LISTS members)
  if(NOT m MATCHES "^tavro_dll")
    message(FATAL_ERROR "tavro.lib has the member ${m}, not named after tavro.dll")
  endif()
endforeach()
list(LENGTH got n)
list(LENGTH members m)
message(STATUS "tavro.lib imports the ${n} exported names, from ${m} members named after tavro.dll")
