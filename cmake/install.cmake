# Install rules and packages.
#
# POSIX, in three components that are also the three Debian packages of
# `cpack -G DEB`:
#   lib  libtavro1     libtavro.so.1.0.0 with its SONAME link libtavro.so.1,
#                      the README under share/doc/tavro
#   dev  libtavro-dev  the libtavro.so link, tavro.h and tavro_version.h,
#                      tavro.pc, the CMake package (find_package(tavro 1.0
#                      CONFIG) gives tavro::tavro)
#   cli  tavro         the command, its man page and bash completion
#                      (cli/CMakeLists.txt)
# Configured with -DCMAKE_INSTALL_PREFIX=/usr, GNUInstallDirs gives Debian's
# multiarch library folder (lib/x86_64-linux-gnu), as the package preset does.
#
# Windows (cpack -G ZIP from the mingw build): tavro.dll, the headers,
# tavro.def with the exports and tavro.lib, an import library made from it
# for MSVC hosts, and the README.

if(NOT WIN32)
  include(CMakePackageConfigHelpers)
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
  install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT lib)
  # The licence goes beside it once the project has one.
  if(EXISTS ${PROJECT_SOURCE_DIR}/LICENSE)
    install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT lib)
  endif()

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGE_CONTACT "tavro developers <tavro@localhost>")
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "AllDebrid account handler for media player hosts")
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL lib dev cli)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION libs)
  # Dependencies from dpkg-shlibdeps: the C and C++ runtimes, yyjson, and
  # libcurl for the command.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_LIB_PACKAGE_NAME libtavro1)
  # dpkg-shlibdeps reads the oldest yyjson holding the symbols used (0.9);
  # the library is built and tested against 0.10's behaviour.
  set(CPACK_DEBIAN_LIB_PACKAGE_DEPENDS "libyyjson0 (>= 0.10.0)")
  set(CPACK_DEBIAN_LIB_DESCRIPTION
    "AllDebrid account handler for media player hosts (shared library)
 tavro lets a media player host browse, stream from and add content to an
 AllDebrid account through a plain C ABI; the host supplies the transport.")
  set(CPACK_DEBIAN_DEV_PACKAGE_NAME libtavro-dev)
  set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
  set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libtavro1 (= ${PROJECT_VERSION})")
  set(CPACK_DEBIAN_DEV_DESCRIPTION
    "AllDebrid account handler for media player hosts (development files)
 The header tavro.h, the pkg-config file tavro.pc and the CMake package
 (find_package(tavro) gives tavro::tavro).")
  set(CPACK_DEBIAN_CLI_PACKAGE_NAME tavro)
  set(CPACK_DEBIAN_CLI_PACKAGE_SECTION utils)
  # The command loads libtavro.so.1 at run time, which dpkg-shlibdeps cannot see.
  set(CPACK_DEBIAN_CLI_PACKAGE_DEPENDS "libtavro1 (= ${PROJECT_VERSION})")
  set(CPACK_DEBIAN_CLI_DESCRIPTION
    "AllDebrid account from the command line
 Lists, streams and adds content of an AllDebrid account; prints direct URLs
 for a player.")
  include(CPack)
elseif(MINGW)
  # tavro.def from the export list in tavro.h (the X(name) rows of
  # TAVRO_EXPORT_NAMES), and tavro.lib from it with dlltool.
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
    COMMAND ${TAVRO_DLLTOOL} --machine i386:x86-64 --input-def ${PROJECT_BINARY_DIR}/tavro.def
      --dllname tavro.dll --output-lib ${PROJECT_BINARY_DIR}/tavro.lib
    DEPENDS ${PROJECT_BINARY_DIR}/tavro.def
    COMMENT "Making the import library tavro.lib from tavro.def")
  add_custom_target(tavro_import_lib ALL DEPENDS ${PROJECT_BINARY_DIR}/tavro.lib)

  install(TARGETS tavro RUNTIME DESTINATION . COMPONENT lib)
  install(FILES include/tavro.h ${PROJECT_BINARY_DIR}/include/tavro_version.h
    ${PROJECT_BINARY_DIR}/tavro.def ${PROJECT_BINARY_DIR}/tavro.lib README.md LICENSE
    DESTINATION . COMPONENT lib)

  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME tavro-${PROJECT_VERSION}-win64)
  set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
  include(CPack)
endif()
