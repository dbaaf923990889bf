# SPDX-License-Identifier: MIT
# Run by cpack after the Debian packages are built (CPACK_POST_BUILD_SCRIPTS):
# CPack gives a package with a library under /usr/lib maintainer scripts
# that call ldconfig; libtavro1 runs it by its trigger instead
# (activate-noawait ldconfig), so the scripts are taken out and the package
# is built again from the same tree.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
find_program(TAVRO_DPKG_DEB dpkg-deb REQUIRED)
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  get_filename_component(name ${deb} NAME)
  if(NOT name MATCHES "^libtavro[0-9]+_")
    continue()
  endif()
  set(tree ${CPACK_TOPLEVEL_DIRECTORY}/tavro-finish)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND ${TAVRO_DPKG_DEB} -R ${deb} ${tree} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "dpkg-deb -R ${deb} failed")
  endif()
  file(REMOVE ${tree}/DEBIAN/postinst ${tree}/DEBIAN/postrm)
  execute_process(COMMAND ${TAVRO_DPKG_DEB} --root-owner-group -Zxz -b ${tree} ${deb}
    RESULT_VARIABLE rc OUTPUT_QUIET)
  file(REMOVE_RECURSE ${tree})
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "dpkg-deb -b ${deb} failed")
  endif()
endforeach()
