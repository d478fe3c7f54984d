# Debian packages, one per install component, made by CPack:
#   cmake --preset release && cmake --build build/release --target package
# gives, in build/release:
#   libidxreports1     runtime: libIdxReports.so.1*, the lock directory's tmpfiles.d entry
#   libidxreports-dev  dev:     headers, CMake package, idxreports.pc, the .so link
#   idxreport          tool:    the idxreport command and its manual page
# Included last, after every install rule of the tree is known.
#
# The packages install under /usr. The library directory is the one
# GNUInstallDirs chose at configure time, which is the multiarch one
# (lib/x86_64-linux-gnu) only when CMAKE_INSTALL_PREFIX was /usr then: the
# release preset sets it.

set(IDXREPORTS_PACKAGE_CONTACT "IdxReports developers <idxreports@example.org>"
    CACHE STRING "Maintainer of the Debian packages, \"Name <address>\"")
set(IDXREPORTS_COPYRIGHT "2026 the IdxReports developers")
set(IDXREPORTS_LICENSE "All rights reserved. No licence has been granted yet to copy, modify or distribute IdxReports.")
# The directory that writers of every user share for their lock files. /run
# is a tmpfs, so the directory comes from a tmpfiles.d entry at each boot.
set(IDXREPORTS_SYSTEM_LOCK_DIR /run/lock/idxreports)
set(IDXREPORTS_TMPFILES_NAME idxreports.conf)

set(IDXREPORTS_DEB_RELEASE 1)
set(IDXREPORTS_DEB_VERSION ${PROJECT_VERSION}-${IDXREPORTS_DEB_RELEASE})
set(packaging_src ${PROJECT_SOURCE_DIR}/packaging)
set(packaging_out ${PROJECT_BINARY_DIR}/packaging)

if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    message(STATUS "Debian packages: configure with -DCMAKE_INSTALL_PREFIX=/usr (the release preset does) "
                   "for the multiarch library directory; this tree uses ${CMAKE_INSTALL_LIBDIR}")
endif()
get_cmake_property(installed_components COMPONENTS)
list(REMOVE_ITEM installed_components runtime dev tool)
if(installed_components)
    message(WARNING "Install rules of components ${installed_components} are in no Debian package: "
                    "give them COMPONENT runtime, dev or tool")
endif()

# The lock directory, for the runtime package. Not under CMAKE_INSTALL_LIBDIR:
# systemd reads tmpfiles.d from /usr/lib only.
configure_file(${packaging_src}/idxreports.conf.in ${packaging_out}/${IDXREPORTS_TMPFILES_NAME} @ONLY)
install(FILES ${packaging_out}/${IDXREPORTS_TMPFILES_NAME} DESTINATION lib/tmpfiles.d COMPONENT runtime)

# Each package carries its own copyright file and changelog. The changelog's
# date is SOURCE_DATE_EPOCH when set, so that a rebuild can be byte for byte.
string(TIMESTAMP IDXREPORTS_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${packaging_src}/copyright.in ${packaging_out}/copyright @ONLY)
configure_file(${packaging_src}/changelog.Debian.in ${packaging_out}/changelog.Debian @ONLY)
execute_process(COMMAND gzip -9 -n -c ${packaging_out}/changelog.Debian
                OUTPUT_FILE ${packaging_out}/changelog.Debian.gz
                RESULT_VARIABLE gzip_result)
if(NOT gzip_result EQUAL 0)
    message(FATAL_ERROR "gzip failed (${gzip_result}) on ${packaging_out}/changelog.Debian")
endif()

# Maintainer scripts of the runtime package. The ldconfig trigger replaces the
# ldconfig calls CPack would write into postinst and postrm.
configure_file(${packaging_src}/postinst.in ${packaging_out}/runtime/postinst @ONLY)
configure_file(${packaging_src}/postrm.in ${packaging_out}/runtime/postrm @ONLY)
configure_file(${packaging_src}/triggers ${packaging_out}/runtime/triggers COPYONLY)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME idxreports)
set(CPACK_PACKAGE_VENDOR "IdxReports developers")
set(CPACK_PACKAGE_CONTACT "${IDXREPORTS_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_OUTPUT_FILE_PREFIX ${PROJECT_BINARY_DIR})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev)
if(IDXREPORTS_BUILD_TOOLS)
    list(APPEND CPACK_COMPONENTS_ALL tool)
    get_target_property(man_page idxreport IDXREPORTS_MAN_PAGE)
    if(NOT man_page)
        message(WARNING "The idxreport package will have no manual page: install help2man")
    endif()
endif()

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${IDXREPORTS_DEB_RELEASE})
set(CPACK_DEBIAN_PACKAGE_SOURCE idxreports)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
# A program built against 1.0.0 runs with any later 1.x; the SONAME changes
# when that stops being true, and with it the package name.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Dependencies between our own packages come from the component graph, as
# "= this version": dpkg-shlibdeps finds our library in the build tree (it
# must find it to read what the library itself needs) but knows no package
# for it.
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
get_target_property(library_dir IdxReports LIBRARY_OUTPUT_DIRECTORY)
if(NOT library_dir)
    set(library_dir ${PROJECT_BINARY_DIR})
endif()
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${library_dir})

set(CPACK_COMPONENT_RUNTIME_DISPLAY_NAME "IdxReports library")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libidxreports${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
    ${packaging_out}/runtime/postinst ${packaging_out}/runtime/postrm ${packaging_out}/runtime/triggers)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
"report files of an index server, safe across processes and crashes
IdxReports keeps the comma-separated report files of an index server: job
statistics, index-cache disk samples, synthetic-full stubs and dropped files,
log clean-ups and archive-verification stubs. Writers in several processes are
serialised by a named lock; a crash or a full disk never costs a record.
.
This package holds the shared library and the boot-time entry that creates
the lock directory the writers share.")

set(CPACK_COMPONENT_DEV_DISPLAY_NAME "IdxReports development files")
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libidxreports-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
# The public headers include Boost's.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libboost-dev (>= ${Boost_MAJOR_VERSION}.${Boost_MINOR_VERSION})")
set(CPACK_DEBIAN_DEV_DESCRIPTION
"report files of an index server (development files)
IdxReports keeps the comma-separated report files of an index server, safe
across processes and crashes.
.
This package holds the C++17 headers, the CMake package
(find_package(IdxReports)) and the pkg-config file (idxreports).")

set(CPACK_COMPONENT_TOOL_DISPLAY_NAME "idxreport")
set(CPACK_COMPONENT_TOOL_DEPENDS runtime)
set(CPACK_DEBIAN_TOOL_PACKAGE_NAME idxreport)
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOL_DESCRIPTION
"show, check and repair the report files of an index server
idxreport reads the report files that IdxReports keeps: it shows their
records as a table, CSV or JSON, checks them line by line and repairs them
under the writers' lock, summarises job statistics and free disk space,
marks jobs invalid, and plays a demonstration.")

foreach(component IN LISTS CPACK_COMPONENTS_ALL)
    string(TOUPPER ${component} upper)
    install(FILES ${packaging_out}/copyright ${packaging_out}/changelog.Debian.gz
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_${upper}_PACKAGE_NAME}
            COMPONENT ${component})
endforeach()

include(CPack)
