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
if(NOT want_count EQUAL 26)
  message(FATAL_ERROR "the export list in ${EXPORT_LIST} holds ${want_count} names, not 26")
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

# ---- What the kit promises beside the tables: a reproducible DLL (no link
# time stamp), stripped, with a debug link to tavro.debug beside it, and a
# version resource made from the one version (VERSION).
string(REGEX MATCH "Time/Date[ \t]+[^\n]*" stamp "${dump}")
if(NOT stamp MATCHES "1970")
  message(FATAL_ERROR "${DLL} carries a link time stamp: ${stamp}")
endif()
execute_process(COMMAND "${OBJDUMP}" -h "${DLL}" OUTPUT_VARIABLE sections RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -h ${DLL} failed")
endif()
if(sections MATCHES "[.]debug_")
  message(FATAL_ERROR "${DLL} is not stripped:\n${sections}")
endif()
execute_process(COMMAND "${OBJDUMP}" -s -j .gnu_debuglink "${DLL}" OUTPUT_VARIABLE link
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT link MATCHES "tavro[.]debug")
  message(FATAL_ERROR "${DLL} has no debug link to tavro.debug:\n${link}")
endif()
get_filename_component(dir "${DLL}" DIRECTORY)
execute_process(COMMAND "${OBJDUMP}" -h "${dir}/tavro.debug" OUTPUT_VARIABLE debug_sections
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT debug_sections MATCHES "[.]debug_info")
  message(FATAL_ERROR "${dir}/tavro.debug holds no debug information")
endif()

# The version resource: VS_FIXEDFILEINFO (its signature, then the structure
# version, then the file version major.minor and patch.0, each as two
# little-endian 16-bit halves), and the strings, in UTF-16.
file(READ "${DLL}" bytes HEX)
function(utf16 out text)
  string(HEX "${text}" hex)
  string(REGEX REPLACE "(..)" "\\100" hex "${hex}")
  set(${out} "${hex}" PARENT_SCOPE)
endfunction()
function(half out n)
  math(EXPR lo "${n} % 256")
  math(EXPR hi "${n} / 256")
  math(EXPR v "${lo} * 256 + ${hi}" OUTPUT_FORMAT HEXADECIMAL)
  string(REPLACE "0x" "" v "${v}")
  string(LENGTH "${v}" l)
  while(l LESS 4)
    set(v "0${v}")
    string(LENGTH "${v}" l)
  endwhile()
  string(TOLOWER "${v}" v)
  set(${out} "${v}" PARENT_SCOPE)
endfunction()
string(REPLACE "." ";" parts "${VERSION}")
list(GET parts 0 major)
list(GET parts 1 minor)
list(GET parts 2 patch)
half(h_major ${major})
half(h_minor ${minor})
half(h_patch ${patch})
set(fixed "bd04effe00000100${h_minor}${h_major}0000${h_patch}${h_minor}${h_major}0000${h_patch}")
string(FIND "${bytes}" "${fixed}" at)
if(at EQUAL -1)
  message(FATAL_ERROR "${DLL} has no version resource of file and product version ${VERSION}")
endif()
foreach(pair "CompanyName=the tavro authors" "FileVersion=${VERSION}" "ProductVersion=${VERSION}"
    "ProductName=tavro" "OriginalFilename=tavro.dll"
    "LegalCopyright=Copyright (c) 2026 the tavro authors. MIT licence.")
  string(REPLACE "=" ";" kv "${pair}")
  list(GET kv 0 key)
  list(GET kv 1 value)
  utf16(hk "${key}")
  utf16(hv "${value}")
  # The key, its NUL and padding to 32 bits, then the value.
  if(NOT bytes MATCHES "${hk}0000(0000)?${hv}0000")
    message(FATAL_ERROR "${DLL}'s version resource has no ${key} \"${value}\"")
  endif()
endforeach()
message(STATUS "${DLL}: stripped, debug link to tavro.debug, version resource ${VERSION}")
