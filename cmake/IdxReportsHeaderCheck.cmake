# Every installed header must compile on its own, as a consumer's first include.
# The headers are staged into a tree that holds only what is installed, so a
# public header that includes an internal one fails here rather than at a user.
# The check is a test (it builds the target below), not part of the default build.
function(idxreports_add_header_check)
    set(stage ${PROJECT_BINARY_DIR}/header_check/include)
    set(sources)
    set(staged)
    foreach(header IN LISTS ARGN)
        set(copy ${stage}/${header})
        add_custom_command(OUTPUT ${copy}
            COMMAND ${CMAKE_COMMAND} -E copy_if_different ${PROJECT_SOURCE_DIR}/${header} ${copy}
            DEPENDS ${PROJECT_SOURCE_DIR}/${header}
            VERBATIM)
        list(APPEND staged ${copy})
        string(MAKE_C_IDENTIFIER ${header} stem)
        set(source ${PROJECT_BINARY_DIR}/header_check/${stem}.cpp)
        # Included twice: the second include must be a no-op.
        file(CONFIGURE OUTPUT ${source} CONTENT "#include <${header}>\n#include <${header}>\n")
        list(APPEND sources ${source})
    endforeach()
    add_custom_target(idxreports_staged_headers DEPENDS ${staged})
    add_library(idxreports_header_check OBJECT EXCLUDE_FROM_ALL ${sources})
    add_dependencies(idxreports_header_check idxreports_staged_headers)
    target_include_directories(idxreports_header_check PRIVATE ${stage})
    target_link_libraries(idxreports_header_check PRIVATE Boost::headers)
    idxreports_apply_warnings(idxreports_header_check)
    add_test(NAME InstalledHeaders.EachCompilesAlone
        COMMAND ${CMAKE_COMMAND} --build ${PROJECT_BINARY_DIR} --target idxreports_header_check)
endfunction()
