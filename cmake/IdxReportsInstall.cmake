include(CMakePackageConfigHelpers)

install(TARGETS IdxReports EXPORT IdxReportsTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${IDXREPORTS_PUBLIC_HEADERS_PLATFORM} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/platform)
install(FILES ${IDXREPORTS_PUBLIC_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/IdxReports)
install(FILES ${IDXREPORTS_PUBLIC_HEADERS_REPORTS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/IdxReports/Reports)

install(EXPORT IdxReportsTargets
    NAMESPACE IdxReports::
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/IdxReports)
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
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/IdxReports)

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
install(FILES ${PROJECT_BINARY_DIR}/idxreports.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
