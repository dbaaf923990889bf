# SPDX-License-Identifier: MIT
# Read by cpack (through the generated tavro_cpack.cmake): the Depends of
# libtavro1 and tavro. dpkg-shlibdeps gives the C and C++ runtimes and
# libcurl; the yyjson it reads from yyjson's symbols file (>= 0.9) is left
# out (-x) for the one the library is built and tested against, so that
# each package names libyyjson0 once.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
find_program(TAVRO_SHLIBDEPS dpkg-shlibdeps REQUIRED)

function(tavro_shlibdeps out)
  set(dir ${CPACK_TOPLEVEL_DIRECTORY}/tavro-shlibdeps)
  file(REMOVE_RECURSE ${dir})
  file(MAKE_DIRECTORY ${dir}/debian)
  file(WRITE ${dir}/debian/control "")
  execute_process(COMMAND ${TAVRO_SHLIBDEPS} -O -xlibyyjson0 --ignore-missing-info ${ARGN}
    WORKING_DIRECTORY ${dir} OUTPUT_VARIABLE got ERROR_VARIABLE err RESULT_VARIABLE rc
    OUTPUT_STRIP_TRAILING_WHITESPACE)
  file(REMOVE_RECURSE ${dir})
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "dpkg-shlibdeps ${ARGN}: ${err}")
  endif()
  string(REGEX REPLACE "^.*Depends=" "" got "${got}")
  set(${out} "${got}" PARENT_SCOPE)
endfunction()

tavro_shlibdeps(_lib ${TAVRO_DEB_LIB_FILE})
set(CPACK_DEBIAN_LIB_PACKAGE_DEPENDS "${_lib}, ${TAVRO_DEB_YYJSON}")
if(TAVRO_DEB_CLI_FILE)
  tavro_shlibdeps(_cli ${TAVRO_DEB_CLI_FILE})
  set(CPACK_DEBIAN_CLI_PACKAGE_DEPENDS "${_cli}, ${TAVRO_DEB_YYJSON}, ${TAVRO_DEB_LIB_DEPENDS_ON}")
endif()
