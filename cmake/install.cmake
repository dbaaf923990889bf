# SPDX-License-Identifier: MIT
# Install rules and packages.
#
# POSIX, in three components that are also the three Debian packages of
# `cpack -G DEB`:
#   lib  libtavro1     libtavro.so.<version> with its SONAME link libtavro.so.1
#   dev  libtavro-dev  the libtavro.so link, tavro.h and tavro_version.h,
#                      tavro.pc, the CMake package (find_package(tavro 1.1
#                      CONFIG) gives tavro::tavro), the README and the
#                      example host (examples/) under share/doc/libtavro-dev
#   cli  tavro         the command, its man page and bash completion
#                      (cli/CMakeLists.txt)
# Each component's doc folder, share/doc/<package>, holds its copyright file
# (the machine-readable format, with the licence) and changelog.Debian.gz.
# Configured with -DCMAKE_INSTALL_PREFIX=/usr, GNUInstallDirs gives Debian's
# multiarch library folder (lib/x86_64-linux-gnu), as the package preset does.
#
# Windows (cpack -G ZIP from the mingw build): bin/tavro.dll, lib/tavro.lib
# (an import library made from lib/tavro.def, the exports), include/ with
# the headers, LICENSE and README.txt.

if(NOT WIN32)
  include(CMakePackageConfigHelpers)
  include(${CMAKE_CURRENT_LIST_DIR}/export_names.cmake)
  set(TAVRO_DEB_LIB libtavro${PROJECT_VERSION_MAJOR})
  # The packages' own revision: 1.1.0-1.
  set(TAVRO_DEB_VERSION ${PROJECT_VERSION}-1)
  set(TAVRO_MAINTAINER "tavro maintainers <maintainers@tavro.invalid>")

  install(TARGETS tavro EXPORT tavroTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT lib NAMELINK_COMPONENT dev)
  install(FILES include/tavro.h ${PROJECT_BINARY_DIR}/include/tavro_version.h
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)

  # tavro.pc finds the prefix from its own place (pkg-config's pcfiledir),
  # so a tree installed with --prefix or unpacked with dpkg -x works where it
  # lands.
  set(_pc_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
  if(IS_ABSOLUTE "${_pc_dir}")
    set(TAVRO_PC_PREFIX ${CMAKE_INSTALL_PREFIX})
  else()
    file(RELATIVE_PATH _up /root/${_pc_dir} /root)
    string(REGEX REPLACE "/$" "" _up "${_up}")
    set(TAVRO_PC_PREFIX "\${pcfiledir}/${_up}")
  endif()
  foreach(dir LIBDIR INCLUDEDIR)
    if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
      set(TAVRO_PC_${dir} ${CMAKE_INSTALL_${dir}})
    else()
      set(TAVRO_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
    endif()
  endforeach()
  configure_file(cmake/tavro.pc.in ${PROJECT_BINARY_DIR}/tavro.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/tavro.pc DESTINATION ${_pc_dir} COMPONENT dev)

  set(TAVRO_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/tavro)
  install(EXPORT tavroTargets NAMESPACE tavro:: DESTINATION ${TAVRO_CMAKE_DIR} COMPONENT dev)
  configure_package_config_file(cmake/tavroConfig.cmake.in ${PROJECT_BINARY_DIR}/tavroConfig.cmake
    INSTALL_DESTINATION ${TAVRO_CMAKE_DIR})
  write_basic_package_version_file(${PROJECT_BINARY_DIR}/tavroConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
  install(FILES ${PROJECT_BINARY_DIR}/tavroConfig.cmake
    ${PROJECT_BINARY_DIR}/tavroConfigVersion.cmake DESTINATION ${TAVRO_CMAKE_DIR} COMPONENT dev)

  # ---- The documents of each package.
  # The copyright file, in Debian's machine-readable format, carries
  # LICENSE whole (each line indented, a blank line as " .").
  file(STRINGS ${PROJECT_SOURCE_DIR}/LICENSE _licence_lines)
  set(_licence "")
  foreach(_line IN LISTS _licence_lines)
    if(_line STREQUAL "")
      string(APPEND _licence " .\n")
    else()
      string(APPEND _licence " ${_line}\n")
    endif()
  endforeach()
  set(TAVRO_COPYRIGHT "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: tavro
Upstream-Contact: ${TAVRO_MAINTAINER}

Files: *
Copyright: 2026 the tavro authors
License: Expat
Comment: The MIT licence of LICENSE (SPDX: MIT), which Debian names Expat.

License: Expat
${_licence}")
  file(WRITE ${PROJECT_BINARY_DIR}/debian/copyright "${TAVRO_COPYRIGHT}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS LICENSE cmake/debian/changelog)
  # changelog.Debian.gz, compressed as Debian's tools do (gzip -9n: no name,
  # no time stamp); its first entry must be this version.
  file(STRINGS ${PROJECT_SOURCE_DIR}/cmake/debian/changelog _first LIMIT_COUNT 1)
  if(NOT _first MATCHES "^tavro \\(${TAVRO_DEB_VERSION}\\) ")
    message(FATAL_ERROR "cmake/debian/changelog begins with '${_first}': give version "
                        "${TAVRO_DEB_VERSION} an entry first")
  endif()
  find_program(TAVRO_GZIP gzip REQUIRED)
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz
    COMMAND ${TAVRO_GZIP} -9n -c ${PROJECT_SOURCE_DIR}/cmake/debian/changelog
      > ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz
    DEPENDS ${PROJECT_SOURCE_DIR}/cmake/debian/changelog)
  add_custom_target(tavro_debian_docs ALL DEPENDS ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz)
  foreach(_comp_pkg "lib;${TAVRO_DEB_LIB}" "dev;libtavro-dev" "cli;tavro")
    list(GET _comp_pkg 0 _comp)
    list(GET _comp_pkg 1 _pkg)
    install(FILES ${PROJECT_BINARY_DIR}/debian/copyright
      ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz
      DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${_pkg} COMPONENT ${_comp})
  endforeach()
  install(FILES README.md NEWS.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/libtavro-dev
    COMPONENT dev)
  install(DIRECTORY examples/ DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/libtavro-dev/examples
    COMPONENT dev)

  # ---- The library's control files: symbols, shlibs, the ldconfig trigger.
  # The symbols file lists TAVRO_EXPORT_NAMES (tavro.h): the exports of the
  # first release (the first 25 rows) since 1.0.0, every later one since
  # this minor version. (When the next minor version is made, the rows of
  # this one get their version here, as the first 25 have theirs.)
  tavro_export_names(_names ${PROJECT_SOURCE_DIR}/include/tavro.h)
  set(_symbols "libtavro.so.${PROJECT_VERSION_MAJOR} ${TAVRO_DEB_LIB} #MINVER#\n")
  string(APPEND _symbols "* Build-Depends-Package: libtavro-dev\n")
  set(_row 0)
  foreach(_name IN LISTS _names)
    if(_row LESS 25)
      set(_since 1.0.0)
    else()
      set(_since ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.0)
    endif()
    string(APPEND _symbols " ${_name}@Base ${_since}\n")
    math(EXPR _row "${_row} + 1")
  endforeach()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS include/tavro.h)
  file(WRITE ${PROJECT_BINARY_DIR}/debian/symbols "${_symbols}")
  file(WRITE ${PROJECT_BINARY_DIR}/debian/shlibs
    "libtavro ${PROJECT_VERSION_MAJOR} ${TAVRO_DEB_LIB} (>= ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.0)\n")
  # ldconfig runs by dpkg's trigger, after the whole transaction, not from
  # maintainer scripts (CPack writes those for a library under /usr/lib;
  # tavro_deb_finish.cmake takes them out of the built package).
  file(WRITE ${PROJECT_BINARY_DIR}/debian/triggers "activate-noawait ldconfig\n")

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGE_CONTACT "${TAVRO_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TAVRO_MAINTAINER}")
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL lib dev cli)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
  set(CPACK_DEBIAN_PACKAGE_SOURCE tavro)
  set(CPACK_DEBIAN_PACKAGE_SECTION libs)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_STRIP_FILES ON)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  # Dependencies: dpkg-shlibdeps's, without the yyjson it reads from
  # yyjson's symbols (0.9), for which the one that the library is built and
  # tested against stands (cmake/tavro_deb_depends.cmake, at cpack time).
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
  set(TAVRO_DEB_YYJSON "libyyjson0 (>= 0.10.0)")
  set(CPACK_DEBIAN_LIB_PACKAGE_NAME ${TAVRO_DEB_LIB})
  set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian/symbols
    ${PROJECT_BINARY_DIR}/debian/shlibs ${PROJECT_BINARY_DIR}/debian/triggers)
  set(CPACK_DEBIAN_LIB_DESCRIPTION
    "AllDebrid account library for media players
tavro lets a media player browse the files of an AllDebrid account, turn
them into direct links to stream, and add magnet links or torrent files to
the account. It is a small C library that opens no connection itself: the
player hands it a transport for its HTTP requests.

This package holds the shared library.")
  set(CPACK_DEBIAN_DEV_PACKAGE_NAME libtavro-dev)
  set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
  set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${TAVRO_DEB_LIB} (= ${TAVRO_DEB_VERSION})")
  # The example host builds against libcurl.
  set(CPACK_DEBIAN_DEV_PACKAGE_SUGGESTS "libcurl4-openssl-dev | libcurl-dev")
  set(CPACK_DEBIAN_DEV_DESCRIPTION
    "AllDebrid account library for media players (development files)
tavro lets a media player browse the files of an AllDebrid account, turn
them into direct links to stream, and add magnet links or torrent files to
the account.

This package holds what a program needs to be built against the library:
the header, the pkg-config file and the CMake package, with the README and
a short example player that lists an account's magnets over libcurl.")
  set(CPACK_DEBIAN_CLI_PACKAGE_NAME tavro)
  set(CPACK_DEBIAN_CLI_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_CLI_DESCRIPTION
    "AllDebrid account from the command line
The tavro command lists the files of an AllDebrid account, prints direct
links to stream them in a player, and adds magnet links or torrent files
to the account. It can also try every operation on a built-in demo account
with no network and no account.")
  # (CPack puts the lines of each long description one space in, and makes
  # an empty line " .".)
  set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/tavro_cpack.cmake)
  file(GENERATE OUTPUT ${PROJECT_BINARY_DIR}/tavro_cpack.cmake CONTENT
"# Generated from cmake/install.cmake: read by cpack.
set(TAVRO_DEB_YYJSON \"${TAVRO_DEB_YYJSON}\")
set(TAVRO_DEB_LIB_FILE \"$<TARGET_FILE:tavro>\")
set(TAVRO_DEB_CLI_FILE \"$<$<TARGET_EXISTS:tavro_cli>:$<TARGET_FILE:tavro_cli>>\")
set(TAVRO_DEB_LIB_DEPENDS_ON \"${TAVRO_DEB_LIB} (= ${TAVRO_DEB_VERSION})\")
include(${PROJECT_SOURCE_DIR}/cmake/tavro_deb_depends.cmake)
")
  set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/tavro_deb_finish.cmake)
  include(CPack)
elseif(MINGW)
  # lib/tavro.def from the export list in tavro.h (the X(name) rows of
  # TAVRO_EXPORT_NAMES), and lib/tavro.lib from it with dlltool; the
  # library's members are named after the DLL (--temp-prefix), whatever
  # the build folder.
  include(${CMAKE_CURRENT_LIST_DIR}/export_names.cmake)
  tavro_export_names(_names ${PROJECT_SOURCE_DIR}/include/tavro.h)
  set(_def "LIBRARY tavro.dll\nEXPORTS\n")
  foreach(_name IN LISTS _names)
    string(APPEND _def "  ${_name}\n")
  endforeach()
  file(GENERATE OUTPUT ${PROJECT_BINARY_DIR}/tavro.def CONTENT "${_def}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS include/tavro.h)
  find_program(TAVRO_DLLTOOL NAMES x86_64-w64-mingw32-dlltool dlltool REQUIRED)
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/tavro.lib
    COMMAND ${CMAKE_COMMAND} -E rm -rf implib
    COMMAND ${CMAKE_COMMAND} -E make_directory implib
    COMMAND ${CMAKE_COMMAND} -E chdir implib ${TAVRO_DLLTOOL} --machine i386:x86-64
      --input-def ../tavro.def --dllname tavro.dll --temp-prefix tavro_dll
      --output-lib ../tavro.lib
    DEPENDS ${PROJECT_BINARY_DIR}/tavro.def
    WORKING_DIRECTORY ${PROJECT_BINARY_DIR}
    COMMENT "Making the import library tavro.lib from tavro.def")
  add_custom_target(tavro_import_lib ALL DEPENDS ${PROJECT_BINARY_DIR}/tavro.lib)

  # README.txt with Windows line ends.
  configure_file(cmake/windows/README.txt.in ${PROJECT_BINARY_DIR}/windows/README.txt.lf @ONLY)
  file(READ ${PROJECT_BINARY_DIR}/windows/README.txt.lf _readme)
  string(REPLACE "\n" "\r\n" _readme "${_readme}")
  file(WRITE ${PROJECT_BINARY_DIR}/windows/README.txt "${_readme}")

  install(TARGETS tavro RUNTIME DESTINATION bin COMPONENT lib)
  install(FILES $<TARGET_FILE_DIR:tavro>/tavro.debug DESTINATION bin COMPONENT lib)
  install(FILES ${PROJECT_BINARY_DIR}/tavro.def ${PROJECT_BINARY_DIR}/tavro.lib
    DESTINATION lib COMPONENT lib)
  install(FILES include/tavro.h ${PROJECT_BINARY_DIR}/include/tavro_version.h
    DESTINATION include COMPONENT lib)
  install(FILES LICENSE ${PROJECT_BINARY_DIR}/windows/README.txt DESTINATION . COMPONENT lib)

  # The zip: cpack -G ZIP stages the install tree, and tavro_zip.cmake
  # (CPACK_POST_BUILD_SCRIPTS) writes the zip again from it with its files
  # in a fixed order and one pinned time (the version's date in
  # cmake/debian/changelog), so that two builds give the same bytes.
  file(STRINGS ${PROJECT_SOURCE_DIR}/cmake/debian/changelog _dates REGEX "^ -- ")
  list(GET _dates 0 _date)
  string(REGEX REPLACE "^.*>  " "" _date "${_date}")
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME tavro-${PROJECT_VERSION}-win64)
  set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
  set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/tavro_cpack.cmake)
  file(WRITE ${PROJECT_BINARY_DIR}/tavro_cpack.cmake "set(TAVRO_ZIP_TIME \"${_date}\")\n")
  set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/tavro_zip.cmake)
  include(CPack)
endif()
