# Manual pages written at build time from a tool's own --help
# (GenerateManPage.cmake), so that they change whenever the tool does.
find_program(IDXREPORTS_HELP2MAN help2man)
find_program(IDXREPORTS_GZIP gzip)

# idxreports_add_man_page(TARGET COMPONENT): TARGET.1.gz, built with `all` by
# the target TARGET_man_page and installed in section 1 with COMPONENT. The
# target's IDXREPORTS_MAN_PAGE property names the uncompressed page beside it,
# for tests. Without help2man, or when the tool cannot run here
# (cross-compiling), there is no page and the property stays unset.
function(idxreports_add_man_page target component)
    if(NOT IDXREPORTS_HELP2MAN OR NOT IDXREPORTS_GZIP OR CMAKE_CROSSCOMPILING)
        message(STATUS "No manual page for ${target}: it needs help2man (Debian package help2man) "
                       "and a tool that runs on this machine")
        return()
    endif()
    set(page ${CMAKE_CURRENT_BINARY_DIR}/${target}.1.gz)
    set(roff ${CMAKE_CURRENT_BINARY_DIR}/${target}.1)
    add_custom_command(OUTPUT ${page} ${roff}
        COMMAND ${CMAKE_COMMAND} -DTOOL=$<TARGET_FILE:${target}> -DHELP2MAN=${IDXREPORTS_HELP2MAN}
                -DGZIP=${IDXREPORTS_GZIP} -DOUTPUT=${page} -P ${PROJECT_SOURCE_DIR}/cmake/GenerateManPage.cmake
        DEPENDS ${target} ${PROJECT_SOURCE_DIR}/cmake/GenerateManPage.cmake
        COMMENT "Writing the ${target}(1) manual page from ${target} --help"
        VERBATIM)
    add_custom_target(${target}_man_page ALL DEPENDS ${page})
    set_target_properties(${target} PROPERTIES IDXREPORTS_MAN_PAGE ${roff})
    install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${component})
endfunction()
