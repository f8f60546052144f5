# Install rules, the CMake package, the pkg-config file and CPack.
#
# Components: "program" (line_report and lines; on Windows also the samples and a
# README for its users) and "development" (the library, its headers, the
# CMake package and the pkg-config file). The Windows ZIP holds the program
# alone; the Linux TGZ and DEB hold both.
include(CMakePackageConfigHelpers)

set(config_dir ${CMAKE_INSTALL_LIBDIR}/cmake/line_reader)
install(TARGETS line_reader EXPORT line_reader_targets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
list(TRANSFORM LINE_READER_PUBLIC_HEADERS PREPEND ${PROJECT_SOURCE_DIR}/include/line_reader/ REGEX "^[^/]+$")
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
  install(TARGETS line_report lines RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT program)
  if(NOT WIN32)
    # bash-completion finds it by the program's name.
    install(FILES ${PROJECT_SOURCE_DIR}/completions/lines.bash DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions
      RENAME lines COMPONENT program)
  endif()
  if(WIN32)
    install(FILES ${PROJECT_SOURCE_DIR}/samples/testbrok.txt ${PROJECT_SOURCE_DIR}/samples/testworked.txt
      DESTINATION samples COMPONENT program)
    install(FILES ${PROJECT_SOURCE_DIR}/cmake/README-windows.txt DESTINATION . RENAME README.txt COMPONENT program)
  endif()
endif()

# The Debian package names, one a component, as Debian splits them: the
# program and its manual page, and the library for developers.
set(deb_program line-reader)
set(deb_development libline-reader-dev)

# What a packager fills in: the maintainer, and the copyright holder and
# licence that the copyright file states. Unset, the packages still build,
# with placeholders that say so.
set(LINE_READER_PACKAGE_MAINTAINER "" CACHE STRING "The packages' maintainer, as \"Name <address>\"")
set(LINE_READER_COPYRIGHT "" CACHE STRING "The copyright line: years and holder")
set(LINE_READER_LICENSE "" CACHE STRING "The licence's name, as in SPDX (MIT, GPL-3.0-or-later, ...)")
set(LINE_READER_LICENSE_FILE "" CACHE FILEPATH "A file with the licence's text, for the copyright file")
set(maintainer "${LINE_READER_PACKAGE_MAINTAINER}")
if(maintainer STREQUAL "")
  set(maintainer "line_reader developers <line-reader@localhost>")
endif()
if(LINE_READER_COPYRIGHT STREQUAL "")
  set(LINE_READER_COPYRIGHT "not stated yet (the packager sets LINE_READER_COPYRIGHT)")
endif()
if(LINE_READER_LICENSE STREQUAL "")
  set(LINE_READER_LICENSE "not stated yet (the packager sets LINE_READER_LICENSE)")
endif()
set(LINE_READER_LICENSE_TEXT "")
if(NOT LINE_READER_LICENSE_FILE STREQUAL "")
  file(READ "${LINE_READER_LICENSE_FILE}" LINE_READER_LICENSE_TEXT)
endif()

# The manual pages name the version themselves, so that they read right
# from the source tree (man -l man/lines.1): a version that is not this
# project's stops the configure.
foreach(page IN ITEMS line_report lines)
  file(STRINGS ${PROJECT_SOURCE_DIR}/man/${page}.1 title REGEX "^\\.TH ")
  if(NOT title MATCHES "\"line_reader ${PROJECT_VERSION}\"")
    message(FATAL_ERROR "man/${page}.1 names another version than ${PROJECT_VERSION}: ${title}")
  endif()
endforeach()

# The manual page, the copyright file and the Debian changelog, on systems
# whose packages carry them; gzip -9n as Debian's tools compress them.
find_program(LINE_READER_GZIP gzip)
mark_as_advanced(LINE_READER_GZIP)
if(NOT WIN32 AND LINE_READER_GZIP)
  set(doc_build ${PROJECT_BINARY_DIR}/package-docs)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/copyright.in ${doc_build}/copyright @ONLY)
  set(generated "")
  foreach(page IN ITEMS line_report lines)
    configure_file(${PROJECT_SOURCE_DIR}/man/${page}.1 ${doc_build}/${page}.1 @ONLY)
    add_custom_command(OUTPUT ${doc_build}/${page}.1.gz
      COMMAND ${LINE_READER_GZIP} -9nc ${doc_build}/${page}.1 > ${doc_build}/${page}.1.gz
      DEPENDS ${doc_build}/${page}.1 VERBATIM)
    list(APPEND generated ${doc_build}/${page}.1.gz)
  endforeach()
  foreach(package IN ITEMS ${deb_program} ${deb_development})
    add_custom_command(OUTPUT ${doc_build}/${package}/changelog.gz
      COMMAND ${CMAKE_COMMAND} -DSOURCE=${PROJECT_SOURCE_DIR}/CHANGELOG.md -DOUTPUT=${doc_build}/${package}/changelog.gz
        -DPACKAGE=${package} -DMAINTAINER=${maintainer} -DGZIP=${LINE_READER_GZIP}
        -P ${PROJECT_SOURCE_DIR}/cmake/debian-changelog.cmake
      DEPENDS ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${PROJECT_SOURCE_DIR}/cmake/debian-changelog.cmake VERBATIM)
    list(APPEND generated ${doc_build}/${package}/changelog.gz)
  endforeach()
  add_custom_target(line_reader_package_docs ALL DEPENDS ${generated})
  if(TARGET line_report)
    install(FILES ${doc_build}/line_report.1.gz ${doc_build}/lines.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT program)
  endif()
  install(FILES ${doc_build}/copyright ${doc_build}/${deb_program}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${deb_program} COMPONENT program)
  install(FILES ${doc_build}/copyright ${doc_build}/${deb_development}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${deb_development} COMPONENT development)
endif()

set(CPACK_PACKAGE_NAME line-reader)
set(CPACK_PACKAGE_VENDOR "line_reader developers")
set(CPACK_PACKAGE_CONTACT "${maintainer}")
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
set(CPACK_VERBATIM_VARIABLES ON)
if(WIN32)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME windows-i686)
  set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
  set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
  set(CPACK_COMPONENTS_ALL program)
else()
  # The TGZ holds everything; the DEBs are one a component. Each DEB's
  # description is its own, the synopsis on its first line. CPack puts the
  # package-wide summary in front of it unless that is CPack's own default,
  # which it would otherwise take from the project's description.
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CMAKE_PROJECT_NAME} built using CMake")
  set(CPACK_GENERATOR TGZ DEB)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${maintainer}")
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # Versioned dependencies from what the binaries link (dpkg-shlibdeps).
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PROGRAM_PACKAGE_NAME ${deb_program})
  set(CPACK_DEBIAN_PROGRAM_PACKAGE_SECTION text)
  set(CPACK_DEBIAN_PROGRAM_DESCRIPTION "line index programs: any line of a text file of any size at once
lines prints lines of a file by their numbers (ranges, the last lines, a
count or a summary), at once however large the file is, from an index of
its lines that it saves in the user's cache and extends as the file grows;
it also follows a file as it grows, across truncation and rotation.
.
line_report reads two fixed files from the current directory and writes,
for each, its number of lines, the number and length of its longest line,
and then every line, indexed by their CR LF line breaks; it ends by waiting
for one key.")
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME ${deb_development})
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
  # The static library's users link the decoders' libraries it was built with.
  set(dev_depends)
  foreach(pair IN ITEMS "z;zlib1g-dev" "zstd;libzstd-dev" "lzma;liblzma-dev")
    list(GET pair 0 library)
    list(GET pair 1 package)
    if(" ${LINE_READER_PC_LIBRARIES} " MATCHES " -l${library} ")
      list(APPEND dev_depends ${package})
    endif()
  endforeach()
  string(REPLACE ";" ", " dev_depends "${dev_depends}")
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "${dev_depends}")
  set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "fast line index of text files (static library and headers)
line_reader indexes text by its line breaks with a vector scan (SSE2,
AVX2 or AVX-512, chosen at run time) and serves any line by number in
constant time. It offers a C command record and a C++17 owner type,
IndexedFile, with 64-bit counts, CR LF or LF line ends and an index of
about two bytes a line, and FileIndex, the index alone, saved and followed;
both read gzip, zstd and xz files by their text.
.
This package holds the static library, its headers, the CMake package and
the pkg-config file.")
endif()
include(CPack)
