include(CMakePackageConfigHelpers)

# Every file goes to one install component, and each component becomes one
# Debian package (IdxReportsPackaging.cmake): "runtime" is what a program
# that uses the library needs at run time, "dev" what building one needs,
# "tool" the idxreport command (tools/CMakeLists.txt).
install(TARGETS IdxReports EXPORT IdxReportsTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# A public header keeps its place in the source tree, which is how users
# include it: IdxReports/Reports/JobStatsReport.h installs as
# <includedir>/IdxReports/Reports/JobStatsReport.h. Every list named
# IDXREPORTS_PUBLIC_HEADERS* counts, so a header moved or a list added needs
# no change here.
get_cmake_property(header_lists VARIABLES)
list(FILTER header_lists INCLUDE REGEX "^IDXREPORTS_PUBLIC_HEADERS")
foreach(header_list IN LISTS header_lists)
    foreach(header IN LISTS ${header_list})
        if(IS_ABSOLUTE "${header}")
            file(RELATIVE_PATH header "${PROJECT_SOURCE_DIR}" "${header}")
        endif()
        get_filename_component(header_dir "${header}" DIRECTORY)
        install(FILES ${header} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${header_dir} COMPONENT dev)
    endforeach()
endforeach()

install(EXPORT IdxReportsTargets
    NAMESPACE IdxReports::
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/IdxReports
    COMPONENT dev)
configure_package_config_file(
    ${PROJECT_SOURCE_DIR}/cmake/IdxReportsConfig.cmake.in
    ${PROJECT_BINARY_DIR}/IdxReportsConfig.cmake
    INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/IdxReports)
write_basic_package_version_file(
    ${PROJECT_BINARY_DIR}/IdxReportsConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES
    ${PROJECT_BINARY_DIR}/IdxReportsConfig.cmake
    ${PROJECT_BINARY_DIR}/IdxReportsConfigVersion.cmake
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/IdxReports
    COMPONENT dev)

# The .pc file finds the prefix from its own place, so the tree works wherever
# `cmake --install --prefix` puts it, not only under CMAKE_INSTALL_PREFIX.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
    set(IDXREPORTS_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
    file(RELATIVE_PATH IDXREPORTS_PC_UP "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
    string(REGEX REPLACE "/$" "" IDXREPORTS_PC_UP "${IDXREPORTS_PC_UP}")
    set(IDXREPORTS_PC_PREFIX "\${pcfiledir}/${IDXREPORTS_PC_UP}")
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/idxreports.pc.in ${PROJECT_BINARY_DIR}/idxreports.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/idxreports.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
