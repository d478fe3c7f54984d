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
install(FILES ${IDXREPORTS_PUBLIC_HEADERS_PLATFORM} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/platform COMPONENT dev)
install(FILES ${IDXREPORTS_PUBLIC_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/IdxReports COMPONENT dev)
install(FILES ${IDXREPORTS_PUBLIC_HEADERS_REPORTS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/IdxReports/Reports
        COMPONENT dev)

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
