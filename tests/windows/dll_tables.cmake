# Reads tavro.dll's tables with objdump -p and checks that the export table
# names exactly the functions of the export list (TAVRO_EXPORT_NAMES in
# include/tavro.h) and that every imported DLL is a system one (KERNEL32
# and the C runtime), so a host needs nothing beside tavro.dll.
#
#   cmake -DOBJDUMP=<objdump> -DDLL=<tavro.dll> -DEXPORT_LIST=<tavro.h> -P dll_tables.cmake

execute_process(COMMAND "${OBJDUMP}" -p "${DLL}" OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${DLL} failed (${rc})")
endif()

# The export list: the X(name) rows of TAVRO_EXPORT_NAMES.
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/export_names.cmake)
tavro_export_names(want "${EXPORT_LIST}")
list(SORT want)
list(LENGTH want want_count)
if(NOT want_count EQUAL 30)
  message(FATAL_ERROR "the export list in ${EXPORT_LIST} holds ${want_count} names, not 30")
endif()

# The exported names: the rows "\t[   n] name" of the name pointer table.
string(FIND "${dump}" "[Ordinal/Name Pointer] Table" at)
if(at EQUAL -1)
  message(FATAL_ERROR "${DLL} has no export name table")
endif()
string(SUBSTRING "${dump}" ${at} -1 table)
string(REGEX REPLACE "\n\n.*" "" table "${table}")
string(REGEX REPLACE "\t\\[ *[0-9]+\\] " "EXPORT:" table "${table}")
string(REGEX MATCHALL "EXPORT:[^\n]+" rows "${table}")
set(got "")
foreach(row IN LISTS rows)
  string(REPLACE "EXPORT:" "" name "${row}")
  list(APPEND got "${name}")
endforeach()
list(SORT got)
if(NOT got STREQUAL want)
  string(REPLACE ";" " " got_text "${got}")
  string(REPLACE ";" " " want_text "${want}")
  message(FATAL_ERROR "${DLL} exports\n  ${got_text}\nbut should export exactly\n  ${want_text}")
endif()

# The imported DLLs.
string(REGEX MATCHALL "DLL Name: [^\n]+" rows "${dump}")
set(foreign "")
foreach(row IN LISTS rows)
  string(REPLACE "DLL Name: " "" name "${row}")
  string(TOLOWER "${name}" lower)
  if(NOT lower MATCHES "^(kernel32|msvcrt|ucrtbase|api-ms-win-crt-[a-z0-9-]+)\\.dll$")
    list(APPEND foreign "${name}")
  endif()
endforeach()
if(foreign)
  string(REPLACE ";" " " foreign_text "${foreign}")
  message(FATAL_ERROR "${DLL} needs DLLs beside the system's: ${foreign_text}")
endif()
list(LENGTH got got_count)
list(LENGTH rows import_count)
message(STATUS "${DLL}: ${got_count} exports, ${import_count} system DLLs imported")
