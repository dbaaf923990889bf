# SPDX-License-Identifier: MIT
# Run by cpack after it made the Windows zip (CPACK_POST_BUILD_SCRIPTS):
# the zip is written again from the same files by tavro_zip.py, in a fixed
# order, each with the one time TAVRO_ZIP_TIME (the version's date in
# cmake/debian/changelog) and no other metadata, so that two builds, in any
# folders, give the same bytes. Without Python 3 CPack's own zip stays.
if(NOT CPACK_GENERATOR STREQUAL "ZIP")
  return()
endif()
find_program(TAVRO_PYTHON3 NAMES python3 python)
if(NOT TAVRO_PYTHON3)
  message(WARNING "no Python 3: the zip is CPack's, with the files' own times")
  return()
endif()
foreach(zip IN LISTS CPACK_PACKAGE_FILES)
  set(tree ${CPACK_TOPLEVEL_DIRECTORY}/tavro-zip)
  file(REMOVE_RECURSE ${tree})
  file(MAKE_DIRECTORY ${tree})
  file(ARCHIVE_EXTRACT INPUT ${zip} DESTINATION ${tree})
  execute_process(COMMAND ${TAVRO_PYTHON3} ${CMAKE_CURRENT_LIST_DIR}/tavro_zip.py ${zip}.new ${tree}
    "${TAVRO_ZIP_TIME}" RESULT_VARIABLE rc)
  file(REMOVE_RECURSE ${tree})
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "writing ${zip} again failed")
  endif()
  file(RENAME ${zip}.new ${zip})
endforeach()
