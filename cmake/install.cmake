# Man pages, install rules and the Debian packages, for a top-level build.
#
# Three components, one Debian package each, split as Debian splits them:
#   bin     termcount: both programs, their man pages and docs
#   dev     libtermcount-dev: the headers, static libraries, CMake and
#           pkg-config files
#   python  python3-termcount: the Python module, where it is built

# Man pages and the changelog are installed gzip-compressed, as Debian
# wants them; -n keeps the archives the same from build to build.
find_program(GZIP gzip REQUIRED)
set(compressed)
foreach(page termcount termcount-merge)
  configure_file(man/${page}.1.in ${page}.1 @ONLY)
  add_custom_command(OUTPUT ${page}.1.gz
    COMMAND ${GZIP} -9 -n -c ${page}.1 > ${page}.1.gz
    DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/${page}.1)
  list(APPEND compressed ${CMAKE_CURRENT_BINARY_DIR}/${page}.1.gz)
endforeach()
add_custom_command(OUTPUT changelog.gz
  COMMAND ${GZIP} -9 -n -c ${CMAKE_CURRENT_SOURCE_DIR}/packaging/changelog > changelog.gz
  DEPENDS packaging/changelog)
add_custom_target(docs ALL DEPENDS ${compressed} changelog.gz)

set(components bin dev)
if(TERMCOUNT_PYTHON_BUILT)
  list(APPEND components python)
endif()
set(package_bin termcount)
set(package_dev libtermcount-dev)
set(package_python python3-termcount)

install(TARGETS termcount termcount-merge RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        COMPONENT bin)
install(FILES ${compressed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT bin)
# Every package carries the copyright and changelog in a folder of its own.
foreach(c IN LISTS components)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz packaging/copyright
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package_${c}} COMPONENT ${c})
endforeach()

install(TARGETS tree count EXPORT termcountTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
install(FILES src/tree.h src/scan.h src/count.h src/decompress.h src/fault.h src/searchfile.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/termcount COMPONENT dev)

# For embedders without CMake. The prefix is found from the file's own
# place, so the install can move.
file(RELATIVE_PATH TERMCOUNT_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" TERMCOUNT_PC_TO_PREFIX "${TERMCOUNT_PC_TO_PREFIX}")
configure_file(cmake/termcount.pc.in termcount.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/termcount.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

include(CMakePackageConfigHelpers)
set(TERMCOUNT_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/termcount)
install(EXPORT termcountTargets NAMESPACE termcount::
        DESTINATION ${TERMCOUNT_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(cmake/termcountConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/termcountConfig.cmake
  INSTALL_DESTINATION ${TERMCOUNT_CMAKE_DIR})
write_basic_package_version_file(
  ${CMAKE_CURRENT_BINARY_DIR}/termcountConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/termcountConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/termcountConfigVersion.cmake
        DESTINATION ${TERMCOUNT_CMAKE_DIR} COMPONENT dev)

set(TERMCOUNT_MAINTAINER "termcount developers <termcount@example.org>"
    CACHE STRING "Maintainer named in the Debian packages")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME termcount)
set(CPACK_PACKAGE_VENDOR "termcount developers")
set(CPACK_PACKAGE_CONTACT "${TERMCOUNT_MAINTAINER}")
set(CPACK_DEB_COMPONENT_INSTALL ON)
# Each package's description begins with a synopsis of its own; CPack would
# put the one summary before all three unless it is left at its default.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CMAKE_PROJECT_NAME} built using CMake")
set(CPACK_COMPONENTS_ALL ${components})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(about
"termcount counts, for every term in a list file, how many times the term
occurs in a text, and prints one line per term in list order. It counts
every occurrence, whole words or whole lines, reads the text once, byte by
byte, and never holds it in memory.")

set(CPACK_DEBIAN_BIN_PACKAGE_NAME termcount)
set(CPACK_DEBIAN_BIN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_BIN_PACKAGE_RECOMMENDS parallel)
set(CPACK_COMPONENT_BIN_DESCRIPTION "${PROJECT_DESCRIPTION}
${about}
.
termcount-merge adds up the reports of runs over shards of a text and
slices of a term list into the report of the whole run, so that GNU
parallel can spread a count over cores and machines.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libtermcount-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
# The static count library reads compressed files through these.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "zlib1g-dev, libbz2-dev, liblzma-dev, libzstd-dev")
set(CPACK_COMPONENT_DEV_DESCRIPTION "term index and threaded counting of termcount (development files)
${about}
.
This package holds the static libraries and headers that embed the term
index, its searches and the threaded count in other programs, with CMake
and pkg-config files.")

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-termcount)
math(EXPR next_minor "${Python_VERSION_MINOR} + 1")
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
    "python3 (>= ${Python_VERSION_MAJOR}.${Python_VERSION_MINOR}~), python3 (<< ${Python_VERSION_MAJOR}.${next_minor})")
set(CPACK_DEBIAN_PYTHON_PACKAGE_SUGGESTS "python3-dask, python3-distributed, python3-numpy")
set(CPACK_COMPONENT_PYTHON_DESCRIPTION "exact counts of listed terms, for Python
${about}
.
This package holds the Python module: one shared index counted from any
number of threads, over bytes, files and streams, and over the files of a
Dask cluster.")
include(CPack)
