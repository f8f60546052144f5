# Install rules, the CMake package, the pkg-config file and CPack.
#
# Components: "program" (line_report; on Windows also the samples and a
# README for its users) and "development" (the library, its headers, the
# CMake package and the pkg-config file). The Windows ZIP holds the program
# alone; the Linux TGZ and DEB hold both.
include(CMakePackageConfigHelpers)

set(config_dir ${CMAKE_INSTALL_LIBDIR}/cmake/line_reader)
install(TARGETS line_reader EXPORT line_reader_targets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
list(TRANSFORM LINE_READER_PUBLIC_HEADERS PREPEND ${PROJECT_SOURCE_DIR}/line_reader/ REGEX "^[^/]+$")
install(FILES ${LINE_READER_PUBLIC_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/line_reader COMPONENT development)
install(EXPORT line_reader_targets NAMESPACE line_reader:: DESTINATION ${config_dir} COMPONENT development)
configure_package_config_file(cmake/line_reader-config.cmake.in
  ${PROJECT_BINARY_DIR}/line_reader-config.cmake
  INSTALL_DESTINATION ${config_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/line_reader-config-version.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/line_reader-config.cmake ${PROJECT_BINARY_DIR}/line_reader-config-version.cmake
  DESTINATION ${config_dir} COMPONENT development)

# The pkg-config file finds its prefix from where it lies, so that an
# unpacked package works wherever it is.
set(pc_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH pc_to_prefix /prefix/${pc_dir} /prefix)
string(REGEX REPLACE "/$" "" pc_to_prefix "${pc_to_prefix}")
configure_file(cmake/line_reader.pc.in ${PROJECT_BINARY_DIR}/line_reader.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/line_reader.pc DESTINATION ${pc_dir} COMPONENT development)

if(TARGET line_report)
  install(TARGETS line_report RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT program)
  if(WIN32)
    install(FILES ${PROJECT_SOURCE_DIR}/samples/testbrok.txt ${PROJECT_SOURCE_DIR}/samples/testworked.txt
      DESTINATION samples COMPONENT program)
    install(FILES ${PROJECT_SOURCE_DIR}/cmake/README-windows.txt DESTINATION . RENAME README.txt COMPONENT program)
  endif()
endif()

set(CPACK_PACKAGE_NAME line-reader)
set(CPACK_PACKAGE_VENDOR "line_reader developers")
set(CPACK_PACKAGE_CONTACT "line_reader developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
set(CPACK_VERBATIM_VARIABLES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME windows-i686)
  set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
  set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
  set(CPACK_COMPONENTS_ALL program)
else()
  set(CPACK_GENERATOR TGZ DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION devel)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6")
endif()
include(CPack)
